"""``python -m vostra``: the command line of :mod:`vostra.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
