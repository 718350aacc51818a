"""TessaraDB — embedded vector + graph memory for AI agents.

A thin package over the extension module ``_tessaradb``: everything it exports is re-exported
here unchanged.
"""

import _tessaradb
from _tessaradb import *  # noqa: F401,F403

__doc__ = _tessaradb.__doc__
__all__ = [name for name in dir(_tessaradb) if not name.startswith("_")]
