import sys

from avwatch_cli.main import main

sys.exit(main())
