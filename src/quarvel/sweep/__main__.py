import sys

from quarvel.sweep.cli import main

if __name__ == "__main__":
    sys.exit(main())
