"""Hostile callers: Python code run by dumps (conversions, key methods, lying
subclasses) that changes or frees what is being written; allocation failures, running
out of memory, leaks and threads; and the saved fuzz corpora. Each must end in a clean
exception or a correct result, never a crash."""

import datetime as dt
import enum
import gc
import json
import math
import os
import resource
import subprocess
import sys
import threading
import tracemalloc
import weakref

import pytest
from conftest import DATA, ROOT, SANITIZED, Model, in_thread, internal_failure, not_under_asan
from conftest import run_threads

import plav
from plav_core import dumps, loads

# ---- Python code that changes what dumps is writing ----

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
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.splitlines() == [
        "TypeError Object of type 'object' is not JSON serializable",
        "[1]",
    ]


TRACKED, JUNK = [], []


class Payload:
    """A written value whose death is checked after each case (weakref)."""

    def __init__(self, tag):
        self.tag = tag
        if tag != "junk":
            TRACKED.append(weakref.ref(self))

    def model_dump(self):
        return {"tag": self.tag}


def free_and_reuse():
    """Collects garbage, then fills freed memory with look-alike objects, so that a
    pointer to an object freed a moment ago reads one of these instead of it."""
    gc.collect()
    JUNK[:] = [Payload("junk") for _ in range(2000)] + [{"a": "junk"} for _ in range(2000)]


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


class LyingDict(dict):
    def __len__(self):
        return 99

    def __iter__(self):
        return iter(["ghost"])

    def keys(self):
        return ["ghost"]


class As:
    """What dumps must write: its text for `value`, under the same options and `extra`."""

    def __init__(self, value, **extra):
        self.value, self.extra = value, extra


ANY = ("text", "IndexError", "TypeError", "InternalFailure")  # no crash, nothing else
CASES = {}


def case(build):
    """Registers a case: build() gives (value, wanted outcomes[, dumps options])."""
    CASES[build.__name__.replace("_", " ")] = build
    return build


def keyed_dict(change):
    d = {}
    d.update({"a": 1, Key(lambda: (change(d), free_and_reuse()), "str"): Payload("old"), "z": "s"})
    return d


@case
def dict_key_str_replaces_every_value():
    d = keyed_dict(lambda d: [d.__setitem__(k, 0) for k in list(d)])
    return d, As({"a": 1, "k": {"tag": "old"}, "z": 0})


@case
def dict_key_str_replaces_members_with_lists():
    d = keyed_dict(lambda d: d.update({k: [] for k in list(d)}))
    return d, As({"a": 1, "k": {"tag": "old"}, "z": []})


@case
def dict_key_str_clears_the_dict():
    return keyed_dict(dict.clear), "InternalFailure"


def rows_with_lookup_key(where):
    # A non-str key hashing like a header key is compared with it in every lookup.
    rows = [{"a": i, "b": Payload(i)} for i in range(12)]
    armed = []

    def replace():
        if armed:
            rows[:] = [{"a": 0}] * 12
            gc.collect()

    rows[5] = {"a": 5, Key(replace, where, "b", hash_as="b"): 1}
    armed.append(True)
    return rows, ANY


CASES["row key hash replaces the rows"] = lambda: rows_with_lookup_key("hash")
CASES["row key eq replaces the rows"] = lambda: rows_with_lookup_key("eq")


def rows_with_header_key(change, want=ANY):
    # The row's keys out of header order: its cells are found by lookups, "a" first,
    # then "b", whose comparison with the key runs the change.
    rows = [{"a": i, "b": f"v{i}"} for i in range(30)]
    key = HeaderKey("b")
    row = rows[20] = {key: "kept", "a": Payload("cell")}
    key.act = lambda: (change(rows, row), free_and_reuse())
    return rows, want


