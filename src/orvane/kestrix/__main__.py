"""`python -m orvane.kestrix`: the `kestrix` command line."""
import sys

from orvane.kestrix.cli.main import main

sys.exit(main())
