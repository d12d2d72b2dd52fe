"""The plav command line, driven as a user drives it: a subprocess with files and pipes."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import DATA, same_or_null_filled
from hypothesis import given
from hypothesis import strategies as st

import plav
from plav.cli import _READ_DEPTH_LIMIT, OPTION_SETS, reads_back

CORPUS = sorted((DATA / "tokens").glob("*.json")) + sorted((DATA / "json").glob("*.json"))
TOKEN_CORPUS = sorted((DATA / "tokens").glob("*.json"))
TOKENIZERS = DATA / "tokenizers"

ANN_BO = [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo b"}]


def run(*args, stdin=b"", env=None, cwd=None):
    full_env = {k: v for k, v in os.environ.items() if k != "PLAV_TOKENIZERS"} | (env or {})
    return subprocess.run(
        [sys.executable, "-m", "plav", *map(str, args)],
        input=stdin,
        capture_output=True,
        env=full_env,
        cwd=cwd,
        timeout=300,
    )


# --- round trips --------------------------------------------------------------------------

LEAN_AND_DEFAULT = [[], ["--lean"]]
OTHER_LAYOUTS = [
    ["--bare-strings", "--implicit-null", "--delimiter", "tab"],
    ["--unquoted-keys", "--delimiter", "pipe", "--no-row-count"],
]


@pytest.mark.parametrize(
    "path, flags",
    [(p, f) for p in CORPUS for f in LEAN_AND_DEFAULT]
    + [(p, f) for p in TOKEN_CORPUS for f in OTHER_LAYOUTS],
    ids=lambda v: v.name if isinstance(v, Path) else " ".join(v) or "defaults",
)
def test_encode_then_decode_gives_the_input_back(path, flags, tmp_path):
    encoded = tmp_path / "doc.plav"
    enc = run("encode", path, "-o", encoded, *flags)
    assert (enc.returncode, enc.stdout) == (0, b""), enc.stderr
    dec = run("decode", stdin=encoded.read_bytes())  # file in, then stdin to stdout
    assert dec.returncode == 0, dec.stderr
    assert same_or_null_filled(json.loads(dec.stdout), json.loads(path.read_bytes()))


TRICKY_WORDS = [
    "true",
    "null",
    "NaN",
    "nan",
    "Infinity",
    "INF",
    "nice",
    "Nairobi",
    "",
    " ",
    "a b",
    "x-1",
    "1x",
    "é",
    "a\\b",
    "tab\there",
    "semi;colon",
    "-5",
]
CELLS = (
    st.none()
    | st.booleans()
    | st.integers(-(2**70), 2**70)
    | st.floats()
    | st.sampled_from(TRICKY_WORDS)
    | st.text(max_size=8)
)


@st.composite
def tables(draw):
    """Lists of dicts over one key set, some rows missing keys: what grids are made of."""
    keys = draw(
        st.lists(
            st.sampled_from(["id", "name", "$ref", "full name", "x-1", "é", "k"]),
            min_size=1,
            max_size=4,
            unique=True,
        )
    )
    rows = draw(st.lists(st.fixed_dictionaries({k: CELLS for k in keys}), min_size=2, max_size=12))
    for row in rows[draw(st.integers(1, 11)) :]:
        if draw(st.booleans()):
            row.pop(keys[-1])
    return draw(st.sampled_from([rows, {"table": rows, "n": len(rows)}, [rows, rows]]))


@given(tables())
def test_every_compared_option_set_reads_back(doc):
    # What `plav stats` and `--lean` offer must give the data back.
    for option_set in OPTION_SETS:
        text = plav.dumps(doc, **option_set.options)
        assert reads_back(doc, plav.loads(text)), (option_set.flags, text)


@pytest.mark.parametrize(
    "flags, options",
    [
        ([], {}),
        (["--no-row-count"], {"row_count": False}),
        (["--bare-strings"], {"bare_strings": True}),
        (["--delimiter", "pipe"], {"delimiter": "pipe"}),
        (["--delimiter", "tab"], {"delimiter": "tab"}),
        (["--indent", "0"], {"indent": 0}),
        (
            ["--multiline", "--indent", "4", "--no-row-count"],
            {"multiline_mox": True, "indent": 4, "row_count": False},
        ),
        (["--no-mox-grid"], {"mox_grid": False}),
        (["--no-mox-grid", "--unquoted-keys"], {"mox_grid": False, "unquoted_keys": True}),
        (["--implicit-null"], {"implicit_null": True}),
        (["--sort-keys"], {"sort_keys": True}),
        (["--sort-keys", "--indent", "2"], {"sort_keys": True, "indent": 2}),
        (["--lean"], plav.LEAN),
        (["--lean", "--delimiter", "pipe"], {**plav.LEAN, "delimiter": "|"}),
        (["--lean", "--delimiter", "comma"], {**plav.LEAN, "delimiter": ","}),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_encode_flags_select_the_dumps_options(flags, options):
    doc = {"people": ANN_BO, "empty": [{"a": None, "b": 1}, {"a": None, "b": 2}]}
    result = run("encode", *flags, stdin=json.dumps(doc).encode())
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == plav.dumps(doc, **options) + "\n"


def test_encode_reads_plav_and_writes_to_a_file(tmp_path):
    out = tmp_path / "out.plav"
    first = run("encode", "-o", out, stdin=b'[: id, name; 1, "Ann"; 2, "Bo b" ]')
    assert (first.returncode, first.stdout) == (0, b"")
    assert out.read_text(encoding="utf-8") == '[2: id, name; 1, "Ann"; 2, "Bo b" ]\n'


def test_encode_stats_go_to_stderr(tmp_path):
    doc = json.dumps(ANN_BO, separators=(",", ":")).encode()
    result = run("encode", "--stats", stdin=doc, env=fake_tiktoken(tmp_path, "fail"))
    assert result.returncode == 0
    plav_bytes = len(result.stdout) - 1
    assert result.stderr.decode() == f"JSON compact {len(doc)} bytes; PLAV {plav_bytes} bytes\n"
    with_tokens = run("encode", "--stats", "--tokenizers", TOKENIZERS, stdin=doc)
    assert re.search(
        rb"PLAV \d+ bytes \(\d+ o200k_base, \d+ cl100k_base tokens\)", with_tokens.stderr
    )


@pytest.mark.parametrize(
    "flags, stdin, expected",
    [
        ([], b"[NaN, Infinity, -Infinity, 1.5]", "[NaN, Infinity, -Infinity, 1.5]"),
        ([], b'{"k": "\xc3\xa9\xe2\x82\xac"}', '{"k": "é€"}'),
        (
            [],
            b'[2: id, name; 1, "Ann"; 2, "Bo b" ]',
            '[{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo b"}]',
        ),
        ([], b'{a: 1, // note\n "b": [1, 2,], /* c */}', '{"a": 1, "b": [1, 2]}'),
        (["--indent", "2"], b"[: a; 1 ]", '[\n  {\n    "a": 1\n  }\n]'),
        (["--indent", "0"], b"[1]", "[\n1\n]"),
        (
            ["--indent", "1"],
            b"[" * 1000 + b"]" * 1000,
            "\n".join(
                [" " * i + "[" for i in range(999)]
                + [" " * 999 + "[]"]
                + [" " * i + "]" for i in reversed(range(999))]
            ),
        ),
    ],
    ids=["nan", "utf8", "grid", "lenient", "indent", "indent0", "deep"],
)
def test_decode_writes_stdlib_json(flags, stdin, expected, tmp_path):
    result = run("decode", *flags, stdin=stdin)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode("utf-8") == expected + "\n"
    source = tmp_path / "in.plav"
    source.write_bytes(stdin)
    to_file = run("decode", *flags, source, "-o", tmp_path / "out.json")
    assert to_file.returncode == 0 and to_file.stdout == b""
    assert (tmp_path / "out.json").read_bytes() == result.stdout


# --- failures -----------------------------------------------------------------------------


@pytest.mark.parametrize("options", [[], ["--compact"], ["--indent", "2", "--sort-keys"]])
def test_decode_writes_the_deepest_document_loads_reads(options):
    # The JSON encoder recurses; the CLI's recursion limit must cover loads' depth limit.
    depth = _READ_DEPTH_LIMIT
    doc = b'{"a":' * (depth - 1) + b"[1]" + b"}" * (depth - 1)
    with pytest.raises(plav.DecodeError, match="nesting depth"):
        plav.loads(b"[" + doc + b"]")
    result = run("decode", *options, stdin=doc)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.count(b'"a"') == depth - 1 and b"[" in result.stdout


@pytest.mark.parametrize(
    "command, stdin, line, col",
    [
        ("encode", b'{"a": }', 1, 7),
        ("decode", b"", 1, 1),
        ("decode", b"[1] x", 1, 5),
        ("stats", b"[: a, b ]", 1, 9),
        ("decode", b"[1,\r\n 2,\n \xc3\xa9]", 3, 2),
        ("decode", b'[2]{id,name}:\n  1, "Ann"\n  2, "Bo b"', 1, 4),  # the write-only layout
        ("decode", b"[" * 5000 + b"]" * 5000, 1, 1025),
        ("decode", b"[1,\n\n 01]", 3, 2),  # a message without a position still has a place
    ],
)
def test_parse_error_is_one_line_with_file_line_and_column(command, stdin, line, col, tmp_path):
    with pytest.raises(plav.DecodeError) as raised:
        plav.loads(stdin)
    result = run(command, stdin=stdin)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"plav: <stdin>:{line}:{col}: {raised.value}\n"
    (tmp_path / "in.json").write_bytes(stdin)
    from_file = run(command, "in.json", cwd=tmp_path)
    assert from_file.stderr.decode() == f"plav: in.json:{line}:{col}: {raised.value}\n"


@pytest.mark.parametrize(
    "args, message",
    [
        (["encode", "missing.json"], "cannot read missing.json: No such file or directory"),
        (["decode", "."], "cannot read .: Is a directory"),
        (["encode", "-o", "no/such/dir.plav"], "cannot write no/such/dir.plav: No such file"),
    ],
)
def test_file_errors_are_one_line(args, message, tmp_path):
    result = run(*args, stdin=b"[1]", cwd=tmp_path)
    assert result.returncode == 1 and result.stderr.count(b"\n") == 1
    assert result.stderr.decode().startswith("plav: " + message)


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["bogus"],
        ["encode", "--indent", "-1"],
        ["encode", "--indent", "two"],
        ["encode", "--delimiter", "semicolon"],
        ["decode", "a.json", "b.json"],
        ["decode", "--indent", "2", "--compact"],
        ["decode", "--lines", "--indent", "2"],
        ["hint", "Tab"],
    ],
)
def test_bad_usage_exits_2(args):
    result = run(*args)
    assert result.returncode == 2 and b"usage:" in result.stderr


@pytest.mark.parametrize(
    "flags, stdin, expected",
    [
        (
            ["--compact"],
            b'{b: [1, 2], "a": {"y": null, "x": "\xc3\xa9"}}',
            '{"b":[1,2],"a":{"y":null,"x":"é"}}',
        ),
        (
            ["--sort-keys"],
            b'{b: [1, 2], "a": {"y": null, "x": 1}}',
            '{"a": {"x": 1, "y": null}, "b": [1, 2]}',
        ),
        (["--compact", "--sort-keys"], b"[: b, a; 1, 2 ]", '[{"a":2,"b":1}]'),
        (["--sort-keys", "--indent", "1"], b"{b: 1, a: 2}", '{\n "a": 2,\n "b": 1\n}'),
        # JSON Lines: CRLF line ends, blank lines passed over, grids within a line.
        (
            ["--lines"],
            b'{"b": 1}\r\n\n  \n[: x; 1; 2 ]\n"last"',
            '{"b": 1}\n[{"x": 1}, {"x": 2}]\n"last"',
        ),
        (
            ["--lines", "--compact", "--sort-keys"],
            b'{"b": 1, "a": [1, 2]}\n[3]\n',
            '{"a":[1,2],"b":1}\n[3]',
        ),
    ],
    ids=["compact", "sort-keys", "both", "indent", "lines", "lines-compact"],
)
def test_decode_layout_flags(flags, stdin, expected):
    result = run("decode", *flags, stdin=stdin)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == expected + "\n"


@pytest.mark.parametrize("stdin", [b"", b"\n\n", b"  \r\n"])
def test_decode_lines_of_nothing_writes_nothing(stdin):
    result = run("decode", "--lines", stdin=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")


def test_decode_lines_places_errors_by_line_of_the_input():
    result = run("decode", "--lines", stdin=b'[1]\n\n{"\xc3\xa9": x}\n[2]\n')
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode().startswith("plav: <stdin>:3:7: Invalid character 'x'")


def test_version():
    result = run("--version")
    assert (result.returncode, result.stdout.decode()) == (0, f"plav {plav.__version__}\n")


# --- stats ----------------------------------------------------------------------------------


def stats_rows(output):
    """{layout label: [counts]} from the table that `plav stats` prints."""
    rows = {}
    for line in output.splitlines():
        *cells, change, label = ["", "", *re.split(r"\s{2,}", line.strip())]
        if re.fullmatch(r"[+-]\d+\.\d%", change):
            rows[label] = [int(c.replace(",", "")) for c in cells[2:]]
    return rows


def test_stats_counts_tokens_with_the_rank_files():
    path = DATA / "tokens" / "github-repos-top100.json"
    result = run("stats", path, "--tokenizers", TOKENIZERS)
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    rows = stats_rows(out)
    assert len(rows) == 10, out
    assert {"PLAV --lean", "PLAV --lean --delimiter comma"} <= rows.keys()
    doc = json.loads(path.read_bytes())
    compact = json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode()
    assert rows["JSON compact"][0] == len(compact)
    # Published o200k_base counts for this dataset: JSON 15,337 and JSON compact 11,640
    # (serialised by another language, so a few tokens may differ).
    assert abs(rows["JSON pretty (indent 2)"][1] - 15337) < 20
    assert abs(rows["JSON compact"][1] - 11640) < 20
    best = re.search(r"fewest o200k_base tokens: (PLAV.*) \(([\d,]+),", out)
    fewest = int(best.group(2).replace(",", ""))
    assert fewest == min(counts[1] for label, counts in rows.items() if label.startswith("PLAV"))
    assert fewest < rows["JSON compact"][1]
    assert "fewest cl100k_base tokens: PLAV" in out


def test_stats_takes_the_rank_folder_from_the_environment():
    result = run(
        "stats", stdin=json.dumps(ANN_BO).encode(), env={"PLAV_TOKENIZERS": str(TOKENIZERS)}
    )
    assert "token counts: tiktoken o200k_base, cl100k_base" in result.stdout.decode()


# A stand-in tiktoken whose get_encoding counts words or fails: the path taken when no
# rank-file folder is named, exercised without the network.
FAKE_TIKTOKEN = """
class _Words:
    def encode_ordinary(self, text):
        return text.split()
