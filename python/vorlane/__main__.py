from vorlane.cli import main

raise SystemExit(main())
