"""PLAV: JSON plus the Mox Grid table, read and written at native speed.

The functions are the extension's own objects, re-exported without wrappers:
``plav.loads is plav_core.loads``. ``load`` and ``dump`` read and write file objects.
"""

from typing import Any

from plav._extract import extract
from plav._files import dump, load
from plav_core import DecodeError, __simd__, __version__, dumps, format_hint, loads, raw_decode

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
    "raw_decode",
    "extract",
]

#: The dumps options that take fewest tokens while loads still reads the text back
#: equal: ``plav.dumps(rows, **plav.LEAN)``. Every string cell and header key that
#: reads back bare is written bare, any value may be a grid cell, missing and null
#: cells are left empty, identifier keys go unquoted, and grid cells are separated
#: by tabs (pass ``delimiter="comma"`` after it for commas). ``format_hint("lean")``
#: describes the result for a prompt.
LEAN: dict[str, Any] = {
    "bare_strings": True,
    "bare_text": True,
    "implicit_null": True,
    "unquoted_keys": True,
    "cells": "any",
    "delimiter": "tab",
}
