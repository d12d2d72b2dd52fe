"""The module's surface: attributes, docstrings, signatures, initialisation."""

import importlib
import inspect
import subprocess
import sys

import pytest

import plav
import plav_core


def test_all_lists_the_public_names_in_order():
    assert plav_core.__all__ == ["__version__", "__simd__", "loads", "dumps", "format_hint"]
    for name in plav_core.__all__:
        assert hasattr(plav_core, name)


def test_version_and_simd_level():
    assert plav_core.__version__ == "1.0.3"
    assert plav_core.__simd__ in ("AVX-512", "AVX2")


def test_module_docstring():
    doc = plav_core.__doc__
    lines = doc.split("\n")
    assert lines[0] == "PLAV (Quorvent) \u2014 SIMD-accelerated parser for Python"
    assert lines[1] == ""
    assert lines[2] == "This module provides high-performance parsing of PLAV/JSON data using"
    assert "AVX2/AVX-512 SIMD intrinsics" in lines[3]
    assert len(lines) == 4 and not doc.endswith("\n")


@pytest.mark.parametrize(
    ("name", "signature", "first_doc_line"),
    [
        ("loads", "(data, schema=None)", "Parse PLAV/JSON data from bytes or string"),
        (
            "dumps",
            "(data, *, mox_grid=True, unquoted_keys=False, indent=None, bare_strings=False, "
            "implicit_null=False, row_count=True, multiline_mox=False, delimiter='comma')",
            "Serialize a Python object to a PLAV or JSON string.",
        ),
        ("format_hint", "(style='mox_grid')", "Return a concise format description for pasting "
         "into LLM system prompts."),
    ],
)
def test_functions_carry_text_signature_and_docstring(name, signature, first_doc_line):
    func = getattr(plav_core, name)
    assert str(inspect.signature(func)) == signature
    assert func.__doc__.split("\n")[0] == first_doc_line
    assert func.__module__ == "plav_core"
    assert func.__self__ is plav_core
    assert func.__name__ == name


def test_dumps_docstring_is_complete():
    # The full docstring is the signature block plus the documented text.
    doc = plav_core.dumps.__doc__
    assert doc.endswith("'[: name, dept; Alice, Eng; Bob, Mkt ]'")
    assert "str \u2014 the serialized PLAV/JSON string" in doc
    sig_line = (
        'dumps(data, *, mox_grid=True, unquoted_keys=False, indent=None, bare_strings=False, '
        'implicit_null=False, row_count=True, multiline_mox=False, delimiter="comma")'
    )
    assert len((sig_line + "\n--\n\n" + doc).encode()) == 1575


def test_loads_docstring_lines():
    lines = plav_core.loads.__doc__.split("\n")
    assert len(lines) == 17  # twenty lines less the three of the signature block
    assert lines[-1] == "    [1, 2, 3]"
    assert lines[-4] == "    >>> plav.loads('{\"key\": \"value\"}')"


def test_package_reexports_the_module_objects():
    for name in plav_core.__all__:
        assert getattr(plav, name) is getattr(plav_core, name)


def test_reimport_yields_the_identical_module():
    first = sys.modules.pop("plav_core")
    try:
        again = importlib.import_module("plav_core")
        assert again is first
    finally:
        sys.modules["plav_core"] = first


def test_second_interpreter_is_refused():
    # A legacy (non-isolated) subinterpreter runs the init function, which refuses it.
    code = r"""
import _testcapi, plav_core
script = '''
try:
    import plav_core
    result = "imported"
except ImportError as e:
    result = "refused: " + str(e)
with open(PATH, "w") as f:
    f.write(result)
'''
import os, tempfile
path = os.path.join(tempfile.mkdtemp(), "out")
rc = _testcapi.run_in_subinterp("PATH = %r\n" % path + script)
print(open(path).read())
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("refused: ")
    assert "subinterpreters" in out.stdout
