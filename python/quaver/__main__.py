from quaver.cli import main

raise SystemExit(main())
