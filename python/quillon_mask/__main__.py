"""`python -m quillon_mask`: the quillon-mask command."""
from quillon_mask.cli import main

raise SystemExit(main())
