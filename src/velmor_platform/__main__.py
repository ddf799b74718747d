"""``python -m velmor_platform``: the ``velmor`` command."""

import sys

from .cli import main

sys.exit(main())
