"""The `kovra` console script: runs the command-line tool installed inside the package."""

import os
import sys
from pathlib import Path


def tool_path():
    """The installed `kovra` binary (built with the package)."""
    return Path(__file__).resolve().parent / "bin" / "kovra"


def main():
    tool = tool_path()
    if not os.access(tool, os.X_OK):
        sys.exit(f"kovra: the command-line tool is not installed at {tool}; reinstall the package "
                 "with pip from the checkout")
    os.execv(str(tool), [str(tool)] + sys.argv[1:])


if __name__ == "__main__":
    main()
