import sys

from quarvel.backtest.cli import main

sys.exit(main())
