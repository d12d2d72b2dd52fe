"""The package surface: names, stubs, load/dump on files, the README and the CLI."""

import ast
import doctest
import gzip
import inspect
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import typing
from pathlib import Path

import _plav_testing as T
import pytest
from conftest import DATA, ROOT, error_of, words

import plav
import plav_core
from plav.cli import _READ_DEPTH_LIMIT

STUB = ast.parse(Path(plav.__file__).with_name("__init__.pyi").read_text(encoding="utf-8"))
STUB_FUNCTIONS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef)}
STUB_VALUES = {
    ast.unparse(getattr(n, "target", None) or n.targets[0]): n.value
    for n in STUB.body
    if isinstance(n, ast.Assign | ast.AnnAssign)
}


def test_names_and_stubs():
    core = words("__version__ __simd__ DecodeError loads dumps format_hint raw_decode")
    assert plav_core.__all__ == core
    assert sorted(plav.__all__) == sorted(core + ["load", "dump", "LEAN", "extract"])
    assert all(getattr(plav, name) is getattr(plav_core, name) for name in core)
    assert plav_core.__simd__ == ("AVX-512" if T.cpu_features()[1:] == (True, True) else "AVX2")
    assert ast.literal_eval(STUB_VALUES["__all__"]) == plav.__all__
    assert set(STUB_FUNCTIONS) == set(core[3:] + ["load", "dump", "extract"])
    pyi = Path(plav_core.__file__).with_name("plav_core.pyi")
    package = pyi.with_name("plav_core-stubs") / "__init__.pyi"
    assert pyi.read_bytes() == package.read_bytes()
    assert pyi.with_name("plav").joinpath("py.typed").is_file()
    literal = lambda alias: typing.get_args(eval(ast.unparse(STUB_VALUES[alias]), vars(typing)))
    styles, delimiters = literal("_HintStyle"), literal("_Delimiter")
    assert len({plav.format_hint(s) for s in styles}) == len(styles)  # one text a style
    written = {d: plav.dumps([{"a": 1}, {"a": 2}, {"a": 3}], delimiter=d) for d in delimiters}
    assert written["comma"] == written[","] and written["tab"] == written["\t"]
    assert len(set(written.values())) == 1 + written["pipe"].count("|")


def stub_parameters(name, skip=0):
    """(name, keyword-only, default) of a stub function's parameters after the first `skip`."""
    args = STUB_FUNCTIONS[name].args
    assert args.vararg is None and args.kwarg is None and not args.posonlyargs
    defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
    params = [(a.arg, False, d) for a, d in zip(args.args, defaults)]
    params += [(a.arg, True, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return [
        (n, kw, ast.literal_eval(d) if d else inspect.Parameter.empty) for n, kw, d in params[skip:]
    ]


@pytest.mark.parametrize("name", ["loads", "dumps", "format_hint", "raw_decode"])
def test_stubs_match_the_signatures(name):
    runtime = inspect.signature(getattr(plav_core, name)).parameters.values()
    assert [(p.name, p.kind == p.KEYWORD_ONLY, p.default) for p in runtime] == stub_parameters(name)
    # load(fp, ...) and dump(obj, fp, ...) pass every option on, as the string function has it
    if name in ("loads", "dumps"):
        assert stub_parameters(name[:-1], 1 + (name == "dumps")) == stub_parameters(name, 1)


def test_mypy_strict_accepts_use_rejects_misuse_and_passes_the_package(tmp_path):
    # typed_usage.py marks each wrong call `type: ignore[...]`, checked by warn_unused_ignores.
    usage = str(Path(__file__).with_name("typed_usage.py"))
    args = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), usage, "plav"]
    result = subprocess.run(args, capture_output=True, text=True, cwd=ROOT / "src")
    assert result.returncode == 0, result.stdout + result.stderr


SUBINTERPRETER = r"""
import _testcapi, os, tempfile, plav_core
path = os.path.join(tempfile.mkdtemp(), "out")
_testcapi.run_in_subinterp(f'''
try:
    import plav_core
    result = "imported"
except ImportError as e:
    result = "refused: " + str(e)
open({path!r}, "w").write(result)
''')
print(open(path).read())
"""


def test_a_second_interpreter_is_refused():
    # A legacy (non-isolated) subinterpreter runs the init function, which refuses it.
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True)
    assert out.stdout.startswith("refused: ") and "subinterpreters" in out.stdout


