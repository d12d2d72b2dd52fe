"""The module's surface: names, docstrings, signatures, initialisation, format_hint,
and the package's type stubs (mypy --strict on real use; stubs match the module)."""

import ast
import importlib
import inspect
import subprocess
import sys
import typing
from pathlib import Path

import _plav_testing as T
import pytest
from conftest import ROOT

import plav
import plav_core
from plav_core import format_hint

STUB = Path(plav.__file__).with_name("__init__.pyi")
STUB_TREE = ast.parse(STUB.read_text(encoding="utf-8"))
STUB_FUNCTIONS = {n.name: n for n in STUB_TREE.body if isinstance(n, ast.FunctionDef)}


def test_names_and_reexports():
    assert plav_core.__all__ == [
        "__version__",
        "__simd__",
        "DecodeError",
        "loads",
        "dumps",
        "format_hint",
        "raw_decode",
    ]
    assert sorted(plav.__all__) == sorted(plav_core.__all__ + ["load", "dump", "LEAN", "extract"])
    for name in plav_core.__all__:
        assert getattr(plav, name) is getattr(plav_core, name)
    assert plav_core.__version__ == "1.0.3"
    _, avx512f, avx512bw = T.cpu_features()
    assert plav_core.__simd__ == ("AVX-512" if avx512f and avx512bw else "AVX2")
    (all_node,) = [
        n
        for n in STUB_TREE.body
        if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == "__all__"
    ]
    assert ast.literal_eval(all_node.value) == plav.__all__
    assert set(STUB_FUNCTIONS) == {
        "loads",
        "dumps",
        "format_hint",
        "load",
        "dump",
        "raw_decode",
        "extract",
    }
    assert STUB.with_name("py.typed").is_file()


def stub_parameters(node, skip):
    """(name, kind, default) of a stub function's parameters after the first `skip`."""
    args = node.args
    plain = [(a.arg, "positional") for a in args.args]
    plain = list(zip(plain, [None] * (len(args.args) - len(args.defaults)) + args.defaults))
    kw = list(zip([(a.arg, "keyword") for a in args.kwonlyargs], args.kw_defaults))
    return [(*p, ast.unparse(d) if d else None) for p, d in (plain + kw)[skip:]]


@pytest.mark.parametrize("file_function, function", [("load", "loads"), ("dump", "dumps")])
def test_file_functions_take_the_options_of_their_string_functions(file_function, function):
    # load(fp, ...) and dump(obj, fp, ...) pass every option on: their stubs must list
    # each option the string function has, as it has it.
    load_like = stub_parameters(STUB_FUNCTIONS[file_function], 1 if function == "loads" else 2)
    assert load_like == stub_parameters(STUB_FUNCTIONS[function], 1)


def test_plav_core_stubs_ship_beside_the_extension_and_as_a_stub_package():
    beside = Path(plav_core.__file__).with_name("plav_core.pyi")
    package = Path(plav_core.__file__).with_name("plav_core-stubs") / "__init__.pyi"
    assert beside.read_bytes() == package.read_bytes()
    tree = ast.parse(beside.read_text(encoding="utf-8"))
    (all_node,) = [n for n in tree.body if isinstance(n, ast.Assign)]
    assert ast.literal_eval(all_node.value) == plav_core.__all__
    names = {a.asname for n in tree.body if isinstance(n, ast.ImportFrom) for a in n.names}
    assert names == set(plav_core.__all__)


