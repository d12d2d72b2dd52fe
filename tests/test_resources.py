"""Memory and threads: no leak on success or failure of loads and dumps, the key
cache released at thread exit, bounded peak memory, correct results under threads."""

import gc
import json
import os
import resource
import subprocess
import sys
import tracemalloc

import pytest
from conftest import DATA, in_thread, not_under_asan, run_threads

from plav_core import dumps, loads

SMALL_DOCS = [
    b'{"id": 1, "name": "Ann", "tags": ["a", "b"], "score": 1.5, "ok": true}',
    b'[1, 2.5, "x\\n\\u00e9", null, {"k": [false]}, 12345678901234567890123]',
    b'[: id, name; 1, Ann; 2, "Bo" ]',
]
FAILING_DOCS = [
    b'{"a": [1, 2, {"b": "c", "d": [1, 2, x]}]}',
    b'[1, 2, "abc\\q"]',
    b'{"a": "\xff"}',
    b"[[[[1e5.3]]]]",
    b"[: a, b; 1, 2; 3 4 ]",
    b'{"a": 1, "b": "unterminated',
    b"[" * 2000,
    b"1" * 5000,
    b"[: a; x\xff ]",
    b'[: a; "}";' + b"1;" * 300 + b" 2 ]",
]
SCHEMA_DOCS = [
    b'[{"x": 1, "y": [1, 2]}, {"x": 2}]',
    b'[{"x": 1}, {"x": 2, "y": 3, "z": 4}]',
    b'[{"x": 1, "y": [1, 2]}, {"x" 2}]',
]


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (resource.getpagesize() // 1024)


class Boom:
    def model_dump(self):
        raise ValueError("boom")


DUMPS_VALUES = [
    {"id": 1, "name": "Ann", "tags": ["x", "\u00e9"], "score": 1.5, "big": 2**70},
    [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}],
    [1, 2.5, None, True, b"\x00"],
]
DUMPS_FAILING = [
    {"a": [1, {2, 3}]},
    ["\ud800"],
    [{"a": 1}, {"a": Boom()}] * 6,
    loads("[" * 300 + "]" * 300),
    [{1: "x"}, {1: "y"}],
]


CALLS = (
    [lambda d=d: loads(d) for d in SMALL_DOCS + FAILING_DOCS]
    + [lambda d=d: loads(d, ["a", "b"]) for d in SCHEMA_DOCS]
    + [
        lambda v=v, o=o: dumps(v, **o)
        for v in DUMPS_VALUES + DUMPS_FAILING
        for o in ({}, {"indent": 2, "bare_strings": True})
    ]
)


def run_all(n):
    for _ in range(n):
        for call in CALLS:
            try:
                call()
            except (TypeError, ValueError):
                pass


@not_under_asan("memory held in ASan's quarantine and shadow makes RSS no measure of leaks")
def test_no_leak_on_success_and_failure():
    run_all(200)  # warm caches and allocator pools
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        rss_before = rss_kib()
        run_all(2000)
        gc.collect()
        after = tracemalloc.take_snapshot()
        rss_after = rss_kib()
    finally:
        tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename") if s.size_diff > 0)
    assert grown < 64 * 1024
    assert rss_after - rss_before < 2048


@not_under_asan("memory held in ASan's quarantine and shadow makes RSS no measure of leaks")
def test_key_cache_is_released_at_thread_exit():
    keys = "{" + ", ".join(f'"key{i}": {i}' for i in range(2100)) + "}"

    def batch(n):
        for _ in range(n):
            in_thread(lambda: loads(keys))

    batch(50)
    gc.collect()
    before = rss_kib()
    batch(1000)  # each thread fills a cache of 2048 keys (about 200 KiB of its own memory)
    gc.collect()
    assert rss_kib() - before < 8 * 1024


