# Types of the extension functions that `plav` re-exports.
#
# `delimiter` and `style` are typed with the values the module recognises. At run time any
# str is accepted and an unrecognised one means the default (comma delimiter, grid hint),
# so a typo such as delimiter="tabs" would pass silently; the Literal lets a type checker
# catch it instead. Pass a str from elsewhere (a CLI flag, a config file) after narrowing it,
# or with typing.cast, when the silent default is what you want.
from collections.abc import Iterable
from typing import Any, Literal, SupportsIndex, TypeAlias

__all__ = ["__version__", "__simd__", "loads", "dumps", "format_hint", "raw_decode", "extract"]

_Delimiter: TypeAlias = Literal["comma", ",", "tab", "\t", "pipe", "|"]
_HintStyle: TypeAlias = Literal["mox_grid", "mox_grid_rowcount", "multiline", "tab", "reply"]

__version__: str
__simd__: str

def loads(
    data: bytes | str,
    schema: Iterable[str] | None = None,
    *,
    partial: object = False,
    strict: object = False,
) -> Any:
    """Parse PLAV or JSON text into dict, list, str, int, float, bool and None."""

def raw_decode(
    data: bytes | str, start: int = 0, schema: Iterable[str] | None = None
) -> tuple[Any, int]:
    """Read one value starting at `start`; return it and the index just past it."""

def extract(
    text: str | bytes, schema: Iterable[str] | None = None, *, partial: object = False
) -> Any:
    """Find and read the JSON or PLAV value in a model's reply (a code fence or prose)."""

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
) -> str:
    """Write a Python object as PLAV text; lists of like dicts become Mox Grids."""

def format_hint(style: _HintStyle = "mox_grid") -> str:
    """Return a fixed description of the grid format for an LLM prompt."""
