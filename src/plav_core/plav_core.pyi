# Types of the extension module. Its functions are those that `plav` re-exports, typed in
# plav/__init__.pyi; the classes and names below are the module's own.
from plav import DecodeError as DecodeError
from plav import __simd__ as __simd__
from plav import __version__ as __version__
from plav import dumps as dumps
from plav import format_hint as format_hint
from plav import loads as loads

__all__ = ["__version__", "__simd__", "DecodeError", "loads", "dumps", "format_hint"]

class InternalFailure(BaseException):
    """Raised when the caller's own code breaks an invariant during dumps."""