HEADER_KEY_CHANGES = {
    "replaces the row's cells": lambda rows, row: row.update(a="new", b="new"),
    "adds a cell": lambda rows, row: row.update(c=[object()]),
    "drops the row": lambda rows, row: rows.__setitem__(20, None),
    "replaces the first row": lambda rows, row: rows.__setitem__(0, {"a": "new", "b": 2}),
    "clears the rows": lambda rows, row: rows.clear(),
    "replaces every row": lambda rows, row: rows.__setitem__(slice(None), [{"z": 1}] * 30),
}
CELLS_AS_FOUND = [{"a": i, "b": f"v{i}"} for i in range(30)]
CELLS_AS_FOUND[20] = {"a": {"tag": "cell"}, "b": "new"}  # each cell as it was when found
for name, change in HEADER_KEY_CHANGES.items():
    want = As(CELLS_AS_FOUND) if name == "replaces the row's cells" else ANY
    CASES[f"header key eq {name}"] = lambda c=change, w=want: rows_with_header_key(c, w)


@case
def header_key_eq_frees_the_first_row_that_gave_the_header():
    rows = [{HeaderKey("id"): 0, HeaderKey("name"): "n0"}]
    later = HeaderKey("id")
    later.act = lambda: (rows.__setitem__(0, {"id": 0, "name": "n0"}), free_and_reuse())
    rows += [{later: i, "name": f"n{i}"} for i in range(1, 12)]
    return rows, As([{"id": i, "name": f"n{i}"} for i in range(12)])


def rows_cut_at(at, cell):
    # A row whose keys are out of header order is matched by lookups, which run the
    # key's __eq__: in the sampled rows (detection) or after them (writing).
    rows = [{"a": i, "b": i} for i in range(60)]
    key = HeaderKey("b")
    key.act = lambda: (rows.__delitem__(slice(at, None)), rows[0].clear(), free_and_reuse())
    rows[at] = {key: cell, "a": at}
    return rows, "IndexError"  # the list ends early


CASES["header key eq cuts the rows during detection"] = lambda: rows_cut_at(3, 3)
CASES["header key eq cuts the rows during writing"] = lambda: rows_cut_at(55, Payload("p"))


@case
def model_dump_replaces_earlier_rows():
    rows = [Model({"id": i}) for i in range(12)]
    rows[6].act = lambda: (rows.__setitem__(slice(0, 6), [Model({"id": -1})] * 6), gc.collect())
    return rows, As([{"id": i} for i in range(12)])  # converted as they were read


@case
def model_dump_replaces_the_first_row():
    # The first row is a dict, so the list is written as a plain array: the models
    # converted one by one, the first row as it was when read.
    rows = [{"id": 0}, *(Model({"id": i}) for i in range(1, 12))]
    rows[3].act = lambda: (rows.__setitem__(0, {"other": Payload("x")}), gc.collect())
    return rows, As([{"id": i} for i in range(12)], mox_grid=False)


@case
def model_dump_hands_out_one_dict_changed_by_every_call():
    shared = {}
    rows = [Model(shared, lambda i=i: shared.__setitem__("id", i)) for i in range(10)]
    return rows, As([{"id": 9}] * 10)  # one dict, as it ended


@case
def dict_subclass_lies_about_its_members():
    value = {"d": LyingDict(a=1, b=[2]), "rows": [LyingDict(id=i) for i in range(12)]}
    return value, As({"d": {"a": 1, "b": [2]}, "rows": [{"id": i} for i in range(12)]})


def dict_changed_by_its_value(change):
    d = {"a": 1, "b": None, "c": 3}
    d["b"] = Model({"p": "p" * 50}, lambda: (change(d), gc.collect()))
    return d, "InternalFailure"


CASES["model dump adds to its dict"] = lambda: dict_changed_by_its_value(lambda d: d.update(n=3))
CASES["model dump rekeys its dict"] = lambda: dict_changed_by_its_value(
    lambda d: (d.pop("a"), d.update(z=26))
)
CASES["model dump clears its dict"] = lambda: dict_changed_by_its_value(dict.clear)


@case
def model_dump_clears_its_list():
    data = [1, None, 3, 4, 5]
    data[1] = Model({"m": 1}, lambda: data.clear())
    return data, As([1, {"m": 1}])


@case
def model_dump_extends_its_list():
    data = [1, None, 3]
    data[1] = Model({"m": 1}, lambda: data.extend(range(100)))
    return data, As([1, {"m": 1}, 3])


