"""Finding the data in a model's reply: a Markdown fence, else the first value in prose."""

from __future__ import annotations

import re
from typing import Any

import plav_core

__all__ = ["extract"]

# The extension's private reader, left out of its stubs: _read_at(data, start, stop,
# schema, partial, strict, whole) -> (value, end), with byte offsets into bytes `data`.
_read_at = vars(plav_core)["_read_at"]

_INFO_WORD = re.compile(rb"[ \t]*([^\s{`]*)")
_DATA_WORDS = frozenset({b"", b"json", b"plav", b"jsonc", b"json5"})
_OPENERS = re.compile(rb"[\[{]")
_POSITION = re.compile(r"\(approximate position: \S+ bytes from (\d+)\)$")
NOT_FOUND = "No JSON or PLAV value found"


def _fence_lines(data: bytes) -> list[tuple[int, int, bytes, bytes]]:
    """(line start, line end, marks, rest of the line) of every line that starts, after
    spaces and tabs, with three or more backticks or tildes; in text order."""
    found = []
    for mark in (b"```", b"~~~"):
        i = data.find(mark)
        while i != -1:
            line_start = data.rfind(b"\n", 0, i) + 1
            line_end = data.find(b"\n", i)
            if line_end == -1:
                line_end = len(data)
            if not data[line_start:i].strip(b" \t"):
                j = i + 3
                while j < line_end and data[j] == mark[0]:
                    j += 1
                found.append((line_start, line_end, data[i:j], data[j:line_end]))
            i = data.find(mark, line_end)
    found.sort()
    return found


def _fences(data: bytes) -> list[tuple[bytes, int, int, bool]]:
    """(info word, content start, content end, closed) of every fence, in order."""
    found = []
    lines = iter(_fence_lines(data))
    for _, opener_end, marks, info in lines:
        if marks[:1] == b"`" and b"`" in info:
            continue  # not a fence: a backtick fence's info string has no backtick
        word = _INFO_WORD.match(info).group(1).lower()  # type: ignore[union-attr]
        start = min(opener_end + 1, len(data))
        for closer_start, _, m, rest in lines:  # a fence's content is not searched again
            if m[:1] == marks[:1] and len(m) >= len(marks) and not rest.strip():
                found.append((word, start, closer_start, True))
                break
        else:
            found.append((word, start, len(data), False))
    return found


def _char_index(data: bytes, pos: int) -> int:
    return len(data[:pos].decode("utf-8", "replace"))


def _error(message: str, doc: str | bytes, pos: int) -> ValueError:
    """The reader's error for `doc` at `pos` (an index into doc)."""
    cls = getattr(plav_core, "DecodeError", None)
    if cls is not None:
        return cls(message, doc, pos)  # type: ignore[no-any-return]
    # Without the extension's DecodeError: a ValueError with json's attributes.
    newline = "\n" if isinstance(doc, str) else b"\n"
    line_start = doc.rfind(newline, 0, pos) + 1  # type: ignore[arg-type]
    err = ValueError(message)
    err.msg, err.doc, err.pos = message, doc, pos  # type: ignore[attr-defined]
    err.lineno = doc.count(newline, 0, pos) + 1  # type: ignore[arg-type, attr-defined]
    err.colno = (  # type: ignore[attr-defined]
        pos - line_start + 1
        if isinstance(doc, str)
        else len(doc[line_start:pos].decode("utf-8", "replace")) + 1
    )
    return err


def _relocated(exc: ValueError, doc: str | bytes, data: bytes) -> ValueError:
    """The error of a read of `data` (the reply as bytes), placed in the reply `doc`."""
    pos = getattr(exc, "pos", None)
    message = getattr(exc, "msg", None) or str(exc)
    if not isinstance(pos, int):
        m = _POSITION.search(str(exc))
        pos = int(m.group(1)) if m else 0
    pos = min(max(pos, 0), len(data))
    if isinstance(doc, str):
        pos = _char_index(data, pos)
    return _error(message, doc, pos)


def extract(text: str | bytes, schema: Any = None, *, partial: Any = False) -> Any:
    """Find and read the JSON or PLAV value in a model's reply.

    The first Markdown code fence whose info word is json, plav, jsonc, json5 or
    empty is read; then, when no such fence reads, the first ``{`` or ``[`` from which
    a whole value reads. With ``partial=True`` an unclosed fence counts, and values
    are read as far as the text is complete.
    """
    return read_reply(text, schema, partial=partial)


def read_reply(
    text: str | bytes, schema: Any = None, *, partial: Any = False, strict: Any = False
) -> Any:
    """extract, with loads' strict grid checks available (the CLI's --strict)."""
    if isinstance(text, str):
        data = text.encode("utf-8", "surrogatepass")
    elif isinstance(text, bytes):
        data = text
    else:
        raise TypeError(f"text must be str or bytes, not {type(text).__name__}")
    partial = bool(partial)
    strict = bool(strict)
    first: ValueError | None = None
    for word, start, stop, closed in _fences(data):
        if word not in _DATA_WORDS or not (closed or partial):
            continue
        try:
            return _read_at(data, start, stop, schema, not closed, strict, True)[0]
        except ValueError as exc:
            first = first or exc
    size = len(data)
    for opener in _OPENERS.finditer(data):
        try:
            return _read_at(data, opener.start(), size, schema, partial, strict, False)[0]
        except ValueError as exc:
            first = first or exc
    if first is None:
        raise _error(NOT_FOUND, text, 0)
    raise _relocated(first, text, data) from None
