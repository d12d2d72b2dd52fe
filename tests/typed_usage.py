"""Calls a user makes, type-checked with mypy --strict against plav's stubs.

The calls in wrong_calls must each be a type error: their `type: ignore` comments are
checked by mypy's warn_unused_ignores, so a stub that accepted them would fail the check.
"""

from typing import Any, assert_type

import plav


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
    plav.dumps(rows, sort_keys=True, default=str)
    plav.dumps(rows, default=lambda obj: {"type": type(obj).__name__})
    plav.dumps(rows, default=None)
    value = plav.loads(text)
    assert_type(value, Any)
    plav.loads(lean.encode(), fields)
    plav.loads(b"[1]", schema=["id", "name"])
    plav.loads(data="[1]", schema=None)
    hint: str = plav.format_hint()
    for style in ("mox_grid", "mox_grid_rowcount", "multiline", "tab"):
        hint += plav.format_hint(style)
    hint += plav.format_hint(style="tab")
    version: str = plav.__version__
    simd: str = plav.__simd__
    return hint + version + simd


def wrong_calls(user_text: str) -> None:
    plav.loads(1)  # type: ignore[arg-type]
    plav.loads(bytearray(b"[1]"))  # type: ignore[arg-type]
    plav.loads("[1]", schema=[1])  # type: ignore[list-item]
    plav.dumps([], True)  # type: ignore[call-arg]
    plav.loads("[1]", None, 3)  # type: ignore[call-arg]
    plav.dumps([], mox_grid=1)  # type: ignore[arg-type]
    plav.dumps([], indent="2")  # type: ignore[arg-type]
    plav.dumps([], delimiter="tabs")  # type: ignore[arg-type]
    plav.dumps([], delimiter=user_text)  # type: ignore[arg-type]
    plav.dumps([], sort_keys=1)  # type: ignore[arg-type]
    plav.dumps([], default=3)  # type: ignore[arg-type]
    plav.format_hint("Tab")  # type: ignore[arg-type]
    plav.format_hint(None)  # type: ignore[arg-type]
