"""PLAV: JSON plus the Mox Grid table, read and written at native speed.

The functions are the extension's own objects, re-exported without wrappers:
``plav.loads is plav_core.loads``. ``load`` and ``dump`` read and write file objects.
"""

from plav._files import dump, load
from plav_core import DecodeError, __simd__, __version__, dumps, format_hint, loads

__all__ = [
    "__version__",
    "__simd__",
    "loads",
    "dumps",
    "format_hint",
    "load",
    "dump",
    "DecodeError",
]