def get_encoding(name):
    if MODE == "fail" or (MODE == "one" and name != "o200k_base"):
        raise ConnectionError("offline")
    return _Words()
"""


def fake_tiktoken(tmp_path, mode):
    shadow = tmp_path / "tiktoken"
    shadow.mkdir()
    (shadow / "__init__.py").write_text(f"MODE = {mode!r}\n" + FAKE_TIKTOKEN)
    (shadow / "load.py").write_text("def load_tiktoken_bpe(*a, **k):\n    raise OSError\n")
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    return {"PYTHONPATH": path}


DOC_30 = [{"id": i, "name": f"n{i}", "tag": None} for i in range(30)]


@pytest.mark.parametrize(
    "setup, reason",
    [
        ("get_encoding fails", "tiktoken.get_encoding failed"),
        ("no tiktoken", "tiktoken is not installed"),
    ],
)
def test_stats_without_any_tokenizer_counts_bytes(setup, reason, tmp_path):
    if setup == "no tiktoken":
        shadow = tmp_path / "tiktoken"
        shadow.mkdir()
        (shadow / "__init__.py").write_text("raise ImportError('hidden for the test')\n")
        path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
        env = {"PYTHONPATH": path, "PLAV_TOKENIZERS": str(TOKENIZERS)}
    else:
        env = fake_tiktoken(tmp_path, "fail")
    result = run("stats", stdin=json.dumps(DOC_30).encode(), env=env)
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert reason in out.splitlines()[0] and "BYTES" in out.splitlines()[0]
    rows = stats_rows(out)
    assert all(len(counts) == 1 for counts in rows.values()) and len(rows) == 10
    compact = json.dumps(DOC_30, separators=(",", ":")).encode()
    assert rows["JSON compact"] == [len(compact)]
    assert re.search(r"^fewest bytes: PLAV", out, re.MULTILINE)


@pytest.mark.parametrize("mode, names", [("all", "o200k_base, cl100k_base"), ("one", "o200k_base")])
def test_stats_with_no_folder_named_uses_tiktoken_get_encoding(mode, names, tmp_path):
    result = run("stats", stdin=json.dumps(DOC_30).encode(), env=fake_tiktoken(tmp_path, mode))
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert out.splitlines()[0] == f"token counts: tiktoken {names}"
    compact = json.dumps(DOC_30, separators=(",", ":"))
    assert stats_rows(out)["JSON compact"][1] == len(compact.split())


@pytest.mark.parametrize("how", ["--tokenizers", "PLAV_TOKENIZERS"])
@pytest.mark.parametrize("command", [["stats"], ["encode", "--stats"]])
def test_a_named_folder_without_rank_files_is_a_usage_error(how, command, tmp_path):
    args, env = ([how, tmp_path], {}) if how == "--tokenizers" else ([], {how: str(tmp_path)})
    result = run(*command, *args, stdin=b"[1]", env=env)
    assert result.returncode == 2 and result.stdout == b""
    assert str(tmp_path / "o200k_base.tiktoken") in result.stderr.decode()


def test_a_folder_with_one_rank_file_counts_that_encoding(tmp_path):
    (tmp_path / "cl100k_base.tiktoken").symlink_to(TOKENIZERS / "cl100k_base.tiktoken")
    result = run("stats", "--tokenizers", tmp_path, stdin=json.dumps(ANN_BO).encode())
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines()[0] == "token counts: tiktoken cl100k_base"
    (tmp_path / "o200k_base.tiktoken").write_bytes(b"damaged")
    damaged = run("stats", "--tokenizers", tmp_path, stdin=b"[1]")
    assert damaged.returncode == 2 and b"o200k_base.tiktoken" in damaged.stderr


# --- hint and entry points -------------------------------------------------------------------


@pytest.mark.parametrize("style", [None, "mox_grid_rowcount", "multiline", "tab", "lean"])
def test_hint_prints_the_format_hint(style):
    result = run("hint", *([style] if style else []))
    assert result.returncode == 0
    assert result.stdout.decode() == plav.format_hint(style or "mox_grid") + "\n"
    if style == "tab":  # the console script too
        script = Path(sys.executable).with_name("plav")
        result = subprocess.run([script, "hint", "tab"], capture_output=True, timeout=60)
        assert (result.returncode, result.stdout) == (0, run("hint", "tab").stdout)


def test_closed_output_pipe_ends_quietly():
    # plav decode big.json | head: the reader leaves early; no traceback, status 1.
    proc = subprocess.Popen(
        [sys.executable, "-m", "plav", "decode", "--indent", "1", DATA / "json" / "canada.json"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    proc.stdout.close()
    _, err = proc.communicate(timeout=120)
    assert (proc.returncode, err) == (1, b"")
