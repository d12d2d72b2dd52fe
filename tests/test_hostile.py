"""Hostile callers, allocation failures, out of memory, leaks, threads, fuzz corpora."""

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
from conftest import (
    DATA,
    ROOT,
    SANITIZED,
    Model,
    fault_sweep,
    in_thread,
    internal_failure,
    not_under_asan,
    run_threads,
)

import plav
import plav_core
from plav_core import dumps, loads

# ---- Python code that changes what dumps is writing ----

# Each script once crashed the writer (a borrowed pointer used after Python code freed it).
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
    message = "TypeError Object of type 'object' is not JSON serializable"
    assert proc.stdout.splitlines() == [message, "[1]"]


TRACKED, JUNK = [], []


class Payload:  # a written value whose death is checked after each case
    def __init__(self, tag):
        self.tag = tag
        if tag != "junk":
            TRACKED.append(weakref.ref(self))

    def model_dump(self):
        return {"tag": self.tag}


def free_and_reuse():  # refills freed memory with look-alikes for a dangling pointer
    gc.collect()
    JUNK[:] = [Payload("junk") for _ in range(2000)] + [{"a": "junk"} for _ in range(2000)]


def hostile_key(act, where, text="k", armed=False):
    """A non-str dict key whose __str__, __hash__ or __eq__ runs `act`, once it is armed."""

    def run(self, name, result):
        if self.armed and name == where:
            act()
        return result

    methods = {"__hash__": lambda s: run(s, "hash", hash(text)), "armed": armed}
    methods |= {
        "__str__": lambda s: run(s, "str", text),
        "__eq__": lambda s, o: run(s, "eq", s is o),
    }
    return type("Key", (), methods)()


class HeaderKey(str):  # its __eq__ (run by the grid lookups) runs `act`, once
    act = staticmethod(lambda: None)
    __hash__ = str.__hash__

    def __eq__(self, other):
        act, self.act = self.act, lambda: None
        act()
        return str.__eq__(self, other)


class LyingDict(dict):
    __len__ = lambda s: 99
    __iter__ = keys = lambda s: iter(["ghost"])


class As:  # what dumps must write: its text for `value`, with the options and `extra`
    def __init__(self, value, **extra):
        self.value, self.extra = value, extra


def keyed(change):  # a dict with a key whose __str__ changes the dict
    d = {"a": 1}
    d[hostile_key(lambda: (change(d), free_and_reuse()), "str", armed=True)] = Payload("old")
    d["z"] = "s"
    return d


def looked_up(where):
    """Grid rows, one with a key hashing like header "b" whose __hash__/__eq__ replaces them."""
    rows = [{"a": i, "b": Payload(i)} for i in range(12)]
    key = hostile_key(
        lambda: (rows.__setitem__(slice(None), [{"a": 0}] * 12), gc.collect()), where, "b"
    )
    rows[5] = {"a": 5, key: 1}
    key.armed = True
    return rows


def header_keyed(change, at=20):
    """Rows with one row out of header order: the lookup of "b" runs change(rows, at)."""
    rows = [{"a": i, "b": f"v{i}"} for i in range(60)]
    key = HeaderKey("b")
    rows[at] = {key: Payload("p") if at > 10 else at, "a": Payload("cell") if at == 20 else at}
    key.act = lambda: (change(rows, at), free_and_reuse())
    return rows


def cut(rows, at):  # the list ends early
    del rows[at:]
    rows[0].clear()


def first_row_replaced():  # a later row's lookup replaces the first row (the header)
    rows = [{HeaderKey("id"): 0, HeaderKey("name"): "n0"}]
    later = HeaderKey("id")
    later.act = lambda: (rows.__setitem__(0, {"id": 0, "name": "n0"}), free_and_reuse())
    rows += [{later: i, "name": f"n{i}"} for i in range(1, 12)]
    return rows, As([{"id": i, "name": f"n{i}"} for i in range(12)])


def converted(data, *path, act, payload=None):
    """`data` with the member at `path` replaced by a model whose conversion runs act(data)."""
    *inner, last = path
    target = data
    for step in inner:
        target = target[step]
    payload = {"m": 1} if payload is None else payload
    target[last] = Model(payload, lambda: (act(data), free_and_reuse()))
    return data


def earlier_rows_replaced():
    rows = [Model({"id": i}) for i in range(12)]
    converted(rows, 6, act=lambda d: d.__setitem__(slice(6), [Model({})] * 6), payload={"id": 6})
    return rows, As([{"id": i} for i in range(12)])  # each converted as it was read


