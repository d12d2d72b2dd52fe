"""load and dump: loads and dumps over file objects."""

from __future__ import annotations

import io
from typing import Any

from plav_core import dumps, loads


def _method(fp: Any, name: str, what: str) -> Any:
    method = getattr(fp, name, None)
    if not callable(method):
        raise TypeError(
            f"{what} needs a file object with a {name}() method, not {type(fp).__name__}"
        )
    return method


def _is_binary(fp: Any) -> bool:
    if isinstance(fp, io.TextIOBase):
        return False
    if isinstance(fp, (io.RawIOBase, io.BufferedIOBase)):
        return True
    mode = getattr(fp, "mode", None)
    return isinstance(mode, str) and "b" in mode


def load(fp: Any, schema: Any = None, **options: Any) -> Any:
    """Read the whole of a text or binary file object and parse it as loads does."""
    return loads(_method(fp, "read", "load()")(), schema, **options)


def dump(obj: Any, fp: Any, **options: Any) -> None:
    """Write obj as dumps does: str to a text file, UTF-8 bytes to a binary one."""
    write = _method(fp, "write", "dump()")
    text = dumps(obj, **options)
    write(text.encode("utf-8") if _is_binary(fp) else text)
