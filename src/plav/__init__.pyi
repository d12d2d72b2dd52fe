# Types of the extension's functions and DecodeError, which `plav` re-exports, and of
# load and dump. plav_core's own stubs take these names from here.
#
# `delimiter` and `style` are typed with the values the module recognises. At run time any
# str is accepted and an unrecognised one means the default (comma delimiter, grid hint),
# so a typo such as delimiter="tabs" would pass silently; the Literal lets a type checker
# catch it instead. Pass a str from elsewhere (a CLI flag, a config file) after narrowing it,
# or with typing.cast, when the silent default is what you want.
import json
from collections.abc import Iterable
from typing import Any, Literal, Protocol, SupportsIndex, TypeAlias, TypeVar

__all__ = [
    "__version__",
    "__simd__",
    "loads",
    "dumps",
    "format_hint",
    "load",
    "dump",
    "DecodeError",
    "LEAN",
]

_Delimiter: TypeAlias = Literal["comma", ",", "tab", "\t", "pipe", "|"]
_HintStyle: TypeAlias = Literal["mox_grid", "mox_grid_rowcount", "multiline", "tab", "lean"]
_Cells: TypeAlias = Literal["safe", "any"]

__version__: str
__simd__: str

# The dumps options that take fewest tokens: plav.dumps(rows, **plav.LEAN).
LEAN: dict[str, Any]

_T_contra = TypeVar("_T_contra", contravariant=True)

class _Readable(Protocol):
    def read(self) -> str | bytes: ...

class _Writable(Protocol[_T_contra]):
    def write(self, data: _T_contra, /) -> object: ...

class DecodeError(json.JSONDecodeError):
    """Raised by loads for text it cannot read; str() is the message alone."""

    msg: str
    doc: str | bytes | bytearray | memoryview  # type: ignore[assignment]  # the input as given
    pos: int
    lineno: int
    colno: int
    def __init__(self, msg: str, doc: str | bytes | bytearray | memoryview, pos: int) -> None: ...

def loads(
    data: bytes | bytearray | memoryview | str, schema: Iterable[str] | None = None
) -> Any:
    """Parse PLAV or JSON text into dict, list, str, int, float, bool and None."""

def dumps(
    data: object,
    *,
    mox_grid: bool = True,
    unquoted_keys: bool = False,
    indent: SupportsIndex | None = None,
    bare_strings: bool = False,
    implicit_null: bool = False,
    row_count: bool = True,
    multiline_mox: bool = False,
    delimiter: _Delimiter = "comma",
    cells: _Cells = "safe",
    bare_text: object = False,
) -> str:
    """Write a Python object as PLAV text; lists of like dicts become Mox Grids."""

def load(fp: _Readable, schema: Iterable[str] | None = None) -> Any:
    """Read a text or binary file object to its end and parse it as loads does."""

def dump(
    obj: object,
    fp: _Writable[str] | _Writable[bytes],
    *,
    mox_grid: bool = True,
    unquoted_keys: bool = False,
    indent: SupportsIndex | None = None,
    bare_strings: bool = False,
    implicit_null: bool = False,
    row_count: bool = True,
    multiline_mox: bool = False,
    delimiter: _Delimiter = "comma",
    cells: _Cells = "safe",
    bare_text: object = False,
) -> None:
    """Write an object as dumps does: str to a text file, UTF-8 to a binary one."""

def format_hint(style: _HintStyle = "mox_grid") -> str:
    """Return a fixed description of the grid format for an LLM prompt."""
