"""plav.load and plav.dump on text and binary file objects, and what they refuse."""

import gzip
import io
import tempfile

import pytest

import plav

DOC = {
    "team": "café ☕",
    "rows": [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo b"}],
    "n": [1.5, None, True],
}


def opened(tmp_path, kind):
    """A writable file object of the given kind, and how to reopen it for reading."""
    path = tmp_path / "doc.plav"
    if kind == "text":
        return open(path, "w", encoding="utf-8"), lambda: open(path, encoding="utf-8")
    if kind == "binary":
        return open(path, "wb"), lambda: open(path, "rb")
    if kind == "unbuffered":
        return open(path, "wb", buffering=0), lambda: open(path, "rb", buffering=0)
    if kind == "gzip":
        return gzip.open(path, "wb"), lambda: gzip.open(path, "rb")
    if kind == "spooled":
        f = tempfile.SpooledTemporaryFile(mode="w+b")
        return f, lambda: (f.seek(0), f)[1]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["text", "binary", "unbuffered", "gzip", "spooled"])
@pytest.mark.parametrize("options", [{}, {"bare_strings": True, "delimiter": "tab"}])
def test_dump_then_load_round_trips(tmp_path, kind, options):
    out, reopen = opened(tmp_path, kind)
    with out:
        assert plav.dump(DOC, out, **options) is None
        if kind == "spooled":
            with reopen() as f:
                assert plav.load(f) == DOC
            return
    with reopen() as f:
        assert plav.load(f) == DOC
    raw = (tmp_path / "doc.plav").read_bytes()
    if kind != "gzip":
        assert raw == plav.dumps(DOC, **options).encode("utf-8")


@pytest.mark.parametrize(
    "stream, written",
    [(io.StringIO(), '[: a; "é"; "é" ]'), (io.BytesIO(), '[: a; "é"; "é" ]'.encode())],
    ids=["text", "binary"],
)
def test_dump_writes_str_to_text_and_utf8_to_binary(stream, written):
    plav.dump([{"a": "é"}, {"a": "é"}], stream, row_count=False)
    assert stream.getvalue() == written


@pytest.mark.parametrize(
    "stream",
    [
        io.StringIO('{a: [1, 2,], // c\n "b": "é"}'),
        io.BytesIO('{a: [1, 2,], // c\n "b": "é"}'.encode()),
    ],
    ids=["text", "binary"],
)
def test_load_reads_to_the_end_and_passes_the_schema(stream):
    assert plav.load(stream, schema=["x", "y"]) == {"x": [1, 2], "y": "é"}
    assert stream.read() == stream.read()[:0]


def test_load_errors_are_placed_in_the_file_text():
    with pytest.raises(plav.DecodeError) as info:
        plav.load(io.StringIO("[1,\n 2,\n x]"))
    assert (info.value.lineno, info.value.colno, info.value.doc) == (3, 2, "[1,\n 2,\n x]")


class ReadsOnly:
    def read(self):
        return "[1]"


@pytest.mark.parametrize(
    "call",
    [
        lambda: plav.load("doc.plav"),
        lambda: plav.load(b"[1]"),
        lambda: plav.load(object()),
        lambda: plav.dump([1], "out.plav"),
        lambda: plav.dump([1], ReadsOnly()),
        lambda: plav.load(type("R", (), {"read": 5})()),
    ],
    ids=["load path", "load bytes", "load object", "dump path", "dump no write", "read attr"],
)
def test_non_files_are_type_errors(call):
    with pytest.raises(TypeError, match=r"needs a file object with a (read|write)\(\) method"):
        call()


@pytest.mark.parametrize("mode", ["r", "rb", "w", "wb"])
def test_a_closed_file_raises_its_own_error(tmp_path, mode):
    path = tmp_path / "doc.plav"
    path.write_text("[1]")
    f = open(path, mode)
    f.close()
    with pytest.raises(ValueError, match="closed file") as info:
        if "r" in mode:
            plav.load(f)
        else:
            plav.dump([1], f)
    assert not isinstance(info.value, plav.DecodeError)


def test_options_are_those_of_loads_and_dumps():
    with pytest.raises(TypeError):
        plav.dump([1], io.StringIO(), no_such_option=True)
    with pytest.raises(TypeError):
        plav.load(io.StringIO("[1]"), no_such_option=True)
    assert plav.load(ReadsOnly()) == [1]
