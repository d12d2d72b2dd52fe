"""PLAV: JSON plus the Mox Grid table, read and written at native speed.

The functions are the extension's own objects, re-exported without wrappers:
``plav.loads is plav_core.loads``.
"""

from plav_core import __simd__, __version__, dumps, format_hint, loads, raw_decode

from plav._extract import extract

__all__ = ["__version__", "__simd__", "loads", "dumps", "format_hint", "raw_decode", "extract"]
