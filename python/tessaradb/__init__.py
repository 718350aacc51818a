"""TessaraDB — embedded vector + graph memory for AI agents.

A thin package over the extension module ``_tessaradb``: everything it exports is re-exported
here unchanged. At interpreter exit every database this process still holds open is flushed, so
a handle kept in a global or caught in a reference cycle loses no buffered write.
"""

import atexit as _atexit

import _tessaradb
from _tessaradb import *  # noqa: F401,F403

__doc__ = _tessaradb.__doc__
__all__ = [name for name in dir(_tessaradb) if not name.startswith("_")]

_atexit.register(_tessaradb._flush_all)