def first_row_dropped():
    # The first row is a dict: the list is a plain array, its first row as it was read.
    rows = [{"id": 0}] + [Model({"id": i}) for i in range(1, 12)]
    rows[3].act = lambda: (rows.__setitem__(0, {"o": Payload("x")}), gc.collect())
    return rows, As([{"id": i} for i in range(12)], mox_grid=False)


def shared_dict():
    shared = {}
    return [Model(shared, lambda i=i: shared.__setitem__("id", i)) for i in range(10)], As(
        [{"id": 9}] * 10
    )


def lying_dicts():
    value = {"d": LyingDict(a=1, b=[2]), "r": [LyingDict(a=i) for i in range(12)]}
    return value, As({"d": {"a": 1, "b": [2]}, "r": [{"a": i} for i in range(12)]})


def dropped(before):
    # Members before the converted one are written while the parent still owns the list.
    outer = {"inner": None}
    outer["inner"] = [*before, Model(0, lambda: outer.__setitem__("inner", None)), "e" * 40]
    return outer, As({"inner": [*before, 0, "e" * 40]})


def lean_row_cleared():
    rows = [{"a": 0, "b": "x" * 40, "c": [math.pi]}, {"a": 1, "b": "y", "c": []}]
    want = As([{**rows[0], "a": {"gone": 1}}, rows[1]])
    return converted(rows, 0, "a", act=lambda d: d[0].clear(), payload={"gone": 1}), want, LEAN


def tz_clearing():
    data = {"k": [{"a": i, "b": i} for i in range(30)], "x": [1, 2, 3]}
    clear = lambda s, w: (data["k"].clear(), data.clear(), dt.timedelta(0))[2]
    tz = type("Tz", (dt.tzinfo,), {"utcoffset": clear})
    data["k"][3]["a"] = dt.datetime(2024, 1, 1, tzinfo=tz())
    return data, ANY, SORTED


def enum_valued():
    holder = {}
    evil = enum.Enum("Evil", {"A": 1})
    evil.value = property(lambda s: (holder.clear(), [object() for _ in range(3)], "gone")[2])
    holder.update(v=evil.A, w=[1])
    return holder, As({"v": "gone", "w": [1]}), SORTED


def default_clearing():
    rows = [{"p": object(), "q": 1}] + [{"p": 1, "q": 1}] * 70
    return rows, ANY, {"default": lambda obj: (rows.clear(), ["x"])[1]}


ANY = ("text", "IndexError", "TypeError", "InternalFailure")  # no crash, nothing else
OLD = {"a": 1, "k": {"tag": "old"}}
CELLS = As([{"a": i, "b": f"v{i}"} for i in range(60)])
CELLS.value[20] = {"a": {"tag": "cell"}, "b": "new"}  # each cell as it was when found
SORTED, LEAN = {"sort_keys": True}, plav.LEAN

# name: () -> (value, the outcomes allowed: what dumps writes or raises, extra options)
CASES = {
    "key str replaces every value": lambda: (
        keyed(lambda d: d.update(dict.fromkeys(d, 0))),
        As(OLD | {"z": 0}),
    ),
    "key str clears the dict": lambda: (keyed(dict.clear), "InternalFailure"),
    "key str clears the sorted dict": lambda: (keyed(dict.clear), As(OLD | {"z": "s"}), SORTED),
    "key hash replaces the rows": lambda: (looked_up("hash"), ANY),
    "key eq replaces the rows": lambda: (looked_up("eq"), ANY),
    "header key eq replaces the row's cells": lambda: (
        header_keyed(lambda r, at: r[at].update(a="new", b="new")),
        CELLS,
    ),
    "header key eq replaces the first row": lambda: (
        header_keyed(lambda r, at: r.__setitem__(0, {"a": 1})),
        ANY,
    ),
    "header key eq clears the rows": lambda: (header_keyed(lambda r, at: r.clear()), ANY),
    "header key eq frees the first row and header": first_row_replaced,
    "header key eq cuts the rows in detection": lambda: (header_keyed(cut, at=3), "IndexError"),
    "header key eq cuts the rows in writing": lambda: (header_keyed(cut, at=55), "IndexError"),
    "model dump replaces earlier rows": earlier_rows_replaced,
    "model dump replaces the first row": first_row_dropped,
    "model dump hands out one dict changed by every call": shared_dict,
    "dict subclass lies about its members": lying_dicts,
    "model dump adds to its dict": lambda: (
        converted({"a": 1, "b": 0}, "b", act=lambda d: d.update(n=3)),
        "InternalFailure",
    ),
    "model dump clears its list": lambda: (
        converted([1, 0, 3, 4], 1, act=list.clear),
        As([1, {"m": 1}]),
    ),
    "model dump frees the list being written": lambda: (
        {"i": converted([0] + [{"x": "a" * 100}] * 20, 0, act=list.clear)},
        ("IndexError", "TypeError", As({"i": [{"m": 1}]})),
    ),
    "model dump drops its list from the parent": lambda: dropped([1, "s" * 40]),
    "grid cell model dump cuts the rows": lambda: (
        converted([{"a": i, "m": 0} for i in range(30)], 15, "m", act=lambda d: cut(d, 20)),
        "IndexError",
    ),
    "lean cell model dump clears its row": lean_row_cleared,
    "model dump calls dumps": lambda: (
        converted({"k": 0}, "k", act=lambda d: dumps([1])),
        "InternalFailure",
    ),
    "utcoffset clears the containers": tz_clearing,
    "enum value clears its sorted dict": enum_valued,
    "default clears the rows": default_clearing,
}


