# Types of the extension module: its names are those that `plav` re-exports, typed once,
# in plav/__init__.pyi.
from plav import DecodeError as DecodeError
from plav import __simd__ as __simd__
from plav import __version__ as __version__
from plav import dumps as dumps
from plav import format_hint as format_hint
from plav import loads as loads
from plav import raw_decode as raw_decode

__all__ = ["__version__", "__simd__", "DecodeError", "loads", "dumps", "format_hint", "raw_decode"]
