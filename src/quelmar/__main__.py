"""``python -m quelmar``: the same command as ``quelmar``."""
import sys

from quelmar.cli import main

# Guarded: worker processes started by -j may import this module again.
if __name__ == "__main__":
    sys.exit(main())
