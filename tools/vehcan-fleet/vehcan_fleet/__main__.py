# SPDX-License-Identifier: MIT
"""python3 -m vehcan_fleet: the vehcan-fleet command."""

import sys

from .cli import main

sys.exit(main(sys.argv[1:]))
