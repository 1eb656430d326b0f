"""``python -m corvane``: the same as the ``corvane`` command."""

from corvane.cli import main

raise SystemExit(main())
