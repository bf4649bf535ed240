"""``python -m morvane``: the command line (see :mod:`morvane.cli`)."""

import sys

from morvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
