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


def right_calls(rows: list[dict[str, object]], fields: tuple[str, ...]) -> str:
    text = plav.dumps(rows)
    assert_type(text, str)
    lean = plav.dumps(
        rows,
        mox_grid=True,
        unquoted_keys=True,
        indent=2,
        bare_strings=True,
        implicit_null=True,
        row_count=False,
        multiline_mox=False,
        delimiter="\t",
    )
    for delimiter in ("comma", ",", "tab", "pipe", "|"):
        plav.dumps(rows, delimiter=delimiter)
    plav.dumps(data=rows, indent=True)
    plav.dumps(rows, **plav.LEAN)
    plav.dumps(rows, cells="any", bare_text=True)
    plav.dumps(rows, cells="safe", bare_text=1)
    value = plav.loads(text)
    assert_type(value, Any)
    plav.loads(lean.encode(), fields)
    plav.loads(b"[1]", schema=["id", "name"])
    plav.loads(data="[1]", schema=None)
    hint: str = plav.format_hint()
    for style in ("mox_grid", "mox_grid_rowcount", "multiline", "tab", "lean"):
        hint += plav.format_hint(style)
    hint += plav.format_hint(style="tab")
    plav.loads(bytearray(b"[1]"))
    plav.loads(memoryview(b"[1]"), schema=("a",))
    assert_type(plav_core.loads(b"[1]"), Any)
    made: plav.DecodeError = plav_core.DecodeError("message", b"[1, x]", 4)
    version: str = plav.__version__
    simd: str = plav.__simd__
    return hint + version + simd + made.msg


def errors_and_files(path: Path, rows: list[dict[str, int]]) -> int:
    try:
        plav.loads("[1, x]")
    except plav.DecodeError as e:
        assert_type(e.pos, int)
        where = e.lineno + e.colno
        message: str = e.msg
        stdlib: json.JSONDecodeError = e
        del message, stdlib
    with path.open("w", encoding="utf-8") as text_file:
        plav.dump(rows, text_file, bare_strings=True, delimiter="tab")
    with path.open("wb") as binary_file:
        plav.dump(rows, binary_file)
    plav.dump(rows, io.StringIO(), indent=2)
    with path.open("rb") as f:
        assert_type(plav.load(f), Any)
    with path.open(encoding="utf-8") as f:
        plav.load(f, schema=["id"])
    return where


def wrong_calls(user_text: str) -> None:
    plav.loads(1)  # type: ignore[arg-type]
    plav_core.loads(1)  # type: ignore[arg-type]
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
    plav.dumps([], delimiter="tabs")  # type: ignore[arg-type]
    plav.dumps([], delimiter=user_text)  # type: ignore[arg-type]
    plav.dumps([], sort_keys=True)  # type: ignore[call-arg]
    plav.format_hint("Tab")  # type: ignore[arg-type]
    plav.format_hint(None)  # type: ignore[arg-type]
