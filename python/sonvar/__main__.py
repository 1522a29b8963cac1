"""`python3 -m sonvar`: the sonvar command."""

import sys

from .cli import main

sys.exit(main())