KEEP_SCRIPT = """
import gc
from plav_core import dumps
def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4
values = ["x" * (48 << 20), ["\\u00e9" + "y" * 64] * 200_000, {f"k{i}": i for i in range(200_000)}]
dumps(values[2])
gc.collect()
before = rss_kib()
for value in values:
    dumps(value)
gc.collect()
print(rss_kib() - before)
"""


@not_under_asan("memory held in ASan's quarantine and shadow makes RSS no measure of leaks")
def test_one_huge_dumps_keeps_no_memory():
    # The thread's output buffer, its UTF-16 room and its key forms stay small after
    # a call that needed them large. A fresh process with a fixed mmap threshold, so
    # that glibc hands freed large blocks back instead of keeping them in its heap.
    env = {**os.environ, "GLIBC_TUNABLES": "glibc.malloc.mmap_threshold=131072"}
    out = subprocess.run(
        [sys.executable, "-c", KEEP_SCRIPT], capture_output=True, text=True, check=True, env=env
    ).stdout
    assert int(out) < 24 * 1024


def test_threads_read_different_files_correctly():
    names = [
        "twitter",
        "citm_catalog",
        "canada",
        "github_events",
        "mesh",
        "numbers",
        "update-center",
        "gsoc-2018",
    ]
    raws = [(DATA / "json" / f"{n}.json").read_bytes() for n in names]
    expected = [json.loads(r) for r in raws]
    errors = []

    def work(i):
        for _ in range(3):
            if loads(raws[i]) != expected[i]:
                errors.append(names[i])

    run_threads(work, len(names))
    assert errors == []


PEAK_SCRIPT = """
import resource, sys
import plav_core
raw = open(sys.argv[1], "rb").read()
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()
before = rss()
result = plav_core.loads(raw)
after = rss()
# VmHWM belongs to this process image (ru_maxrss would carry the parent's over exec).
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM"))
print(len(raw), before, after, peak)
"""


def test_peak_memory_beyond_the_result_is_bounded():
    # In a fresh process, so that the high-water mark belongs to this one call.
    path = max((DATA / "json").glob("*.json"), key=lambda p: p.stat().st_size)
    out = subprocess.run(
        [sys.executable, "-c", PEAK_SCRIPT, str(path)], capture_output=True, text=True, check=True
    ).stdout
    size, before, after, peak = map(int, out.split())
    assert peak >= after >= before
    assert peak - after < 3 * size


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
        out = subprocess.run(
            [sys.executable, "-c", FINALISATION_SCRIPT], capture_output=True, text=True, timeout=60
        )
        assert (out.returncode, out.stdout.strip()) == (0, "done"), out.stderr


@pytest.mark.parametrize("gc_enabled", [True, False])
def test_gc_state_is_restored(gc_enabled):
    (gc.enable if gc_enabled else gc.disable)()
    try:
        loads(b'[{"a": [1, 2]}]')
        with pytest.raises(ValueError):
            loads(b'[{"a": [1, 2]}')
        assert gc.isenabled() is gc_enabled
    finally:
        gc.enable()


def test_only_large_inputs_let_other_threads_run_during_loads():
    # A CPU-bound thread counts while the main thread makes a chain of C calls that
    # runs no bytecode of its own: the count can only move if loads hands over the
    # GIL. Small inputs keep it (another thread could hold it for a whole switch
    # interval); large ones give it up for the scan, so that threads scan in parallel.
    import itertools
    import operator
    import threading

    ticks, stop = itertools.count(), threading.Event()

    def spin():
        for i in ticks:
            if not i & 0x3FF and stop.is_set():
                break

    def moved(doc, calls):
        funcs = [repr] + [loads] * calls + [repr]
        args = [ticks] + [doc] * calls + [ticks]
        seen = list(map(operator.call, funcs, args))
        return seen[-1] != seen[0]

    small = [
        b'{"id": 7, "text": "short message", "tags": ["a", "b"]}',
        b"[" + b"1," * 20000 + b"1]",
    ]  # 40 KB
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
