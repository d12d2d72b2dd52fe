"""Hostile inputs: nesting bombs, huge counts and widths, malformed text in every
string position, containers mutated while they are written, and thread churn.
Each must end in a clean exception (or a correct result), never a crash."""

import dataclasses
import gc
import os
import re
import subprocess
import sys
import threading

import pytest

from conftest import DATA, ROOT, not_under_asan

import plav_core
from plav_core import dumps, loads

DEPTH_MESSAGE = re.compile(
    r"Maximum nesting depth exceeded \(approximate position: ±32 bytes from \d+\)"
)
DUMPS_DEPTH = "Object too deeply nested (max 256 levels)"
MILLION = 10**6


def internal_failure(exc):
    return type(exc).__name__ == "InternalFailure" and not isinstance(exc, Exception)


# --- nesting ----------------------------------------------------------------

NEST_OPENERS = {
    "array": (b"[", b"]"),
    "object": (b'{"k":', b"}"),
    "grid cell": (b"[: a; ", b" ]"),
    "mixed": (b'[{"k": [: a; ', b" ]}]"),
}


@pytest.mark.parametrize("kind", NEST_OPENERS)
def test_a_million_openers_fail_cleanly(kind):
    opener, _ = NEST_OPENERS[kind]
    with pytest.raises(ValueError) as info:
        loads(opener * MILLION)
    assert DEPTH_MESSAGE.fullmatch(str(info.value))


@pytest.mark.parametrize("kind", ["array", "object"])
def test_depth_limit_is_1024_containers(kind):
    opener, closer = NEST_OPENERS[kind]
    inner = b"1"
    ok = opener * 1024 + inner + closer * 1024
    value = loads(ok)
    for _ in range(1024):
        value = value[0] if kind == "array" else value["k"]
    assert value == 1
    with pytest.raises(ValueError) as info:
        loads(opener * 1025 + inner + closer * 1025)
    assert DEPTH_MESSAGE.fullmatch(str(info.value))


def test_schema_objects_obey_the_depth_limit():
    with pytest.raises(ValueError) as info:
        loads(b"[" * MILLION, ["a"])
    assert DEPTH_MESSAGE.fullmatch(str(info.value))
    with pytest.raises(ValueError) as info:
        loads(b'[{"a": ' * 2000, ["a"])
    assert DEPTH_MESSAGE.fullmatch(str(info.value))


def run_in_small_thread(fn):
    """Runs fn on a thread with a 1 MiB stack; returns its exception or result."""
    out = {}

    def body():
        try:
            out["result"] = fn()
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            out["error"] = exc

    old = threading.stack_size(1 << 20)
    try:
        t = threading.Thread(target=body)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    return out


@not_under_asan("instrumented frames need several times the stack")
@pytest.mark.parametrize("kind", NEST_OPENERS)
def test_nesting_bombs_on_a_1_mib_stack(kind):
    opener, closer = NEST_OPENERS[kind]
    out = run_in_small_thread(lambda: loads(opener * MILLION))
    assert isinstance(out.get("error"), ValueError)
    assert DEPTH_MESSAGE.fullmatch(str(out["error"]))
    # the deepest accepted document reads there too
    depth = {"array": 1024, "object": 1024, "grid cell": 512, "mixed": 256}[kind]
    doc = opener * depth + b"1" + closer * depth
    out = run_in_small_thread(lambda: loads(doc))
    assert "result" in out, out


@not_under_asan("instrumented frames need several times the stack")
def test_dumps_at_its_depth_limit_on_a_1_mib_stack():
    deep = []
    for _ in range(256):
        deep = [deep]
    too_deep = [deep]
    out = run_in_small_thread(lambda: (dumps(deep, indent=1), dumps(too_deep)))
    assert isinstance(out.get("error"), ValueError) and str(out["error"]) == DUMPS_DEPTH


def test_dumps_depth_limit_counts_levels():
    value = []
    for _ in range(256):
        value = [value]
    assert dumps(value) == "[" * 257 + "]" * 257
    scalar_too_deep = 1
    for _ in range(257):
        scalar_too_deep = [scalar_too_deep]
    for too_deep in ([value], scalar_too_deep, {"k": value}):
        with pytest.raises(ValueError, match=re.escape(DUMPS_DEPTH)):
            dumps(too_deep)


class SelfConverting:
    def model_dump(self):
        return self


class PingPong:
    def __init__(self, other=None):
        self.other = other

    def model_dump(self):
        return self.other


