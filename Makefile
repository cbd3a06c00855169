.PHONY: demo test wheel

# Builds and installs everything, then subsets the example VCF.
demo:
	scripts/demo

# Builds everything and runs the C++ and Python tests.
test:
	scripts/test

# Builds self-contained wheels for CPython 3.10 to 3.13 into dist/, and checks them.
wheel:
	scripts/wheel
	scripts/check-wheel
