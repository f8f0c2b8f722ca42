"""`python -m vorn`: the zone command (see vorn/_zone_command.py)."""
import sys

from ._zone_command import main

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