def test_conversion_cycles_end_at_the_depth_limit():
    with pytest.raises(ValueError, match=re.escape(DUMPS_DEPTH)):
        dumps(SelfConverting())
    a, b = PingPong(), PingPong()
    a.other, b.other = b, a
    with pytest.raises(ValueError, match=re.escape(DUMPS_DEPTH)):
        dumps([a, b])


# --- huge widths and counts --------------------------------------------------


@pytest.mark.parametrize(
    "value, indent",
    [
        ([1], 2**63),
        ([1], 2**64 - 1),
        ({"a": 1}, 2**32),
        ([[1]], 2**63),  # 2 x 2**63 spaces wraps to 0 in 64 bits
        ([[[[1]]]], 2**62),  # 4 x 2**62 wraps too
        ([{"a": 1}, {"a": 2}], 2**63),  # grid rows
        ([{"a": 1}, {"a": 2}], 2**40),
    ],
)
def test_indentation_beyond_memory_fails_with_memory_error(value, indent):
    with pytest.raises(MemoryError):
        dumps(value, indent=indent)
    assert dumps(value) == dumps(value)  # the thread's buffer still works


def test_multiline_grid_width_beyond_memory():
    with pytest.raises(MemoryError):
        dumps([{"a": 1}, {"a": 2}], multiline_mox=True, indent=2**63)


@pytest.mark.parametrize("value", [1, None, "x", [], {}, 1.5])
def test_huge_indent_without_a_line_to_indent(value):
    assert dumps(value, indent=2**63) == dumps(value)
    assert dumps(value, indent=2**64 - 1) == dumps(value)


@pytest.mark.parametrize("indent", [2**64, 2**100, -1])
def test_indent_out_of_range_is_refused_at_binding(indent):
    with pytest.raises(OverflowError):
        dumps(1, indent=indent)


def test_a_grid_of_a_million_and_one_rows_is_refused():
    doc = b"[: a; " + b"1; " * (MILLION + 1) + b"]"
    with pytest.raises(ValueError, match=r"^Mox Grid exceeds 1M rows limit \(approximate"):
        loads(doc)
    nested = b'{"t": [5: a, b; ' + b"1, 2; " * (MILLION + 1) + b"]}"
    with pytest.raises(ValueError, match=r"^Mox Grid exceeds 1M rows limit"):
        loads(nested)


@pytest.mark.parametrize("sign", ["", "-"])
def test_integer_digit_limit(sign):
    ok = sign + "9" * 4300
    assert loads(ok) == int(ok)
    assert loads("[" + ok + "]") == [int(ok)]
    with pytest.raises(ValueError, match="^Failed to create large integer$"):
        loads(sign + "9" * 4301)
    with pytest.raises(ValueError, match="^Failed to create large integer$"):
        loads('{"k": [: a; ' + sign + "1" * 4301 + " ]}")


def test_dumps_of_an_integer_past_the_digit_limit_passes_str_error_on():
    assert dumps(10**4299) == "1" + "0" * 4299
    with pytest.raises(ValueError, match="4300"):
        dumps(10**4300)
    with pytest.raises(ValueError, match="4300"):
        dumps({"k": [-(10**4300)]})


# --- malformed text in every string position ---------------------------------

BAD_UTF8 = {
    "lone continuation": b"\x80",
    "overlong slash": b"\xc0\xaf",
    "overlong three": b"\xe0\x80\xaf",
    "overlong four": b"\xf0\x80\x80\xaf",
    "encoded high surrogate": b"\xed\xa0\x80",
    "encoded low surrogate": b"\xed\xbf\xbf",
    "encoded pair": b"\xed\xa0\xbd\xed\xb8\x80",
    "above U+10FFFF": b"\xf4\x90\x80\x80",
    "truncated": b"\xe2\x82",
    "byte FF": b"\xff",
    "byte F5": b"\xf5\x80\x80\x80",
}

SURROGATE_ESCAPES = {
    "lone high": rb"\ud800",
    "lone low": rb"\udc00",
    "high then letter": rb"\ud800x",
    "high then non-low": rb"\ud800\u0041",
    "two highs": rb"\ud800\ud800",
    "reversed pair": rb"\udc00\ud800",
    "high at end": rb"\udbff",
}

# Each template puts X in one string position; every one reads when X is "ok".
# (Unquoted keys are ASCII runs by construction: bytes after one, up to the
# colon, are skipped unread.)
POSITIONS = {
    "value": b'["X"]',
    "value with escape": b'["\\nX"]',
    "key": b'{"X": 1}',
    "key with escape": b'{"\\tX": 1}',
    "grid header key": b"[: aX, b; 1, 2 ]",
    "quoted grid header key": b'[: "X", b; 1, 2 ]',
    "bare grid cell": b"[: a, b; zX, 2 ]",
    "bare grid cell escaped": b"[: a, b; z\\;X, 2 ]",
    "quoted grid cell": b'[: a; "X" ]',
    "nested grid cell": b"[: a; [: b; cX ] ]",
    "schema object value": b'{"p": "X"}',
}