@case
def model_dump_frees_the_list_being_written():
    items = [Model({"m": 1}, lambda: (items.clear(), gc.collect()))]
    items += [{"x": "a" * 100} for _ in range(20)]
    return {"items": items}, ("IndexError", "TypeError", As({"items": [{"m": 1}]}))


@case
def model_dump_frees_the_plain_list_being_written():
    value, want = model_dump_frees_the_list_being_written()
    return value, want, {"mox_grid": False}


def dropped_by_parent(make, before):
    # Members before the converted one are written while the parent still owns the
    # container; a converted first member is what the grid check looks at.
    outer = {"inner": None}
    outer["inner"] = make([*before, Model(0, lambda: outer.__setitem__("inner", None)), "e" * 40])
    return outer, As({"inner": [*before, 0, "e" * 40]})


CASES["model dump drops its list from the parent"] = lambda: dropped_by_parent(list, [1, "s" * 40])
CASES["model dump drops its tuple from the parent"] = lambda: dropped_by_parent(tuple, [2.5])
CASES["first member drops its list from the parent"] = lambda: dropped_by_parent(list, [])


@case
def grid_cell_model_dump_clears_the_rows():
    rows = [{"a": i} for i in range(12)]
    rows[10] = {"a": Model({"m": 1}, lambda: rows.clear())}
    return rows, ("IndexError", "TypeError", "ValueError")


@case
def grid_cell_model_dump_cuts_the_rows():
    rows = [{"a": i, "m": None} for i in range(30)]
    rows[15]["m"] = Model({"m": 1}, lambda: rows.__delitem__(slice(20, None)))
    return rows, "IndexError"


@case
def lean_cell_model_dump_clears_its_row():
    rows = [{"a": None, "b": "x" * 40, "c": [math.pi]}, {"a": 1, "b": "y", "c": []}]
    rows[0]["a"] = Model({"gone": [1, 2]}, lambda: rows[0].clear())  # the cells' other owner
    want = [{"a": {"gone": [1, 2]}, "b": "x" * 40, "c": [math.pi]}, {"a": 1, "b": "y", "c": []}]
    return rows, As(want), plav.LEAN


@case
def lean_cell_model_dump_clears_the_rows():
    rows = [{"a": None}, {"a": [1]}, {"a": [2]}]
    rows[0]["a"] = Model({}, lambda: rows.clear())
    return rows, "IndexError", plav.LEAN


@case
def model_dump_calls_dumps():
    return {"k": Model(1, lambda: dumps([1]))}, "InternalFailure"  # refused, not run


class Careful:
    def model_dump(self):  # a model may catch the refusal and go on
        try:
            return dumps(1)
        except BaseException as exc:  # noqa: BLE001 - the refusal is a BaseException
            return type(exc).__name__


CASES["model dump catches the refusal of a nested dumps"] = lambda: (
    [Careful()],
    As(["InternalFailure"]),
)


@case
def utcoffset_clears_the_containers():
    rows = [{"a": i, "b": i} for i in range(30)]
    data = {"k": rows, "x": [1, 2, 3]}
    shrink = type(
        "Shrink", (dt.tzinfo,), {"utcoffset": lambda s, w: (rows.clear(), data.clear(), None)[2]}
    )
    rows[3]["a"] = dt.datetime(2024, 1, 1, tzinfo=shrink())
    return data, ANY, {"sort_keys": True}


def enum_value_clearing(holder):
    evil = enum.Enum("Evil", {"A": 1})
    evil.value = property(lambda s: (holder.clear(), [object() for _ in range(3)], "gone")[2])
    holder.update(v=evil.A, w=[1])
    return holder


CASES["enum value clears its dict"] = lambda: (enum_value_clearing({}), ("text", "InternalFailure"))
CASES["enum value clears its sorted dict"] = lambda: (
    enum_value_clearing({}),
    As({"v": "gone", "w": [1]}),
    {"sort_keys": True},
)


@case
def key_str_clears_its_sorted_dict():
    table = {}
    table.update({Key(table.clear, "str", "key"): [1], "a": {"b": 2}})
    return table, As({"a": {"b": 2}, "key": [1]}), {"sort_keys": True}


