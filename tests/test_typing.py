"""The package's type stubs: mypy --strict accepts real use, and they match the module."""

import ast
import inspect
import subprocess
import sys
import typing
from pathlib import Path

import pytest

import plav
import plav_core

STUB = Path(plav.__file__).with_name("__init__.pyi")
TYPED_USAGE = Path(__file__).with_name("typed_usage.py")


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_functions() -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in stub_tree().body if isinstance(n, ast.FunctionDef)}


def stub_literal(alias: str) -> tuple[str, ...]:
    """The strings of `alias: TypeAlias = Literal[...]` in the stub."""
    for node in stub_tree().body:
        if isinstance(node, ast.AnnAssign) and ast.unparse(node.target) == alias:
            assert node.value is not None
            return typing.get_args(eval(ast.unparse(node.value), {"Literal": typing.Literal}))
    raise AssertionError(f"{alias} not in the stub")


def test_package_ships_stub_and_marker():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


def test_mypy_strict_accepts_use_and_rejects_misuse(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(TYPED_USAGE)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_code_passes_mypy_strict(tmp_path):
    src = Path(__file__).resolve().parent.parent / "src"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "-p", "plav"],
        capture_output=True,
        text=True,
        cwd=src,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_reexports_are_the_extension_objects():
    for name in ("loads", "dumps", "format_hint", "__version__", "__simd__"):
        assert getattr(plav, name) is getattr(plav_core, name)
    assert set(plav.__all__) == {"loads", "dumps", "format_hint", "__version__", "__simd__"}


def test_stub_exports_match_the_package():
    tree = stub_tree()
    (all_node,) = [
        n for n in tree.body
        if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == "__all__"
    ]
    assert ast.literal_eval(all_node.value) == plav.__all__
    attributes = {
        ast.unparse(n.target): ast.unparse(n.annotation)
        for n in tree.body
        if isinstance(n, ast.AnnAssign) and not ast.unparse(n.target).startswith("_D")
    }
    assert attributes["__version__"] == "str" and isinstance(plav.__version__, str)
    assert attributes["__simd__"] == "str" and isinstance(plav.__simd__, str)
    assert set(stub_functions()) == {"loads", "dumps", "format_hint"}


@pytest.mark.parametrize("name", ["loads", "dumps", "format_hint"])
def test_stub_signature_agrees_with_the_module(name):
    node = stub_functions()[name]
    args = node.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    stub = [
        (a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for a, d in zip(args.args, defaults)
    ] + [
        (a.arg, inspect.Parameter.KEYWORD_ONLY, d)
        for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]
    assert args.vararg is None and args.kwarg is None and not args.posonlyargs
    runtime = inspect.signature(getattr(plav, name)).parameters.values()
    assert [(p.name, p.kind) for p in runtime] == [(n, k) for n, k, _ in stub]
    for param, (_, _, default) in zip(runtime, stub):
        if default is None:
            assert param.default is inspect.Parameter.empty, param.name
        else:
            assert param.default == ast.literal_eval(default), param.name


def test_hint_styles_in_stub_are_the_distinct_texts():
    styles = stub_literal("_HintStyle")
    texts = {plav.format_hint(s) for s in styles}
    assert len(texts) == len(styles) == 4
    assert plav.format_hint("any other word") == plav.format_hint()


def test_delimiters_in_stub_are_the_recognised_spellings():
    rows = [{"a": 1, "b": 2}, {"a": 3, "b": 4}]
    written = {d: plav.dumps(rows, delimiter=d) for d in stub_literal("_Delimiter")}
    comma = plav.dumps(rows, delimiter="no such delimiter")
    assert written["comma"] == written[","] == comma
    assert written["tab"] == written["\t"] != comma
    assert written["pipe"] == written["|"] != comma
    assert written["tab"] != written["pipe"]