@pytest.mark.parametrize("position", POSITIONS)
@pytest.mark.parametrize("form", BAD_UTF8)
def test_malformed_utf8_in_every_position(position, form):
    template = POSITIONS[position]
    schema = ["a"] if position.startswith("schema") else None
    assert loads(template.replace(b"X", b"ok"), schema) is not None
    doc = template.replace(b"X", BAD_UTF8[form])
    with pytest.raises(ValueError) as info:
        loads(doc, schema)
    assert "UTF-8" in str(info.value) or "Invalid character" in str(info.value)


QUOTED_POSITIONS = ["value", "value with escape", "key", "key with escape",
                    "quoted grid header key", "quoted grid cell", "schema object value"]


@pytest.mark.parametrize("position", QUOTED_POSITIONS)
@pytest.mark.parametrize("escape", SURROGATE_ESCAPES)
def test_surrogate_escapes_in_quoted_strings(position, escape):
    template = POSITIONS[position]
    schema = ["a"] if position.startswith("schema") else None
    with pytest.raises(ValueError, match=r"^Invalid Unicode escape at position \d+ \("):
        loads(template.replace(b"X", SURROGATE_ESCAPES[escape]), schema)


def test_valid_pairs_and_text_around_bad_forms_still_decode():
    doc = rb'["\ud83d\ude00", "\u00e9", "caf' + b'\xc3\xa9"]'
    assert loads(doc) == ["\U0001f600", "é", "café"]


@pytest.mark.parametrize("text", ["\ud800", "a\udfffb", "\ud83d"])
def test_str_input_with_lone_surrogates_is_refused(text):
    with pytest.raises(TypeError, match="^data must be bytes or str$"):
        loads(f'["{text}"]')


@pytest.mark.parametrize(
    "value",
    [
        "\ud800",
        ["ok", "x\udc00"],
        {"\ud800": 1},
        {"k": "\ud800"},
        [{"a": "\ud800"}, {"a": "b"}],  # grid cell
        [{"\ud800": 1}, {"\ud800": 2}],  # grid header key
    ],
)
@pytest.mark.parametrize("options", [{}, {"bare_strings": True}, {"indent": 2},
                                     {"unquoted_keys": True}, {"mox_grid": False}])
def test_dumps_refuses_lone_surrogates_everywhere(value, options):
    with pytest.raises((ValueError, UnicodeEncodeError)):
        dumps(value, **options)
    assert dumps(["after"]) == '["after"]'


# --- containers mutated while they are written --------------------------------


class Mutator:
    def __init__(self, action, result=None):
        self.action = action
        self.result = {"m": 1} if result is None else result

    def model_dump(self):
        self.action()
        return self.result


def test_dict_growing_while_written_is_an_internal_failure():
    data = {"a": 1}
    data["b"] = Mutator(lambda: data.update(c=3))
    with pytest.raises(BaseException) as info:
        dumps(data)
    assert internal_failure(info.value)
    assert "changed size" in str(info.value)


def test_dict_rekeyed_while_written_is_an_internal_failure():
    data = {"a": 1, "b": None, "c": 3}

    def rekey():
        del data["a"]
        data["z"] = 26

    data["b"] = Mutator(rekey)
    with pytest.raises(BaseException) as info:
        dumps(data)
    assert internal_failure(info.value)


def test_list_shrinking_while_written_stays_well_formed():
    data = [1, None, 3, 4, 5]
    data[1] = Mutator(lambda: data.clear())
    text = dumps(data)
    assert loads(text) == [1, {"m": 1}]


def test_list_growing_while_written_stops_at_its_first_length():
    data = [1, None, 3]
    data[1] = Mutator(lambda: data.extend(range(100)))
    assert loads(dumps(data)) == [1, {"m": 1}, 3]


def test_grid_shrinking_while_written_fails_cleanly():
    rows = [{"a": i} for i in range(12)]
    rows[11] = {"a": 11}
    rows[10] = {"a": Mutator(lambda: rows.clear())}
    with pytest.raises((IndexError, TypeError, ValueError)):
        dumps(rows)
    assert dumps([{"a": 1}, {"a": 2}]) == "[2: a; 1; 2 ]"