def test_cmake_refuses_other_platforms(tmp_path):
    cmake = Path(sys.executable).with_name("cmake")
    result = subprocess.run(
        [
            cmake,
            "-S",
            ROOT,
            "-B",
            tmp_path,
            "-DCMAKE_SYSTEM_NAME=Linux",
            "-DCMAKE_SYSTEM_PROCESSOR=aarch64",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode != 0
    assert "plav_core builds only for Linux on x86-64" in " ".join(result.stderr.split())


def test_docstrings():
    lines = plav_core.__doc__.split("\n")
    assert lines[:3] == [
        "PLAV (Quorvent) \u2014 SIMD-accelerated parser for Python",
        "",
        "This module provides high-performance parsing of PLAV/JSON data using",
    ]
    assert "AVX2/AVX-512 SIMD intrinsics" in lines[3] and len(lines) == 4
    doc = plav_core.dumps.__doc__
    assert doc.endswith("'[: name, dept; Alice, Eng; Bob, Mkt ]'")
    assert "str \u2014 the serialized PLAV/JSON string" in doc
    sig_line = (
        "dumps(data, *, mox_grid=True, unquoted_keys=False, indent=None, bare_strings=False, "
        'implicit_null=False, row_count=True, multiline_mox=False, delimiter="comma", '
        'cells="safe", bare_text=False, sort_keys=False, default=None)'
    )
    assert plav_core.dumps.__text_signature__ == sig_line[len("dumps") :]
    assert "\n    cells: " in doc and "\n    bare_text: " in doc
    assert "\n    sort_keys: " in doc and "\n    default: " in doc
    lines = plav_core.loads.__doc__.split("\n")
    assert lines[-1] == "    [1, 2, 3]"
    assert lines[-4] == '    >>> plav.loads(\'{"key": "value"}\')'


@pytest.mark.parametrize(
    ("name", "signature", "first_doc_line"),
    [
        (
            "loads",
            "(data, schema=None, *, partial=False, strict=False)",
            "Parse PLAV/JSON data from bytes or string",
        ),
        (
            "dumps",
            (
                "(data, *, mox_grid=True, unquoted_keys=False, indent=None, bare_strings=False, "
                "implicit_null=False, row_count=True, multiline_mox=False, delimiter='comma', "
                "cells='safe', bare_text=False, sort_keys=False, default=None)"
            ),
            "Serialize a Python object to a PLAV or JSON string.",
        ),
        (
            "format_hint",
            "(style='mox_grid')",
            "Return a concise format description for pasting into LLM system prompts.",
        ),
    ],
)
def test_signatures_docstrings_and_stubs(name, signature, first_doc_line):
    func = getattr(plav_core, name)
    assert str(inspect.signature(func)) == signature
    assert func.__doc__.split("\n")[0] == first_doc_line
    assert (func.__module__, func.__self__, func.__name__) == ("plav_core", plav_core, name)
    args = STUB_FUNCTIONS[name].args
    assert args.vararg is None and args.kwarg is None and not args.posonlyargs
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    stub = [
        (a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for a, d in zip(args.args, defaults)
    ]
    stub += [
        (a.arg, inspect.Parameter.KEYWORD_ONLY, d)
        for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]
    runtime = list(inspect.signature(func).parameters.values())
    assert [(p.name, p.kind) for p in runtime] == [(n, k) for n, k, _ in stub]
    for param, (_, _, default) in zip(runtime, stub):
        want = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        assert param.default == want, param.name


def test_reimport_yields_the_identical_module():
    first = sys.modules.pop("plav_core")
    try:
        assert importlib.import_module("plav_core") is first
    finally:
        sys.modules["plav_core"] = first


def test_second_interpreter_is_refused():
    # A legacy (non-isolated) subinterpreter runs the init function, which refuses it.
    code = r"""
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
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("refused: ") and "subinterpreters" in out.stdout


# ---- type stubs ----


def test_mypy_strict_accepts_use_rejects_misuse_and_passes_the_package(tmp_path):
    # typed_usage.py marks each wrong call `type: ignore[...]`, checked by warn_unused_ignores.
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(tmp_path),
            str(Path(__file__).with_name("typed_usage.py")),
            "plav",
        ],
        capture_output=True,
        text=True,
        cwd=ROOT / "src",
    )
    assert result.returncode == 0, result.stdout + result.stderr


def stub_literal(alias):
    """The strings of `alias: TypeAlias = Literal[...]` in the stub."""
    (node,) = [
        n for n in STUB_TREE.body if isinstance(n, ast.AnnAssign) and ast.unparse(n.target) == alias
    ]
    return typing.get_args(eval(ast.unparse(node.value), {"Literal": typing.Literal}))


def test_stub_literals_are_the_recognised_spellings():
    styles = stub_literal("_HintStyle")
    assert len({format_hint(s) for s in styles}) == len(styles)  # one text a style
    rows = [{"a": 1, "b": 2}, {"a": 3, "b": 4}]
    written = {d: plav.dumps(rows, delimiter=d) for d in stub_literal("_Delimiter")}
    comma = plav.dumps(rows, delimiter="no such delimiter")
    assert written["comma"] == written[","] == comma
    assert written["tab"] == written["\t"] != comma
    assert written["pipe"] == written["|"] not in (comma, written["tab"])


# ---- format_hint ----


@pytest.mark.parametrize(
    ("style", "first_line"),
    [
        ("mox_grid", "Data is in PLAV Mox Grid format."),
        ("tab", "Data is in PLAV Mox Grid tab-delimited format."),
        ("mox_grid_rowcount", "Data is in PLAV Mox Grid format with explicit row count."),
        ("multiline", "Data is in PLAV Multiline Mox Grid format (TOON-compatible)."),
    ],
)
def test_format_hint_texts(style, first_line):
    text = format_hint(style)
    assert not text.endswith("\n")
    assert text.split("\n")[0] == first_line
    assert format_hint(type("S", (str,), {})(style)) == text  # a str subclass by content


def test_format_hint_text_details():
    assert "\t" not in format_hint("tab")
    assert format_hint("tab").split("\n")[1] == (
        "Format: [: col1\\tcol2\\tcol3; row1val1\\trow1val2\\trow1val3; ... ]"
    )
    lines = format_hint(style="multiline").split("\n")
    assert lines[4:8] == [
        "  [3]{id,name,score}:",
        "    1,Alice,95",
        "    2,Bob,87",
        "    3,Carol,92",
    ]
    assert format_hint().split("\n")[6] == (
        "Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]"
    )
    # unknown styles, wrong case and names with no UTF-8 form give the grid text
    for style in ["mox_grid", "unknown", "", "Tab", "MULTILINE", "tab ", "\ud800"]:
        assert format_hint(style) == format_hint()


def test_lean_hint_example_reads_as_it_says_and_costs_few_tokens():
    from conftest import DATA

    from plav import _tokens

    lines = format_hint("lean").split("\n")
    example = next(x for x in lines if x.startswith("Example: "))[len("Example: ") :]
    assert plav.loads(example) == [
        {"id": 1, "name": "Ana Mensah", "tags": ["a", "b"]},
        {"id": 2, "name": "Bo, Jr", "tags": None},
    ]
    assert plav.dumps(plav.loads(example), **{**plav.LEAN, "delimiter": "comma"}) == (
        '[2: id, name, tags; 1, Ana Mensah, ["a","b"]; 2, "Bo, Jr",  ]'
    )
    count = _tokens.load_counters(DATA / "tokenizers").counters["o200k_base"]
    assert count(format_hint("lean")) <= count(format_hint("mox_grid")) + 40


@pytest.mark.parametrize(
    ("args", "kwargs", "fragment"),
    [
        ((None,), {}, "argument 'style' must be str, not None"),
        ((), {"style": b"tab"}, "argument 'style' must be str, not bytes"),
        (("tab", "x"), {}, "at most 1 argument"),
        ((), {"styl": "tab"}, "styl"),
        (("tab",), {"style": "tab"}, "argument"),
    ],
)
def test_format_hint_argument_errors(args, kwargs, fragment):
    with pytest.raises(TypeError, match=fragment):
        format_hint(*args, **kwargs)


# A keyword name built at run time is not the interned constant of compiled calls.
def runtime(name):
    return "".join(list(name))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: plav_core.dumps(), "dumps() missing required argument 'data' (pos 1)"),
        (
            lambda: plav_core.dumps(mox_grid=False),
            "dumps() missing required argument 'data' (pos 1)",
        ),
        (lambda: plav_core.dumps(1, 2), "dumps() takes at most 1 positional argument (2 given)"),
        (
            lambda: plav_core.dumps(1, x=1),
            (
                "'x' is an invalid keyword argument for dumps()",
                "dumps() got an unexpected keyword argument 'x'",
            ),
        ),
        (
            lambda: plav_core.dumps(1, data=1),
            "argument for dumps() given by name ('data') and position (1)",
        ),
        (lambda: plav_core.loads(), "loads() missing required argument 'data' (pos 1)"),
        (lambda: plav_core.loads(schema=None), "loads() missing required argument 'data' (pos 1)"),
        (lambda: plav_core.loads(b"1", None, 3), "loads() takes at most 2 arguments (3 given)"),
        (
            lambda: plav_core.loads(b"1", x=1),
            (
                "'x' is an invalid keyword argument for loads()",
                "loads() got an unexpected keyword argument 'x'",
            ),
        ),
        (
            lambda: plav_core.loads(b"1", **{runtime("data"): 1}),
            "argument for loads() given by name ('data') and position (1)",
        ),
    ],
)
def test_argument_errors_in_cpythons_wording(call, message):
    # Python 3.13 reworded the unknown-keyword error; either is CPython's own.
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) in (message if isinstance(message, tuple) else (message,))


@pytest.mark.parametrize("name", [lambda n: n, runtime])
def test_arguments_bind_by_position_and_by_any_keyword_spelling(name):
    rows = [{"a": 1}, {"a": 2}]
    options = {name("delimiter"): "tab", name("row_count"): False, name("indent"): None}
    assert plav_core.dumps(**{name("data"): rows}, **options) == "[: a; 1; 2 ]"
    assert plav_core.dumps(rows, **{name("mox_grid"): False}) == '[{"a":1},{"a":2}]'
    assert plav_core.loads(**{name("data"): b'{"a": 1}', name("schema"): ["a"]}) == {"a": 1}
    assert plav_core.loads(b"[1]", **{name("schema"): None}) == [1]
