"""Hostile inputs: nesting bombs, huge widths and numbers, malformed text in every
string position, containers mutated while they are written, and thread churn.
Each must end in a clean exception (or a correct result), never a crash."""

import gc
import json
import os
import re
import subprocess
import sys
import threading
import weakref

import pytest
from conftest import ROOT, in_thread, internal_failure, not_under_asan, run_threads

from plav_core import dumps, loads

DEPTH_MESSAGE = re.compile(
    r"Maximum nesting depth exceeded \(approximate position: ±32 bytes from \d+\)"
)
DUMPS_DEPTH = "Object too deeply nested (max 256 levels)"
MILLION = 10**6

# ---- nesting ----

NEST = {  # opener, closer, deepest accepted depth
    "array": (b"[", b"]", 1024),
    "object": (b'{"k":', b"}", 1024),
    "grid cell": (b"[: a; ", b" ]", 512),
    "mixed": (b'[{"k": [: a; ', b" ]}]", 256),
    "schema": (b'[{"a": ', b"}]", 512),
}
SMALL_STACK = pytest.param(
    1 << 20,
    id="1 MiB stack",
    marks=not_under_asan("instrumented frames need several times the stack"),
)


def run_on(stack, fn):
    """{"result"} or {"error"} of fn: on this thread, or on a new one with that stack."""
    if stack:
        return in_thread(fn, stack)
    try:
        return {"result": fn()}
    except ValueError as exc:
        return {"error": exc}


@pytest.mark.parametrize("stack", [0, SMALL_STACK])
@pytest.mark.parametrize("kind", NEST)
def test_a_million_openers_fail_cleanly(kind, stack):
    opener, closer, depth = NEST[kind]
    schema = ["a"] if kind == "schema" else None
    out = run_on(stack, lambda: loads(opener * MILLION, schema))
    assert isinstance(out.get("error"), ValueError)
    assert DEPTH_MESSAGE.fullmatch(str(out["error"]))
    doc = opener * depth + b"1" + closer * depth
    assert "result" in run_on(stack, lambda: loads(doc, schema))


def nested_lists(depth, inner):
    for _ in range(depth):
        inner = [inner]
    return inner


class SelfConverting:
    def model_dump(self):
        return self


class PingPong:
    def __init__(self, other=None):
        self.other = other

    def model_dump(self):
        return self.other


@pytest.mark.parametrize("stack", [0, SMALL_STACK])
def test_dumps_depth_limit(stack):
    deepest = nested_lists(256, [])  # the innermost list is at depth 256
    assert run_on(stack, lambda: dumps(deepest, indent=1))["result"].count("[") == 257
    assert dumps(deepest) == "[" * 257 + "]" * 257
    cycle = []
    cycle.append(cycle)
    a, b = PingPong(), PingPong()
    a.other, b.other = b, a
    for too_deep in (
        [deepest],
        nested_lists(257, 1),
        {"k": deepest},
        cycle,
        SelfConverting(),
        [a, b],
    ):
        out = run_on(stack, lambda: dumps(too_deep))
        assert type(out["error"]) is ValueError and str(out["error"]) == DUMPS_DEPTH


# ---- huge widths and numbers ----


@pytest.mark.parametrize(
    "value, options",
    [
        ([1], {"indent": 2**63}),
        ([1], {"indent": 2**64 - 1}),
        ({"a": 1}, {"indent": 2**32}),
        ([[1]], {"indent": 2**63}),  # 2 x 2**63 spaces wraps to 0 in 64 bits
        ([[[[1]]]], {"indent": 2**62}),  # 4 x 2**62 wraps too
        ([{"a": 1}, {"a": 2}], {"indent": 2**63}),  # grid rows
        ([{"a": 1}, {"a": 2}], {"indent": 2**40}),
        ([{"a": 1}, {"a": 2}], {"indent": 2**63, "multiline_mox": True}),
    ],
)
def test_indentation_beyond_memory_fails_with_memory_error(value, options):
    with pytest.raises(MemoryError):
        dumps(value, **options)
    assert dumps({"a": [1]}) == '{"a":[1]}'  # the thread's buffer still works


