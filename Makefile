.PHONY: demo test

# Builds and installs everything, then subsets the example VCF.
demo:
	scripts/demo

# Builds everything and runs the C++ and Python tests.
test:
	scripts/test
