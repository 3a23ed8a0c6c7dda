"""`python -m derirezaro`: the `derirezaro` command."""

from .cli import main

raise SystemExit(main())
