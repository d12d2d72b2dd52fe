# Types of the extension functions that `plav` re-exports.
#
# `delimiter` and `style` are typed with the values the module recognises. At run time any
# str is accepted and an unrecognised one means the default (comma delimiter, grid hint),
# so a typo such as delimiter="tabs" would pass silently; the Literal lets a type checker
# catch it instead. Pass a str from elsewhere (a CLI flag, a config file) after narrowing it,
# or with typing.cast, when the silent default is what you want.
from collections.abc import Callable, Iterable
from typing import Any, Literal, SupportsIndex, TypeAlias

__all__ = ["__version__", "__simd__", "loads", "dumps", "format_hint"]

_Delimiter: TypeAlias = Literal["comma", ",", "tab", "\t", "pipe", "|"]
_HintStyle: TypeAlias = Literal["mox_grid", "mox_grid_rowcount", "multiline", "tab"]

__version__: str
__simd__: str

def loads(data: bytes | str, schema: Iterable[str] | None = None) -> Any:
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
    sort_keys: bool = False,
    default: Callable[[Any], object] | None = None,
) -> str:
    """Write a Python object as PLAV text; lists of like dicts become Mox Grids."""

def format_hint(style: _HintStyle = "mox_grid") -> str:
    """Return a fixed description of the grid format for an LLM prompt."""
