"""``python -m zopy``: the command line of :mod:`zopy.cli`."""

import sys

from .cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