def test_indent_without_a_line_to_indent_and_out_of_range():
    for value in [1, None, "x", [], {}, 1.5]:
        assert dumps(value, indent=2**63) == dumps(value, indent=2**64 - 1) == dumps(value)
    for indent in [2**64, 2**100, -1]:
        with pytest.raises(OverflowError):
            dumps(1, indent=indent)


def test_integers_past_the_digit_limit():
    with pytest.raises(ValueError, match="^Failed to create large integer$"):
        loads('{"k": [: a; -' + "1" * 4301 + " ]}")
    for value in (10**4300, {"k": [-(10**4300)]}, 10**5000):
        with pytest.raises(ValueError, match="4300"):
            dumps(value)


# ---- malformed text in every string position ----

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
SURROGATE_ESCAPES = [
    rb"\ud800",
    rb"\udc00",
    rb"\ud800x",
    rb"\ud800\u0041",
    rb"\ud800\ud800",
    rb"\udc00\ud800",
    rb"\udbff",
]

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
QUOTED = [
    "value",
    "value with escape",
    "key",
    "key with escape",
    "quoted grid header key",
    "quoted grid cell",
    "schema object value",
]


@pytest.mark.parametrize("position", POSITIONS)
@pytest.mark.parametrize("form", BAD_UTF8)
def test_malformed_utf8_in_every_position(position, form):
    template = POSITIONS[position]
    schema = ["a"] if position.startswith("schema") else None
    assert loads(template.replace(b"X", b"ok"), schema) is not None
    with pytest.raises(ValueError) as info:
        loads(template.replace(b"X", BAD_UTF8[form]), schema)
    assert "UTF-8" in str(info.value) or "Invalid character" in str(info.value)
    if position in QUOTED:
        for escape in SURROGATE_ESCAPES:
            with pytest.raises(ValueError, match=r"^Invalid Unicode escape at position \d+ \("):
                loads(template.replace(b"X", escape), schema)


@pytest.mark.parametrize(
    "value",
    [
        "\ud800",
        ["ok", "x\udc00"],
        {"\ud800": 1},
        {"k": "\ud800"},
        [{"a": "\ud800"}, {"a": "b"}],
        [{"\ud800": 1}, {"\ud800": 2}],
    ],
)
@pytest.mark.parametrize(
    "options",
    [{}, {"bare_strings": True}, {"indent": 2}, {"unquoted_keys": True}, {"mox_grid": False}],
)
def test_dumps_refuses_lone_surrogates_everywhere(value, options):
    with pytest.raises((ValueError, UnicodeEncodeError)) as info:
        dumps(value, **options)
    assert type(info.value) is not ValueError or str(info.value) == (
        "Failed to encode string as UTF-8"
    )
    assert dumps(["after"]) == '["after"]'


# ---- containers mutated while they are written ----


class Mutator:
    def __init__(self, action, result=None):
        self.action = action
        self.result = {"m": 1} if result is None else result

    def model_dump(self):
        self.action()
        return self.result


def rekey(data):
    del data["a"]
    data["z"] = 26


@pytest.mark.parametrize(
    "change, message", [(lambda d: d.update(new=3), "changed size"), (rekey, "keys changed")]
)
def test_dict_changed_while_written_is_an_internal_failure(change, message):
    data = {"a": 1, "b": None, "c": 3}
    data["b"] = Mutator(lambda: change(data))
    with pytest.raises(BaseException, match=message) as info:
        dumps(data)
    assert internal_failure(info.value)


def test_lists_changed_while_written_stay_well_formed():
    data = [1, None, 3, 4, 5]
    data[1] = Mutator(lambda: data.clear())
    assert loads(dumps(data)) == [1, {"m": 1}]
    data = [1, None, 3]
    data[1] = Mutator(lambda: data.extend(range(100)))
    assert loads(dumps(data)) == [1, {"m": 1}, 3]
    rows = [{"a": i} for i in range(12)]
    rows[10] = {"a": Mutator(lambda: rows.clear())}
    with pytest.raises((IndexError, TypeError, ValueError)):
        dumps(rows)
    rows = [{"a": i, "m": None} for i in range(30)]
    rows[15]["m"] = Mutator(lambda: rows.__delitem__(slice(20, None)))
    with pytest.raises(IndexError):
        dumps(rows)
    assert dumps([{"a": 1}, {"a": 2}]) == "[2: a; 1; 2 ]"


