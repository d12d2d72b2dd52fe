"""Fuzz target for loads (atheris; `./dev.sh fuzz loads SECONDS`).

Raw or generated input, as bytes, str or a buffer, with or without a schema: results
are walked, written back and read again; failures are the reader's own DecodeErrors,
placed within the input; every prefix reads partially as the whole allows.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness

import plav_core

SCHEMAS = [["a"], ["a", "b"], [], ["id", "name", "score"], ["k", "k"], ["\u00e9", ""]]


def cut_points(n: int) -> list[int]:
    """Every cut of a short text; for a longer one, a few spread over it and at its end."""
    if n <= 24:
        return list(range(n + 1))
    return sorted({*range(0, n, max(1, n // 6)), n - 2, n - 1, n})


def nothing_complete(prefix) -> bool:
    body = prefix.strip(" \t\r\n\ufeff" if isinstance(prefix, str) else b" \t\r\n\xef\xbb\xbf")
    return not body or body[:1] not in ('[{"' if isinstance(prefix, str) else b'[{"')


def check_prefixes(arg, schema, whole_ok: bool, whole) -> None:
    if not isinstance(arg, (str, bytes)):
        arg = bytes(arg)  # bytearray and memoryview input: their prefixes as bytes
    for cut in cut_points(len(arg)):
        prefix = arg[:cut]
        try:
            got = plav_core.loads(prefix, schema, partial=True)
        except ValueError as e:
            if not harness.LOADS_MESSAGES.fullmatch(str(e)):
                raise harness.Finding(f"unexpected partial message {str(e)!r}") from e
            harness.check_decode_error(e, prefix)
            if whole_ok and not (
                str(e).startswith("Unexpected end of input") and nothing_complete(prefix)
            ):
                raise harness.Finding(f"a prefix of valid text raised {str(e)!r}") from e
            continue
        except TypeError:
            if type(arg) is str:
                continue  # a cut between the halves of a surrogate pair written as text
            raise
        harness.walk(got)
        if cut == len(arg) and whole_ok and not harness.same(got, whole):
            raise harness.Finding("partial read of the whole text differs from loads")


def one_input(data: bytes) -> None:
    r = harness.Reader(data)
    mode = r.byte()
    opts = harness.gen_options(r)
    doc = harness.gen_document(r) if mode & 1 else r.rest()
    schema = SCHEMAS[(mode >> 3) % len(SCHEMAS)] if mode & 2 else None
    # surrogateescape keeps invalid bytes as lone surrogates: loads must refuse them
    arg = doc.decode("utf-8", "surrogateescape" if mode & 0x40 else "replace") if mode & 4 else doc
    if mode & 0x80 and type(arg) is bytes:
        arg = bytearray(arg) if mode & 0x20 else memoryview(arg)
    try:
        value = plav_core.loads(arg, schema)
    except ValueError as e:
        if not harness.LOADS_MESSAGES.fullmatch(str(e)):
            raise harness.Finding(f"unexpected loads message {str(e)!r}") from e
        harness.check_decode_error(e, arg)
        check_prefixes(arg, schema, False, None)
        return
    except TypeError as e:
        if type(arg) is str and str(e) == "data must be bytes or str":
            try:
                arg.encode("utf-8")
            except UnicodeEncodeError:
                return
        raise
    harness.walk(value)
    check_prefixes(arg, schema, True, value)
    try:  # strict reads the same or refuses a grid's shape
        if not harness.same(plav_core.loads(arg, schema, strict=True), value):
            raise harness.Finding("strict read differs from loads")
    except ValueError as e:
        if not str(e).startswith("Mox Grid"):
            raise

    if type(arg) is not str and schema is None:
        try:
            text = doc.decode("utf-8")
        except UnicodeDecodeError:
            text = None
        if text is not None and not harness.same(value, plav_core.loads(text)):
            raise harness.Finding("loads(bytes) and loads(str) differ")

    try:
        written = plav_core.dumps(value, **opts)
    except ValueError as e:
        if str(e) == "Object too deeply nested (max 256 levels)" and harness.depth_of(value) > 256:
            return
        raise
    harness.check_written(written, opts, value, harness.grid_exact(value))


if __name__ == "__main__":
    harness.run(one_input)