def test_format_hint():
    grid, tab, lean = (plav.format_hint(s) for s in ("mox_grid", "tab", "lean"))
    # unknown styles, wrong case and names with no UTF-8 form give the grid text
    assert {plav.format_hint(s) for s in ["unknown", "Tab", "tab ", "\ud800"]} == {grid} != {tab}
    example = lean.split("Example: ", 1)[1].split("\n")[0]
    rows = [{"id": 1, "name": "Ana Mensah", "tags": ["a", "b"]}]
    rows.append({"id": 2, "name": "Bo, Jr", "tags": None})
    written = plav.dumps(rows, **{**plav.LEAN, "delimiter": "comma"})  # the hint shows the layout
    assert plav.loads(example) == rows and written.replace(" ", "") == example.replace(" ", "")


@pytest.mark.parametrize("name", [str, lambda n: "".join(list(n))])  # not interned
def test_arguments_bind_by_any_keyword_spelling(name):
    rows = [{"a": 1}, {"a": 2}]
    options = {name("delimiter"): "tab", name("row_count"): False, name("indent"): None}
    assert plav.dumps(**{name("data"): rows}, **options) == "[: a; 1; 2 ]"
    assert plav.loads(**{name("data"): b'{"a": 1}', name("schema"): ["b"]}) == {"b": 1}
    with pytest.raises(TypeError, match=r"^argument for loads\(\) given by name \('data'\) and"):
        plav.loads(b"1", **{name("data"): 1})


# ---- load and dump ----

DOC = {"team": "café ☕", "rows": [{"id": 1, "n": "Ann"}, {"id": 2, "n": "Bo b"}], "n": [1.5]}
OPENERS = {
    "binary": lambda path, mode: open(path, mode + "b"),
    "gzip": lambda path, mode: gzip.open(path, mode + "b"),
}
OPENERS["text"] = lambda path, mode: open(path, mode, encoding="utf-8")


@pytest.mark.parametrize("kind", [*OPENERS, "spooled"])
def test_dump_then_load_round_trips(tmp_path, kind):
    path, make = tmp_path / "doc.plav", OPENERS.get(kind)
    out = make(path, "w") if make else tempfile.SpooledTemporaryFile(mode="w+b")
    assert plav.dump(DOC, out, bare_strings=True, delimiter="tab") is None
    if make:
        out.close()
        out = make(path, "r")
    out.seek(0)
    with out:
        assert plav.load(out) == DOC
    if kind in ("text", "binary"):
        assert path.read_bytes() == plav.dumps(DOC, bare_strings=True, delimiter="tab").encode()


def test_load_and_dump_streams_and_what_they_refuse(tmp_path):
    text, data = io.StringIO(), io.BytesIO()
    for stream in (text, data):
        plav.dump([{"a": "é"}, {"a": "é"}], stream, row_count=False)
    assert text.getvalue() == data.getvalue().decode() == '[: a; "é"; "é" ]'
    stream = io.BytesIO('{a: [1, 2,], // c\n "b": "é"}'.encode())
    assert plav.load(stream, schema=["x", "y"]) == {"x": [1, 2], "y": "é"} and stream.read() == b""
    with pytest.raises(plav.DecodeError) as info:
        plav.load(io.StringIO("[1,\n 2,\n x]"))
    assert (info.value.lineno, info.value.colno, info.value.doc) == (3, 2, "[1,\n 2,\n x]")
    reads_only = type("ReadsOnly", (), {"read": lambda s: "[1]"})()
    assert plav.load(reads_only) == [1]
    with pytest.raises(TypeError, match="write"):
        plav.dump([1], reads_only)
    with pytest.raises(TypeError, match=r"needs a file object with a read\(\) method"):
        plav.load(b"[1]")
    (tmp_path / "doc.plav").write_text("[1]")
    for mode in ("r", "wb"):
        f = open(tmp_path / "doc.plav", mode)
        f.close()
        with pytest.raises(ValueError, match="closed file") as info:
            plav.load(f) if "r" in mode else plav.dump([1], f)
        assert not isinstance(info.value, plav.DecodeError)


# ---- README ----

README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w+)\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def readme_blocks(language):
    text, found = README.read_text(encoding="utf-8"), []
    for m in FENCE.finditer(text):
        if m.group(1) == language:
            line = text.count("\n", 0, m.start()) + 2
            found.append(pytest.param(m.group(2), line, id=f"line {line}"))
    return found


@pytest.mark.parametrize("code, line", readme_blocks("python"))
def test_readme_python_example(code, line):
    if ">>> " not in code:
        exec(compile(code, f"README.md:{line}", "exec"), {"__name__": "readme"})
        return
    test = doctest.DocTestParser().get_doctest(code, {}, f"README.md:{line}", str(README), line)
    runner, report = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS), []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("text, line", readme_blocks("console"))
