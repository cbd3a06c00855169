"""``python -m varsift_tools``: the varsift command."""

from varsift_tools.cli import main

if __name__ == "__main__":
    main()
