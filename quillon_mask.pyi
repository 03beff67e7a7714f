from typing import Any, Dict, List, Optional

import pandas as pd

__all__ = ["mask", "version", "__version__"]
__version__: str

def mask(df: Any, transforms: List[Dict[str, str]], key: Optional[str]) -> pd.DataFrame:
    """Mask sensitive columns in a DataFrame."""

def version() -> str: ...