def outcome(value, options):  # what dumps wrote, or the name of what it raised
    try:
        return dumps(value, **options)
    except Exception as exc:  # noqa: BLE001 - named for the comparison
        return type(exc).__name__
    except BaseException as exc:
        if not internal_failure(exc):
            raise
        return "InternalFailure"


LAYOUTS = dict(compact={}, indent={"indent": 2}, multiline={"multiline_mox": True})
LAYOUTS["unquoted"] = {"unquoted_keys": True, "indent": 1}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS)
@pytest.mark.parametrize("build", CASES.values(), ids=CASES)
def test_python_code_changing_what_is_written(build, layout):
    value, want, *options = build()
    options = {**(options[0] if options else {}), **layout}
    got = outcome(value, options)
    del value  # what was written must die with it
    for w in want if isinstance(want, tuple) else (want,):
        if isinstance(w, As) and got == dumps(w.value, **{**options, **w.extra}):
            break
        if got == w or (w == "text" and got[:1] in "[{"):
            break
    else:
        raise AssertionError(f"{got!r} is none of {want!r}")
    JUNK.clear()
    gc.collect()
    assert [r for r in TRACKED if r() is not None] == []  # nothing written was leaked
    TRACKED.clear()
    assert dumps([{"a": 1}, {"a": 2}], **layout)  # the thread writes on


class LyingInt(int):
    __str__ = __repr__ = lambda s: '1, "injected": 2'
    __format__ = lambda s, fmt: "]"
    __index__ = __int__ = lambda s: 0