@case
def default_clears_the_rows():
    rows = [{"p": object(), "q": 1}] + [{"p": 1, "q": 1}] * 70
    return rows, ANY, {"default": lambda obj: (rows.clear(), ["x"])[1]}


def outcome(value, options):
    """What dumps wrote, or the name of what it raised."""
    try:
        return dumps(value, **options)
    except Exception as exc:  # noqa: BLE001 - named for the comparison
        return type(exc).__name__
    except BaseException as exc:
        if not internal_failure(exc):
            raise
        return "InternalFailure"


def run_case(build, layout):
    value, want, *options = build()
    options = {**(options[0] if options else {}), **layout}
    return outcome(value, options), want, options


LAYOUTS = {
    "compact": {},
    "indent": {"indent": 2},
    "multiline": {"multiline_mox": True},
    "unquoted": {"unquoted_keys": True, "indent": 1},
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS)
@pytest.mark.parametrize("build", CASES.values(), ids=CASES)
def test_python_code_changing_what_is_written(build, layout):
    got, want, options = run_case(build, layout)
    for w in want if isinstance(want, tuple) else (want,):
        if isinstance(w, As) and got == dumps(w.value, **{**options, **w.extra}):
            break
        if got == w or (w == "text" and got[:1] in "[{"):
            break
    else:
        raise AssertionError(f"{got!r} is none of {want!r}")
    del got, want, options
    JUNK.clear()
    gc.collect()
    assert [r for r in TRACKED if r() is not None] == []  # nothing written was leaked
    TRACKED.clear()
    assert dumps([{"a": 1}, {"a": 2}], **layout)  # the thread writes on


class LyingInt(int):
    __str__ = __repr__ = lambda s: '1, "injected": 2'  # noqa: E731
    __format__ = lambda s, spec: "]"  # noqa: E731
    __index__ = __int__ = lambda s: 0  # noqa: E731


class LyingFloat(float):
    __str__ = __repr__ = lambda s: '1, "injected": 2'  # noqa: E731
    __float__ = lambda s: 0.0  # noqa: E731


@pytest.mark.parametrize("value", [5, -(2**63) - 1, 2**64, -(2**70), 10**300, 2.5, -0.0, 1e300])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS)
def test_number_subclass_methods_cannot_change_the_output(value, layout):
    lying = LyingFloat(value) if isinstance(value, float) else LyingInt(value)
    data = {"a": lying, "rows": [{"n": lying, "m": 1}, {"n": lying, "m": 2}], "l": [lying]}
    plain = {"a": value, "rows": [{"n": value, "m": 1}, {"n": value, "m": 2}], "l": [value]}
    assert dumps(data, **layout) == dumps(plain, **layout)
    assert dumps({lying: 1}, **layout) == dumps({str(lying): 1}, **layout)  # quoted text


# ---- allocation failures and running out of memory ----


def test_short_allocation_failure_sweep():
    # Under ASan Python's allocator is bypassed, so the interpreter's block count
    # (the leak check of --leaks) measures nothing there.
    leaks = [] if SANITIZED else ["--leaks"]
    sweep = [sys.executable, str(ROOT / "fuzz" / "fault_sweep.py"), "--quick", *leaks]
    proc = subprocess.run(sweep, capture_output=True, text=True, timeout=900)
    report = proc.stdout[-3000:] + proc.stderr[-5000:]
    assert proc.returncode == 0 and "sweep passed" in proc.stdout, report
    assert SANITIZED or "allocated blocks before/after" in proc.stdout, report


def test_key_cache_after_failed_key_creation():
    # A key whose creation failed is not remembered as invalid: the same keys read
    # correctly on the next call on this thread.
    testcapi = pytest.importorskip("_testcapi")
    doc = b'{"alpha": 1, "beta": [2], "gamma": {"alpha": 3}}'
    for start in range(40):
        testcapi.set_nomemory(start, 0)
        try:
            loads(doc)
        except (MemoryError, ValueError, RuntimeError):
            pass
        finally:
            testcapi.remove_mem_hooks()
        assert loads(doc) == {"alpha": 1, "beta": [2], "gamma": {"alpha": 3}}
        assert loads(b"[: alpha, beta; 1, 2 ]") == [{"alpha": 1, "beta": 2}]