def test_readme_console_example(text, line):
    # each `$ ` line runs at the repository root; its standard output is the lines after
    env = dict(os.environ, PLAV_TOKENIZERS=str(DATA / "tokenizers"))
    env["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{env['PATH']}"
    commands = re.split(r"^\$ ", text, flags=re.MULTILINE)[1:]
    assert commands, "a console example shows at least one command"
    for command, _, expected in (c.partition("\n") for c in commands):
        args = ["bash", "-o", "pipefail", "-c", command]
        result = subprocess.run(args, capture_output=True, text=True, cwd=ROOT, env=env)
        assert (result.returncode, result.stdout) == (0, expected), f"{command}\n{result.stderr}"


# ---- the command line ----


def run(*args, stdin=b"", env=None, cwd=None):
    full_env = {k: v for k, v in os.environ.items() if k != "PLAV_TOKENIZERS"} | (env or {})
    args = [sys.executable, "-m", "plav", *map(str, args)]
    return subprocess.run(args, input=stdin, capture_output=True, env=full_env, cwd=cwd)


PEOPLE = {"p": [{"id": 1, "n": "Ann"}, {"id": 2, "n": "Bo b"}], "e": [{"a": None}, {"a": None}]}
DEEPEST = b'{"a":' * (_READ_DEPTH_LIMIT - 1) + b"[1]" + b"}" * (_READ_DEPTH_LIMIT - 1)
DEEP = [" " * i + "[" for i in range(999)] + [" " * 999 + "[]"]
DEEP += [" " * i + "]" for i in range(998, -1, -1)]


def encoded(flags, **options):
    return "encode " + flags, json.dumps(PEOPLE).encode(), plav.dumps(PEOPLE, **options) + "\n"


@pytest.mark.parametrize(
    "args, stdin, expected",  # expected: the standard output, or (status, in standard error)
    [
        encoded(""),
        encoded("--no-row-count --delimiter pipe", row_count=False, delimiter="|"),
        encoded("--multiline --indent 4", multiline_mox=True, indent=4),
        encoded("--no-mox-grid --unquoted-keys", mox_grid=False, unquoted_keys=True),
        encoded("--implicit-null --sort-keys", implicit_null=True, sort_keys=True),
        encoded("--lean", **plav.LEAN),
        encoded("--lean --delimiter comma", **{**plav.LEAN, "delimiter": ","}),
        ("encode", b'[: id; 1; "Bo b" ]', '[2: id; 1; "Bo b" ]\n'),  # PLAV in
        ("decode", b'{a: "\xc3\xa9\xe2\x82\xac", // c\n "b": [1,],}', '{"a": "é€", "b": [1]}\n'),
        ("decode --indent 2", b"[: a; 1 ]", '[\n  {\n    "a": 1\n  }\n]\n'),
        ("decode --indent 1", b"[" * 1000 + b"]" * 1000, "\n".join(DEEP) + "\n"),
        ("decode --compact --sort-keys", b"[: b, a; 1, 2 ]", '[{"a":2,"b":1}]\n'),
        # the JSON encoder recurses: the CLI's recursion limit covers loads' depth limit
        ("decode --compact", DEEPEST, DEEPEST.decode() + "\n"),
        # JSON Lines: CRLF line ends, blank lines passed over, errors placed by input line
        ("decode --lines", b'{"b": 1}\r\n\n  \n[: x; 1 ]\n"z"', '{"b": 1}\n[{"x": 1}]\n"z"\n'),
        ("decode --lines", b"\n  \r\n", ""),
        (
            "decode --lines",
            b'[1]\n\n{"\xc3\xa9": x}\n',
            (1, "plav: <stdin>:3:7: Invalid character"),
        ),
        # a model's reply: in prose or a fence, cut off, with grids checked
        ("decode --extract --partial", b"ok ```json\n[1, [2, 3", "[1, [2]]\n"),
        ("decode --strict", b"[2: a; 1; 2 ]", '[{"a": 1}, {"a": 2}]\n'),
        ("decode --strict", b"[3: a; 1; 2 ]", (1, "Mox Grid has 2 rows, expected 3")),
        # failures: one line, status 1 for what cannot be done, 2 for bad usage
        ("encode missing.json", b"", (1, "plav: cannot read missing.json: No such file")),
        ("decode .", b"", (1, "plav: cannot read .: Is a directory")),
        ("encode -o no/dir.plav", b"[1]", (1, "plav: cannot write no/dir.plav: No such file")),
        *[(a, b"", (2, "usage:")) for a in ["", "bogus", "encode --indent -1"]],
        *[(a, b"", (2, "usage:")) for a in ["decode a b", "decode --lines --indent 2", "hint Tab"]],
        ("--version", b"", f"plav {plav.__version__}\n"),
        ("hint lean", b"", plav.format_hint("lean") + "\n"),
        # a named rank-file folder without the files is a usage error naming the file
        ("stats --tokenizers .", b"[1]", (2, "o200k_base.tiktoken")),
        ("encode --stats --tokenizers .", b"[1]", (2, "o200k_base.tiktoken")),
    ],
)
def test_cli(args, stdin, expected, tmp_path):
    result = run(*words(args), stdin=stdin, cwd=tmp_path)
    status, err = expected if isinstance(expected, tuple) else (0, "")
    assert (result.returncode, result.stdout.decode()) == (status, "" if status else expected)
    assert err in result.stderr.decode() and bool(result.stderr) == (status != 0)
    assert status != 1 or result.stderr.count(b"\n") == 1


@pytest.mark.parametrize(
    "command, stdin, line, col",
    [
        ("encode", b'{"a": }', 1, 7),
        ("stats", b"[1,\n\n 01]", 3, 2),  # a message without a position still has a place
        ("decode", b"[1,\r\n 2,\n \xc3\xa9]", 3, 2),
        ("decode", b'[2]{id,name}:\n  1, "Ann"', 1, 4),  # the layout dumps writes, not reads
    ],
)
def test_parse_errors_name_file_line_and_column(command, stdin, line, col, tmp_path):
    message = error_of(stdin)
    (tmp_path / "in.json").write_bytes(stdin)
    results = {
        "<stdin>": run(command, stdin=stdin),
        "in.json": run(command, "in.json", cwd=tmp_path),
    }
    for where, result in results.items():
        assert (result.returncode, result.stdout) == (1, b"")
        assert result.stderr.decode() == f"plav: {where}:{line}:{col}: {message}\n"


def test_cli_files_and_a_closed_pipe(tmp_path):
    first = run("encode", "-o", tmp_path / "out.plav", stdin=b'[: id; 1; "Bo b" ]')
    assert (first.returncode, first.stdout) == (0, b"")
    assert (tmp_path / "out.plav").read_text(encoding="utf-8") == '[2: id; 1; "Bo b" ]\n'
    to_file = run("decode", tmp_path / "out.plav", "-o", tmp_path / "out.json")
    assert (to_file.returncode, to_file.stdout) == (0, b"")
    assert json.loads((tmp_path / "out.json").read_bytes()) == [{"id": 1}, {"id": "Bo b"}]
    # plav decode big.json | head: the reader leaves early; no traceback, status 1.
    args = [sys.executable, "-m", "plav", "decode", "--indent", "1", DATA / "json" / "canada.json"]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    _, err = proc.communicate(timeout=120)
    assert (proc.returncode, err) == (1, b"")


# ---- stats ----


def stats_rows(output):  # {layout label: [counts]} of the `plav stats` table
    rows = {}
    for line in output.splitlines():
        *cells, change, label = ["", "", *re.split(r"\s{2,}", line.strip())]
        if re.fullmatch(r"[+-]\d+\.\d%", change):
            rows[label] = [int(c.replace(",", "")) for c in cells[2:]]
    return rows


ROWS = json.dumps(
    [{"id": i, "name": f"n{i}", "tag": None} for i in range(30)], separators=(",", ":")
)


def test_stats_without_any_tokenizer_counts_bytes(tmp_path):
    # a tiktoken whose get_encoding fails: the path taken offline when no folder is named
    (tmp_path / "tiktoken").mkdir()
    fail = "def {}(*args):\n    raise OSError\n"
    (tmp_path / "tiktoken" / "__init__.py").write_text(fail.format("get_encoding"))
    (tmp_path / "tiktoken" / "load.py").write_text(fail.format("load_tiktoken_bpe"))
    env = {"PYTHONPATH": f"{tmp_path}{os.pathsep}{os.environ.get('PYTHONPATH', '')}"}
    out = run("stats", stdin=ROWS.encode(), env=env).stdout.decode()
    assert "tiktoken.get_encoding failed" in out.splitlines()[0] and "BYTES" in out.splitlines()[0]
    rows = stats_rows(out)
    assert len(rows) == 10 and rows["JSON compact"] == [len(ROWS)]
    assert re.search(r"^fewest bytes: PLAV", out, re.MULTILINE)
    stats = run("encode", "--stats", stdin=ROWS.encode(), env=env)
    want = f"JSON compact {len(ROWS):,} bytes; PLAV {len(stats.stdout) - 1:,} bytes\n"
    assert stats.stderr.decode() == want
