"""Calls a user makes, type-checked with mypy --strict against plav's stubs.

The calls in wrong_calls must each be a type error: their `type: ignore` comments are
checked by mypy's warn_unused_ignores, so a stub that accepted them would fail the check.
"""

import array
import io
import json
from pathlib import Path
from typing import Any, assert_type

import plav
import plav_core


def right_calls(rows: list[dict[str, object]], fields: tuple[str, ...], path: Path) -> str:
    text = plav.dumps(rows, mox_grid=True, unquoted_keys=True, indent=2, bare_strings=True)
    assert_type(text, str)
    plav.dumps(data=rows, implicit_null=True, row_count=False, multiline_mox=False, indent=True)
    for delimiter in ("comma", ",", "tab", "\t", "pipe", "|"):
        plav.dumps(rows, delimiter=delimiter, cells="any", bare_text=1, sort_keys=True)
    plav.dumps(rows, **plav.LEAN, default=lambda obj: {"type": type(obj).__name__})
    assert_type(plav.loads(text.encode(), fields, partial=True, strict=False), Any)
    plav.loads(bytearray(b"[1]"), schema=["id", "name"])
    assert_type(plav_core.loads(memoryview(b"[1]"), schema=None), Any)
    _, end = plav.raw_decode("[1] [2]", 0)
    assert_type(end, int)
    assert_type(plav.extract("Sure: [1]", partial=True), Any)
    hint = plav.format_hint() + plav.format_hint(style="lean")
    try:
        plav.loads("[1, x]")
    except plav.DecodeError as e:
        assert_type(e.pos, int)
        stdlib: json.JSONDecodeError = e
        hint += stdlib.msg + str(e.lineno + e.colno)
    with path.open("w", encoding="utf-8") as text_file:
        plav.dump(rows, text_file, bare_strings=True, delimiter="tab")
    with path.open("wb") as binary_file:
        plav.dump(rows, binary_file)
    with path.open("rb") as f:
        assert_type(plav.load(f, schema=["id"]), Any)
    made: plav.DecodeError = plav_core.DecodeError("message", b"[1, x]", 4)
    return hint + plav.__version__ + plav.__simd__ + made.msg


def wrong_calls(user_text: str) -> None:
    plav.loads(1)  # type: ignore[arg-type]
    plav_core.dumps([], sort_order=True)  # type: ignore[call-arg]
    plav.loads(array.array("B", b"[1]"))  # type: ignore[arg-type]
    plav.load("data.json")  # type: ignore[arg-type]
    plav.dump([], "out.json")  # type: ignore[arg-type]
    plav.dump([], io.StringIO(), delimiter="tabs")  # type: ignore[arg-type]
    plav.loads("[1]", schema=[1])  # type: ignore[list-item]
    plav.dumps([], True)  # type: ignore[call-arg]
    plav.loads("[1]", None, 3)  # type: ignore[call-arg]
    plav.dumps([], mox_grid=1)  # type: ignore[arg-type]
    plav.dumps([], indent="2")  # type: ignore[arg-type]
    plav.dumps([], cells="all")  # type: ignore[arg-type]
    plav.dumps([], delimiter=user_text)  # type: ignore[arg-type]
    plav.dumps([], sort_keys=1)  # type: ignore[arg-type]
    plav.dumps([], default=3)  # type: ignore[arg-type]
    plav.format_hint("Tab")  # type: ignore[arg-type]
    plav.format_hint(None)  # type: ignore[arg-type]