@pytest.mark.parametrize("mox_grid", [True, False])
def test_conversion_freeing_the_list_being_written(mox_grid):
    items = []
    items += [Mutator(lambda: (items.clear(), gc.collect()))]
    items += [{"x": "a" * 100} for _ in range(20)]
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


@pytest.mark.parametrize(
    "make, before", [(list, []), (list, [1, "s" * 40, 2.5]), (tuple, [1, "s" * 40, 2.5])]
)
def test_container_dropped_by_its_parent_while_written(make, before):
    # Members before the converted one are written while the parent still owns the
    # container; a converted first member is what the grid check looks at.
    outer = {"inner": None}
    drop = Mutator(lambda: outer.__setitem__("inner", None), 0)
    outer["inner"] = make([*before, drop, "e" * 40])
    gc.collect()
    assert dumps(outer) == json.dumps({"inner": [*before, 0, "e" * 40]}, separators=(",", ":"))


def test_nested_dumps_from_a_conversion_method_is_refused_then_works():
    seen = []

    def nested():
        try:
            dumps([1])
        except BaseException as exc:
            seen.append(exc)
            raise

    with pytest.raises(BaseException) as info:
        dumps({"k": Mutator(nested)})
    assert internal_failure(info.value) and seen and internal_failure(seen[0])
    assert dumps({"k": [1]}) == '{"k":[1]}'

    class Careful:  # a model may catch the refusal and go on
        def model_dump(self):
            try:
                return dumps(1)
            except BaseException as exc:  # noqa: BLE001 - the refusal is a BaseException
                return type(exc).__name__

    assert dumps([Careful()]) == '["InternalFailure"]'


def test_conversion_method_raising_passes_through():
    class Boom(Exception):
        pass

    def boom():
        raise Boom("from model_dump")

    with pytest.raises(Boom):
        dumps([{"a": 1}, {"a": Mutator(boom)}] * 6)
    with pytest.raises(Boom):
        dumps({"x": [Mutator(boom)]})


# ---- Python code that frees what the writer still reads ----

# Each script crashed the writer when it used a borrowed pointer after Python
# code had dropped the object; it must now end with its exception.
CRASHERS = {
    "dict value freed by its key's __str__": """
class K:
    def __hash__(self): return 1
    def __str__(self): d[self] = 0; return "k"
d = {K(): [object()]}
plav.dumps(d)
""",
    "grid cell freed by a header key's __eq__": """
class S(str):
    __hash__ = str.__hash__
    def __eq__(self, o): row["a"] = 0; return str.__eq__(self, o)
rows = [{"a": i, "b": i} for i in range(30)]
row = {S("b"): 2}; row["a"] = [object()]; rows[20] = row
plav.dumps(rows)
""",
}


@pytest.mark.parametrize("script", CRASHERS.values(), ids=CRASHERS)
def test_crash_reproducers_raise(script):
    code = "import plav, sys\ntry:\n" + "".join(f"    {line}\n" for line in script.splitlines())
    code += "except TypeError as e:\n    print('TypeError', e)\nprint(plav.dumps([1]))\n"
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=False
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.splitlines() == [
        "TypeError Object of type 'object' is not JSON serializable",
        "[1]",
    ]


class Payload:
    """A written value that can tell whether it is still alive (weakref)."""

    def __init__(self, tag):
        self.tag = tag

    def model_dump(self):
        return {"tag": self.tag}


JUNK = []


def free_and_reuse():
    """Collects garbage, then fills freed memory with look-alike objects, so that a
    pointer to an object freed a moment ago reads one of these instead of it."""
    gc.collect()
    JUNK[:] = [Payload("junk") for _ in range(2000)] + [
        {"a": "junk", "b": "junk"} for _ in range(2000)
    ]


@pytest.fixture(autouse=True)
def _drop_junk():
    yield
    JUNK.clear()


