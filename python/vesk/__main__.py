import sys

from vesk.cli import main

sys.exit(main())