ROWS = [{"id": i, "name": f"n\u00e9{i}", "score": i / 4} for i in range(40)]
OWN_CASES = {  # every allocation of ours each call makes, failed in turn
    "loads grid and escapes": lambda: loads(
        b'{"k": [: a, b; x\\;y, "q\\n\\u00e9"; 1, 12345678901234567890123 ], "l": [[1], [2]]}'
    ),
    "loads large array": lambda: loads(b"[" + b'"s\\t", ' * 3000 + b"0]"),
    "dumps grid": lambda: dumps(ROWS),
    "dumps nested and keys": lambda: dumps(
        {"k\u00e9": [ROWS[:3], {1: "x" * 20000}], "b": b"\x00" * 5000}, indent=2
    ),
    "dumps subclass header keys": lambda: dumps(
        [{type("S", (str,), {})("id"): i, "n": "v"} for i in range(20)]
    ),
}


@pytest.mark.parametrize("call", OWN_CASES.values(), ids=OWN_CASES)
def test_each_own_allocation_failing_raises_memory_error(call):
    # The test build's hook: fail(start, stop) refuses the module's own allocations
    # numbered [start, stop) from now (start -1: none) and returns how many were
    # counted since the previous call. It is no name of the module.
    import ctypes

    import plav_core

    assert not [n for n in dir(plav_core) if "testing" in n or "alloc" in n]
    fail = ctypes.CDLL(plav_core.__file__).plav_testing_fail_allocations
    fail.argtypes, fail.restype = [ctypes.c_int64, ctypes.c_int64], ctypes.c_int64
    want = call()
    fail(1 << 62, 0)  # a schedule that never fires: the call allocates afresh
    call()
    count = fail(-1, 0)
    assert count > 0
    for n in range(count):
        fail(n, n + 1)
        try:
            got = call()
        except MemoryError as exc:
            got = exc
        finally:
            fail(-1, 0)
        # an optional allocation (the key cache) may fail without changing anything
        assert isinstance(got, MemoryError) or got == want, n
        assert call() == want


OOM_SCRIPT = """
import resource, sys, plav_core
def vm_bytes():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
# The index reserved up front takes about 2.1 bytes per input byte; a list of
# commas then grows to 4 bytes per input byte.
data, room = {
    "loads reserved index": (b"[" + b" " * (48 << 20) + b"0]", 64 << 20),
    "loads growing index": (b"[" + b"0," * (8 << 20) + b"0]", 48 << 20),
    "dumps output buffer": (["x" * (1 << 20)] * 400, 80 << 20),
}[sys.argv[1]]
call = (lambda: plav_core.loads(data)) if sys.argv[1].startswith("loads") else (lambda: plav_core.dumps(data))
limit = vm_bytes() + room
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
for attempt in range(2):
    try:
        call()
        print("no error")
    except MemoryError:
        print("MemoryError")
    print(plav_core.loads(b'[{"a": [1, 2.5]}]'), plav_core.dumps({"a": [1, "\u00e9"]}))
"""