class Key:
    """A non-str dict key whose __str__, __hash__ or __eq__ runs `act`."""

    def __init__(self, act, where, text="k", hash_as=None):
        self.act, self.where, self.text = act, where, text
        self.hash = hash(hash_as) if hash_as is not None else 1

    def __hash__(self):
        if self.where == "hash":
            self.act()
        return self.hash

    def __eq__(self, other):
        if self.where == "eq":
            self.act()
        return self is other

    def __str__(self):
        if self.where == "str":
            self.act()
        return self.text


class HeaderKey(str):
    """A str-subclass key whose __eq__ (run by the grid lookups) runs `act`, once."""

    act = staticmethod(lambda: None)
    __hash__ = str.__hash__

    def __eq__(self, other):
        act, self.act = self.act, lambda: None
        act()
        return str.__eq__(self, other)


LAYOUTS = {
    "compact": {},
    "indent": {"indent": 2},
    "multiline": {"multiline_mox": True},
    "unquoted": {"unquoted_keys": True, "indent": 1},
}


def outcome(fn):
    """What dumps wrote, or the type of what it raised (never a crash)."""
    try:
        return fn()
    except BaseException as exc:
        if not (isinstance(exc, (TypeError, IndexError)) or internal_failure(exc)):
            raise
        return type(exc)


def dict_key_case(change):
    holder = {}
    value = Payload("old")

    def act():
        change(holder["d"])
        free_and_reuse()

    d = {"a": 1, Key(act, "str"): value, "z": "s" * 30}
    holder["d"] = d
    return d, value


DICT_KEY_CHANGES = {  # how the key's __str__ changes the dict, and what is written
    "replaces every value": (
        lambda d: [d.__setitem__(k, 0) for k in list(d)],
        {"a": 1, "k": {"tag": "old"}, "z": 0},
    ),
    "clears the dict": (dict.clear, None),
    "replaces members with lists": (
        lambda d: d.update({k: [] for k in list(d)}),
        {"a": 1, "k": {"tag": "old"}, "z": []},
    ),
}


@pytest.mark.parametrize("options", LAYOUTS.values(), ids=LAYOUTS)
@pytest.mark.parametrize("change", DICT_KEY_CHANGES, ids=DICT_KEY_CHANGES)
def test_dict_key_str_changing_the_dict(change, options):
    act, written = DICT_KEY_CHANGES[change]
    d, value = dict_key_case(act)
    ref = weakref.ref(value)
    del value
    got = outcome(lambda: dumps(d, **options))
    if written is None:  # the dict changed size: the module's own refusal
        assert isinstance(got, type) and got.__name__ == "InternalFailure"
    else:
        assert got == dumps(written, **options)
    gc.collect()
    assert ref() is None  # the value the key replaced was not leaked


@pytest.mark.parametrize("where", ["hash", "eq"])
@pytest.mark.parametrize("options", LAYOUTS.values(), ids=LAYOUTS)
def test_row_keys_whose_hash_or_eq_change_the_rows(where, options):
    # A non-str key hashing like a header key is compared with it in every lookup.
    rows = [{"a": i, "b": i} for i in range(12)]
    refs = []
    for i in range(12):
        rows[i]["b"] = Payload(i)
        refs.append(weakref.ref(rows[i]["b"]))
    armed = []
    rows[5] = {
        "a": 5,
        Key(
            lambda: armed and (rows.__setitem__(slice(None), [{"a": 0}] * 12), gc.collect()),
            where,
            "b",
            hash_as="b",
        ): 1,
    }
    armed.append(True)
    got = outcome(lambda: dumps(rows, **options))
    assert got in (IndexError, TypeError) or type(got) is str
    rows.clear()
    gc.collect()
    assert all(r() is None for r in refs)


HEADER_KEY_CHANGES = {  # what a row key's __eq__ does during the grid lookups
    "replaces the row's cells": lambda rows, row: row.update(a="new", b="new"),
    "adds a cell": lambda rows, row: row.update(c=[object()]),
    "drops the row": lambda rows, row: rows.__setitem__(20, None),
    "replaces the first row": lambda rows, row: rows.__setitem__(0, {"a": "new", "b": 2}),
    "clears the rows": lambda rows, row: rows.clear(),
    "replaces every row": lambda rows, row: rows.__setitem__(slice(None), [{"z": 1}] * 30),
}