class LyingFloat(float):
    __str__ = __repr__ = lambda s: '1, "injected": 2'
    __float__ = lambda s: 0.0


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
    # Under ASan the interpreter's block count (--leaks) measures nothing.
    leaks = [] if SANITIZED else ["--leaks"]
    sweep = [sys.executable, str(ROOT / "fuzz" / "fault_sweep.py"), "--quick", *leaks]
    proc = subprocess.run(sweep, capture_output=True, text=True, timeout=900)
    report = proc.stdout[-3000:] + proc.stderr[-5000:]
    assert proc.returncode == 0 and "sweep passed" in proc.stdout, report
    assert SANITIZED or "allocated blocks before/after" in proc.stdout, report


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
    # every position, one at a time and four from each (the test build's hook; no module name)
    assert not [n for n in dir(plav_core) if "testing" in n or "alloc" in n]
    sweep = fault_sweep.Sweep(stride=1, dense=0)
    assert sweep.check_own("own", call, call(), fault_sweep.own_allocation_hook()) > 0
    assert sweep.failures == []


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
    proc = subprocess.run([sys.executable, "-c", OOM_SCRIPT, case], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.splitlines() == ["MemoryError", '[{\'a\': [1, 2.5]}] {"a":[1,"\u00e9"]}'] * 2


# ---- leaks and memory use ----

LEAK_DOCS = [b'{"id": 1, "tags": ["a"], "n": 1.5, "ok": true}', b'[: id, name; 1, Ann; 2, "Bo" ]']
LEAK_DOCS += [b'[1, {"d": [1, x]}]', b'["abc\\q"]', b'{"a": "\xff"}', b"[: a; 3 4 ]", b'{"a": "ab']
LEAK_DOCS += [b"[" * 2000, b"1" * 5000, b'[: a; "}";' + b"1;" * 300 + b" 2 ]"]
LEAK_VALUES = [{"t": ["x", "\u00e9"], "big": 2**70}, [{"a": 1}, {"a": b"\x00"}], ["\ud800"]]
LEAK_VALUES += [{"a": [1, {2}]}, [{"a": 1}, {"a": Model(1, lambda: 1 / 0)}] * 6, [{1: "x"}] * 2]
LEAK_CALLS = [lambda d=d: loads(d) for d in LEAK_DOCS] + [lambda: loads(b'[{"x" 2}]', ["a"])]
LEAK_CALLS += [lambda v=v: dumps(v) for v in LEAK_VALUES + [loads("[" * 300 + "]" * 300)]]
LEAK_CALLS += [lambda v=v: dumps(v, indent=2, bare_strings=True) for v in LEAK_VALUES]


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


KEYS = "{" + ", ".join(f'"key{i}": {i}' for i in range(2100)) + "}"


@not_under_asan("memory held in ASan's quarantine and shadow makes RSS no measure of leaks")
def test_no_leak_on_success_and_failure_nor_at_thread_exit():
    run_all(200)  # warm caches and allocator pools
    for _ in range(50):
        in_thread(lambda: loads(KEYS))
    gc.collect()
    tracemalloc.start()
    try:
        before, rss_before = tracemalloc.take_snapshot(), rss_kib()
        gc.disable()
        run_all(1000)
        assert not gc.isenabled()  # the module leaves the collector as it was
        gc.enable()
        run_all(1000)
        gc.collect()
        after, rss_after = tracemalloc.take_snapshot(), rss_kib()
    finally:
        gc.enable()
        tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename") if s.size_diff > 0)
    assert grown < 64 * 1024 and rss_after - rss_before < 2048
    for _ in range(1000):  # each thread fills a key cache of 2048 keys (about 200 KiB)
        in_thread(lambda: loads(KEYS))
    gc.collect()
    assert rss_kib() - rss_after < 8 * 1024


# ---- threads ----


def test_threads_read_and_write_concurrently():
    names = ["twitter", "citm_catalog", "canada", "github_events", "mesh", "numbers"]
    raws = [(DATA / "json" / f"{n}.json").read_bytes() for n in names]
    docs = [[{"k": i, "v": f"t{t}", "s": "é" * t} for i in range(50)] for t in range(6)]
    expected = [(json.loads(r), dumps(d)) for r, d in zip(raws, docs)]
    errors, barrier = [], threading.Barrier(len(names))

    def work(t):
        barrier.wait()
        for n in range(60):
            if loads(raws[t]) != expected[t][0] if n < 3 else dumps(docs[t]) != expected[t][1]:
                errors.append(names[t])

    run_threads(work, len(names))
    assert errors == []


FINALISATION_SCRIPT = """
import threading, time, plav_core
plav_core.loads(b'{"main": 1}')
doc = b'[' + b','.join(b'{"k": [1, 2.5, "v"]}' for _ in range(4000)) + b']'
model = type("M", (), {"model_dump": lambda s: {"a": list(range(50)), "b": ["\u00e9t\u00e9"] * 20}})
for target, args in ((plav_core.loads, doc), (plav_core.dumps, [model() for _ in range(200)])):
    threading.Thread(target=lambda f=target, a=args: [f(a) for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.05)
print("done")
"""


def test_caches_are_released_safely_at_interpreter_exit():
    # caches are freed at finalisation while daemon threads still run
    for _ in range(5):
        args = [sys.executable, "-c", FINALISATION_SCRIPT]
        out = subprocess.run(args, capture_output=True, text=True, timeout=60)
        assert (out.returncode, out.stdout.strip()) == (0, "done"), out.stderr


@pytest.mark.parametrize("target", ["loads", "dumps"])
def test_fuzz_corpus_replays_cleanly(target):
    corpus = ROOT / "fuzz" / "corpus" / target
    files = sorted(corpus.iterdir())
    assert files, f"{corpus} is empty"
    args, env = [sys.executable, ROOT / "fuzz" / f"fuzz_{target}.py", corpus], os.environ.copy()
    env["PLAV_FUZZ_REPLAY"] = "1"
    proc = subprocess.run(args, env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
    assert f"replayed {len(files)} inputs" in proc.stdout