@not_under_asan("address-space limits conflict with ASan's shadow memory")
@pytest.mark.parametrize(
    "case", ["loads reserved index", "loads growing index", "dumps output buffer"]
)
def test_out_of_address_space_is_a_memory_error(case):
    proc = subprocess.run(
        [sys.executable, "-c", OOM_SCRIPT, case], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.splitlines() == ["MemoryError", '[{\'a\': [1, 2.5]}] {"a":[1,"\u00e9"]}'] * 2


# ---- leaks and memory use ----

LEAK_CALLS = [
    *(
        lambda d=d: loads(d)
        for d in [
            b'{"id": 1, "name": "Ann", "tags": ["a", "b"], "score": 1.5, "ok": true}',
            b'[1, 2.5, "x\\n\\u00e9", null, {"k": [false]}, 12345678901234567890123]',
            b'[: id, name; 1, Ann; 2, "Bo" ]',
            b'{"a": [1, 2, {"b": "c", "d": [1, 2, x]}]}',
            b'[1, 2, "abc\\q"]',
            b'{"a": "\xff"}',
            b"[: a, b; 1, 2; 3 4 ]",
            b'{"a": 1, "b": "unterminated',
            b"[" * 2000,
            b"1" * 5000,
            b'[: a; "}";' + b"1;" * 300 + b" 2 ]",
        ]
    ),
    *(lambda d=d: loads(d, ["a", "b"]) for d in [b'[{"x": 1, "y": [1]}, {"x": 2}]', b'[{"x" 2}]']),
    *(
        lambda v=v, o=o: dumps(v, **o)
        for v in [
            {"id": 1, "tags": ["x", "\u00e9"], "score": 1.5, "big": 2**70},
            [{"a": 1, "b": "x"}, {"a": 2, "b": b"\x00"}],
            {"a": [1, {2, 3}]},
            ["\ud800"],
            [{"a": 1}, {"a": Model(1, lambda: 1 / 0)}] * 6,
            loads("[" * 300 + "]" * 300),
            [{1: "x"}, {1: "y"}],
        ]
        for o in ({}, {"indent": 2, "bare_strings": True})
    ),
]


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (resource.getpagesize() // 1024)


def run_all(n):
    for _ in range(n):
        for call in LEAK_CALLS:
            try:
                call()
            except (TypeError, ValueError, ZeroDivisionError):
                pass


LEAKS = "memory held in ASan's quarantine and shadow makes RSS no measure of leaks"


@not_under_asan(LEAKS)
def test_no_leak_on_success_and_failure_and_gc_state_kept():
    run_all(200)  # warm caches and allocator pools
    gc.collect()
    tracemalloc.start()
    try:
        before, rss_before = tracemalloc.take_snapshot(), rss_kib()
        gc.disable()
        run_all(1000)
        assert not gc.isenabled()
        gc.enable()
        run_all(1000)
        gc.collect()
        after, rss_after = tracemalloc.take_snapshot(), rss_kib()
    finally:
        gc.enable()
        tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename") if s.size_diff > 0)
    assert grown < 64 * 1024 and rss_after - rss_before < 2048


@not_under_asan(LEAKS)
def test_key_cache_is_released_at_thread_exit():
    keys = "{" + ", ".join(f'"key{i}": {i}' for i in range(2100)) + "}"
    for _ in range(50):
        in_thread(lambda: loads(keys))
    gc.collect()
    before = rss_kib()
    for _ in range(1000):  # each thread fills a cache of 2048 keys (about 200 KiB)
        in_thread(lambda: loads(keys))
    gc.collect()
    assert rss_kib() - before < 8 * 1024


MEMORY_SCRIPT = """
import gc, sys, plav_core
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
raw = open(sys.argv[1], "rb").read()
before = rss()
result = plav_core.loads(raw)
after = rss()
# VmHWM belongs to this process image (ru_maxrss would carry the parent's over exec).
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM"))
values = ["x" * (48 << 20), ["\\u00e9" + "y" * 64] * 200_000, {f"k{i}": i for i in range(200_000)}]
plav_core.dumps(values[2])
gc.collect()
kept = rss()
for value in values:
    plav_core.dumps(value)
gc.collect()
print(len(raw), before, after, peak, rss() - kept)
"""


@not_under_asan(LEAKS)
def test_peak_memory_of_loads_is_bounded_and_a_huge_dumps_keeps_nothing():
    # A fresh process: the high-water mark belongs to one loads call, and a fixed mmap
    # threshold makes glibc hand freed large blocks back, so that the thread's output
    # buffer, UTF-16 room and key forms must be small again after a call that grew them.
    path = max((DATA / "json").glob("*.json"), key=lambda p: p.stat().st_size)
    env = {**os.environ, "GLIBC_TUNABLES": "glibc.malloc.mmap_threshold=131072"}
    args = [sys.executable, "-c", MEMORY_SCRIPT, str(path)]
    out = subprocess.run(args, capture_output=True, text=True, check=True, env=env).stdout
    size, before, after, peak, kept = map(int, out.split())
    assert peak >= after >= before and peak - after < 3 * size
    assert kept < 24 * 1024 * 1024


# ---- threads ----


def test_threads_read_and_write_concurrently():
    names = ["twitter", "citm_catalog", "canada", "github_events", "mesh", "numbers"]
    raws = [(DATA / "json" / f"{n}.json").read_bytes() for n in names]
    docs = [
        {"id": t, "rows": [{"k": i, "v": f"t{t}-{i}"} for i in range(50)], "s": "\u00e9" * t}
        for t in range(6)
    ]
    expected = [(json.loads(r), dumps(d)) for r, d in zip(raws, docs)]
    errors = []
    barrier = threading.Barrier(len(names))

    def work(t):
        barrier.wait()
        for _ in range(3):
            if loads(raws[t]) != expected[t][0]:
                errors.append(names[t])
            if any(dumps(docs[t]) != expected[t][1] for _ in range(60)):
                errors.append(t)

    run_threads(work, len(names))
    assert errors == []


def test_many_short_lived_threads():
    errors = []

    def body(i):
        try:
            doc = dumps([{"id": i, "name": f"n{i}"}, {"id": i + 1, "name": "x"}] * 3)
            assert loads(doc)[0] == {"id": i, "name": f"n{i}"}
            assert loads(b'{"k%d": [1, 2.5, "s"]}' % (i % 50)) == {f"k{i % 50}": [1, 2.5, "s"]}
            if i % 7 == 0:
                dumps("x" * 100000)  # grows this thread's buffer before it exits
            if i % 11 == 0:
                dumps({"k": Model(1, lambda: {}["missing"])})  # the thread ends in a failure
        except KeyError:
            pass
        except BaseException as exc:  # noqa: BLE001 - collected for the assert
            errors.append(exc)

    for batch in range(20):
        run_threads(lambda i: body(batch * 10 + i), 10)
    assert not errors and dumps([1, 2]) == "[1,2]"


FINALISATION_SCRIPT = """
import threading, time
import plav_core
plav_core.loads(b'{"main": 1}')
doc = b'[' + b','.join(b'{"k": [1, 2.5, "v"]}' for _ in range(4000)) + b']'
class Model:
    def model_dump(self):
        return {"a": [i for i in range(50)], "b": ["\u00e9t\u00e9"] * 20}
def read():
    while True:
        plav_core.loads(doc)
def write():
    models = [Model() for _ in range(200)]
    while True:
        plav_core.dumps(models)
threading.Thread(target=read, daemon=True).start()
threading.Thread(target=write, daemon=True).start()
time.sleep(0.05)
print("done")
"""


def test_caches_are_released_safely_at_interpreter_exit():
    # The main thread's cache goes at finalisation, the daemon threads' while they
    # are still running. CPython ends a daemon thread that re-takes the GIL during
    # shutdown (after the scan without the GIL, or inside a model's Python method);
    # neither that nor the caches may crash the interpreter.
    for _ in range(5):
        args = [sys.executable, "-c", FINALISATION_SCRIPT]
        out = subprocess.run(args, capture_output=True, text=True, timeout=60)
        assert (out.returncode, out.stdout.strip()) == (0, "done"), out.stderr


def test_only_large_inputs_let_other_threads_run_during_loads():
    # A CPU-bound thread counts while the main thread makes a chain of C calls that
    # runs no bytecode of its own: the count can only move if loads hands over the
    # GIL. Small inputs keep it (another thread could hold it for a whole switch
    # interval); large ones give it up for the scan, so that threads scan in parallel.
    import itertools
    import operator

    ticks, stop = itertools.count(), threading.Event()

    def spin():
        for i in ticks:
            if not i & 0x3FF and stop.is_set():
                break

    def moved(doc, calls):
        funcs, args = [repr] + [loads] * calls + [repr], [ticks] + [doc] * calls + [ticks]
        seen = list(map(operator.call, funcs, args))
        return seen[-1] != seen[0]

    small = [b'{"id": 7, "text": "short", "tags": ["a"]}', b"[" + b"1," * 20000 + b"1]"]
    large = b" " * (32 << 20) + b"1"  # a scan of milliseconds, whatever the host's load
    thread = threading.Thread(target=spin)
    thread.start()
    try:
        while repr(ticks) == "count(0)":
            pass
        assert not any(moved(doc, 300) for doc in small)
        assert any(moved(large, 1) for _ in range(20))
    finally:
        stop.set()
        thread.join()


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