@pytest.mark.parametrize("options", LAYOUTS.values(), ids=LAYOUTS)
@pytest.mark.parametrize("change", HEADER_KEY_CHANGES, ids=HEADER_KEY_CHANGES)
def test_str_subclass_row_key_changing_cells_and_rows(change, options):
    # The row's keys out of header order: its cells are found by lookups, "a"
    # first, then "b", whose comparison with the key runs the change.
    rows = [{"a": i, "b": f"v{i}"} for i in range(30)]
    key = HeaderKey("b")
    row = {key: "kept", "a": Payload("cell")}
    rows[20] = row
    key.act = lambda: (HEADER_KEY_CHANGES[change](rows, row), free_and_reuse())
    got = outcome(lambda: dumps(rows, **options))
    if change == "replaces the row's cells":  # each cell as it was when found
        plain = [{"a": i, "b": f"v{i}"} for i in range(30)]
        plain[20] = {"a": {"tag": "cell"}, "b": "new"}
        assert got == dumps(plain, **options)
    else:
        assert got in (IndexError, TypeError) or type(got) is str


def test_first_row_keys_freed_while_the_header_is_in_use():
    # The header is taken from the first row's str-subclass keys; the lookups of
    # later rows replace the first row, whose keys nothing else holds.
    rows = [{HeaderKey("id"): 0, HeaderKey("name"): "n0"}]
    later = HeaderKey("id")
    later.act = lambda: (rows.__setitem__(0, {"id": 0, "name": "n0"}), free_and_reuse())
    rows += [{later: i, "name": f"n{i}"} for i in range(1, 12)]
    for options in LAYOUTS.values():
        want = dumps([{"id": i, "name": f"n{i}"} for i in range(12)], **options)
        assert dumps(rows, **options) == want


class Converted:
    def __init__(self, i, act=lambda: None):
        self.i, self.act = i, act

    def model_dump(self):
        self.act()
        return {"id": self.i, "name": f"n{self.i}"}


SHARED = {}


class Shared:
    """model_dump hands out one dict, changed by every call."""

    def __init__(self, i):
        self.i = i

    def model_dump(self):
        SHARED["id"] = self.i
        return SHARED


@pytest.mark.parametrize("options", LAYOUTS.values(), ids=LAYOUTS)
def test_conversions_replacing_earlier_elements(options):
    rows = [Converted(i) for i in range(12)]
    rows[6].act = lambda: (rows.__setitem__(slice(0, 6), [Converted(-1)] * 6), gc.collect())
    plain = [{"id": i, "name": f"n{i}"} for i in range(12)]
    assert dumps(rows, **options) == dumps(plain, **options)  # converted as they were read
    # The first row is a dict, so the list is written as a plain array: the models
    # converted one by one, the first row as it was when read.
    first = [{"id": 0, "name": "n0"}, *(Converted(i) for i in range(1, 12))]
    first[3].act = lambda: (first.__setitem__(0, {"other": Payload("x")}), gc.collect())
    assert dumps(first, **options) == dumps(plain, mox_grid=False, **options)
    shared = [Shared(i) for i in range(10)]
    assert dumps(shared, **options) == dumps([{"id": 9}] * 10, **options)  # one dict, as it ended


class LyingDict(dict):
    def __len__(self):
        return 99

    def __iter__(self):
        return iter(["ghost"])

    def keys(self):
        return ["ghost"]


@pytest.mark.parametrize("options", LAYOUTS.values(), ids=LAYOUTS)
def test_dict_subclass_lying_about_its_members(options):
    d = LyingDict(a=1, b=[2])
    assert dumps(d, **options) == dumps({"a": 1, "b": [2]}, **options)
    rows = [LyingDict(id=i) for i in range(12)]
    assert dumps(rows, **options) == dumps([{"id": i} for i in range(12)], **options)