@pytest.mark.parametrize("mox_grid", [True, False])
def test_conversion_freeing_the_list_being_written(mox_grid):
    items = []

    def drop():
        items.clear()
        gc.collect()

    items += [Mutator(drop)] + [{"x": "a" * 100} for _ in range(20)]
    try:
        text = dumps({"items": items}, mox_grid=mox_grid)
    except (IndexError, TypeError):
        return
    assert loads(text) == {"items": [{"m": 1}]}


def test_conversion_removing_its_own_dict_entry():
    data = {}
    data["a"] = Mutator(lambda: (data.clear(), gc.collect()), result={"payload": "p" * 50})
    data["b"] = 2
    with pytest.raises(BaseException) as info:
        dumps(data)
    assert internal_failure(info.value)
    assert dumps(data) == "{}"


def test_nested_dumps_from_a_conversion_method_is_refused_then_works():
    seen = []

    def nested():
        try:
            dumps([1])
        except BaseException as exc:  # noqa: BLE001 - recorded for the assert below
            seen.append(exc)
            raise

    with pytest.raises(BaseException) as info:
        dumps({"k": Mutator(nested)})
    assert internal_failure(info.value)
    assert seen and internal_failure(seen[0])
    assert dumps({"k": [1]}) == '{"k":[1]}'


def test_conversion_method_raising_passes_through():
    class Boom(Exception):
        pass

    def boom():
        raise Boom("from model_dump")

    with pytest.raises(Boom):
        dumps([{"a": 1}, {"a": Mutator(boom)}] * 6)


# --- threads -------------------------------------------------------------------


@dataclasses.dataclass
class Row:
    id: int
    name: str


def _work(i):
    doc = dumps([{"id": i, "name": f"n{i}"}, {"id": i + 1, "name": "x"}] * 3)
    assert loads(doc)[0] == {"id": i, "name": f"n{i}"}
    assert dumps([Row(i, "r"), Row(i, "s")]) == f'[2: id, name; {i}, "r"; {i}, "s" ]'
    return loads(b'{"k%d": [1, 2.5, "s"]}' % (i % 50))


def test_many_short_lived_threads():
    errors = []

    def body(i):
        try:
            _work(i)
            if i % 7 == 0:
                dumps("x" * 100000)  # grows this thread's buffer before it exits
        except BaseException as exc:  # noqa: BLE001 - collected for the assert
            errors.append(exc)

    for batch in range(20):
        threads = [threading.Thread(target=body, args=(batch * 10 + i,)) for i in range(10)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert not errors
    assert _work(3) == {"k3": [1, 2.5, "s"]}


def test_dumps_on_a_thread_that_exits_during_a_failed_call():
    out = {}

    def body():
        try:
            dumps({"k": Mutator(lambda: (_ for _ in ()).throw(KeyError("x")))})
        except KeyError:
            out["ok"] = True

    t = threading.Thread(target=body)
    t.start()
    t.join()
    assert out.get("ok")
    assert dumps([1, 2]) == "[1,2]"


def test_threads_share_no_state():
    results = {}
    barrier = threading.Barrier(8)

    def body(i):
        barrier.wait()
        text = dumps({f"key{i}": list(range(i * 100))})
        results[i] = loads(text)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {i: {f"key{i}": list(range(i * 100))} for i in range(8)}


# --- replay of the fuzz corpora --------------------------------------------------


@pytest.mark.parametrize("target", ["loads", "dumps"])
def test_fuzz_corpus_replays_cleanly(target):
    """Every saved fuzz input still passes the target's own checks."""
    corpus = ROOT / "fuzz" / "corpus" / target
    files = sorted(corpus.iterdir())
    assert files, f"{corpus} is empty"
    env = dict(os.environ, PLAV_FUZZ_REPLAY="1")
    proc = subprocess.run(
        [sys.executable, str(ROOT / "fuzz" / f"fuzz_{target}.py"), str(corpus)],
        env=env, capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
    assert f"replayed {len(files)} inputs" in proc.stdout


def test_jsontestsuite_fails_only_with_the_readers_messages():
    sys.path.insert(0, str(ROOT / "fuzz"))
    try:
        import harness
    finally:
        sys.path.pop(0)
    read = 0
    for path in sorted((DATA / "jsontestsuite" / "test_parsing").iterdir()):
        try:
            value = loads(path.read_bytes())
        except ValueError as exc:
            assert harness.LOADS_MESSAGES.fullmatch(str(exc)), (path.name, str(exc))
            continue
        read += 1
        harness.walk(value)
        if harness.depth_of(value) > 256:
            continue  # deeper than dumps writes
        assert harness.same(loads(dumps(value, mox_grid=False)), value), path.name
    assert read > 100
