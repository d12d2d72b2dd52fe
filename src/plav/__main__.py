"""`python -m plav`: the same command line as the `plav` script."""

import sys

from plav.cli import main

sys.exit(main(prog="python -m plav"))