@pytest.mark.parametrize("options", LAYOUTS.values(), ids=LAYOUTS)
@pytest.mark.parametrize("stage", ["detection", "writing"])
def test_grid_rows_mutated_during_detection_and_writing(stage, options):
    # A row whose keys are out of header order is matched by lookups, which run
    # the key's __eq__: in the sampled rows (detection) or after them (writing).
    rows = [{"a": i, "b": i} for i in range(60)]
    at = 3 if stage == "detection" else 55
    key = HeaderKey("b")
    key.act = lambda: (rows.__delitem__(slice(at, None)), rows[0].clear(), free_and_reuse())
    rows[at] = {key: at if stage == "detection" else Payload("p"), "a": at}
    assert outcome(lambda: dumps(rows, **options)) is IndexError  # the list ends early
    gc.collect()
    assert dumps([{"a": 1}, {"a": 2}], **options)  # the thread writes on


# ---- number text comes from the value ----


class LyingInt(int):
    def __str__(self):
        return '1, "injected": 2'

    __repr__ = __str__

    def __format__(self, format_spec):
        return "]"

    def __index__(self):
        return 0

    def __int__(self):
        return 0


class LyingFloat(float):
    def __repr__(self):
        return '1, "injected": 2'

    __str__ = __repr__

    def __float__(self):
        return 0.0


@pytest.mark.parametrize(
    "value", [5, -(2**63) - 1, 2**64 - 1, 2**64, -(2**70), 10**300, 2.5, -0.0, 1e300]
)
@pytest.mark.parametrize("options", LAYOUTS.values(), ids=LAYOUTS)
def test_number_subclass_methods_cannot_change_the_output(value, options):
    lying = LyingFloat(value) if isinstance(value, float) else LyingInt(value)
    data = {"a": lying, "rows": [{"n": lying, "m": 1}, {"n": lying, "m": 2}], "l": [lying]}
    plain = {"a": value, "rows": [{"n": value, "m": 1}, {"n": value, "m": 2}], "l": [value]}
    assert dumps(data, **options) == dumps(plain, **options)
    assert dumps({lying: 1}, **options) == dumps({str(lying): 1}, **options)  # quoted text


# ---- threads ----


def test_many_short_lived_threads():
    errors = []

    def body(i):
        try:
            doc = dumps([{"id": i, "name": f"n{i}"}, {"id": i + 1, "name": "x"}] * 3)
            assert loads(doc)[0] == {"id": i, "name": f"n{i}"}
            assert loads(b'{"k%d": [1, 2.5, "s"]}' % (i % 50)) == {f"k{i % 50}": [1, 2.5, "s"]}
            if i % 7 == 0:
                dumps("x" * 100000)  # grows this thread's buffer before it exits
        except BaseException as exc:  # noqa: BLE001 - collected for the assert
            errors.append(exc)

    for batch in range(20):
        run_threads(lambda i: body(batch * 10 + i), 10)
    assert not errors


def test_dumps_on_a_thread_that_exits_during_a_failed_call():
    out = in_thread(lambda: dumps({"k": Mutator(lambda: {}["missing"])}))
    assert isinstance(out["error"], KeyError)
    assert dumps([1, 2]) == "[1,2]"


def test_threads_write_concurrently():
    docs = [
        {"id": t, "rows": [{"k": i, "v": f"t{t}-{i}"} for i in range(50)], "s": "\u00e9" * t}
        for t in range(8)
    ]
    expected = [dumps(d) for d in docs]
    errors = []
    barrier = threading.Barrier(8)

    def work(t):
        barrier.wait()
        for _ in range(200):
            if dumps(docs[t]) != expected[t]:
                errors.append(t)
                return

    run_threads(work, 8)
    assert errors == []


# ---- the saved fuzz corpora ----


@pytest.mark.parametrize("target", ["loads", "dumps"])
def test_fuzz_corpus_replays_cleanly(target):
    corpus = ROOT / "fuzz" / "corpus" / target
    files = sorted(corpus.iterdir())
    assert files, f"{corpus} is empty"
    proc = subprocess.run(
        [sys.executable, str(ROOT / "fuzz" / f"fuzz_{target}.py"), str(corpus)],
        env=dict(os.environ, PLAV_FUZZ_REPLAY="1"),
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
    assert f"replayed {len(files)} inputs" in proc.stdout
