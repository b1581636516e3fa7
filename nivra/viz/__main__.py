"""``python -m nivra.viz``: the nivra-viz command line."""
import sys

from .cli import main

sys.exit(main())
