"""Allocation failures inside loads and dumps: a short sweep (the full one is
`./dev.sh faults`). The sweep runs in a subprocess so that a crash is reported
as a failed test with its output, not as the end of the test run."""

import subprocess
import sys

import pytest
from conftest import ROOT, SANITIZED, not_under_asan

_testcapi = pytest.importorskip("_testcapi", reason="needs CPython's _testcapi")


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
    """A key whose creation failed is not remembered as invalid: the same keys
    read correctly on the next call on this thread."""
    from plav_core import loads

    doc = b'{"alpha": 1, "beta": [2], "gamma": {"alpha": 3}}'
    want = {"alpha": 1, "beta": [2], "gamma": {"alpha": 3}}
    for start in range(40):
        _testcapi.set_nomemory(start, 0)
        try:
            loads(doc)
        except (MemoryError, ValueError, RuntimeError):
            pass
        finally:
            _testcapi.remove_mem_hooks()
        assert loads(doc) == want
        assert loads(b"[: alpha, beta; 1, 2 ]") == [{"alpha": 1, "beta": 2}]


# ---- the module's own allocations ----


def own_allocation_hook():
    """The test build's allocation-failure hook: fail(start, stop) refuses the
    module's own allocations numbered [start, stop) from now (start -1: none) and
    returns how many were counted since the previous call."""
    import ctypes

    import plav_core

    fn = ctypes.CDLL(plav_core.__file__).plav_testing_fail_allocations
    fn.argtypes = [ctypes.c_int64, ctypes.c_int64]
    fn.restype = ctypes.c_int64
    return fn


ROWS = [{"id": i, "name": f"n\u00e9{i}", "score": i / 4} for i in range(40)]
OWN_CASES = {  # every allocation of ours each call makes, failed in turn
    "loads grid and escapes": lambda m: m.loads(
        b'{"k": [: a, b; x\\;y, "q\\n\\u00e9"; 1, 12345678901234567890123 ], "l": [[1], [2]]}'
    ),
    "loads large array": lambda m: m.loads(b"[" + b'"s\\t", ' * 3000 + b"0]"),
    "dumps grid": lambda m: m.dumps(ROWS),
    "dumps nested and keys": lambda m: m.dumps(
        {"k\u00e9": [ROWS[:3], {1: "x" * 20000}], "b": b"\x00" * 5000}, indent=2
    ),
    "dumps subclass header keys": lambda m: m.dumps(
        [{type("S", (str,), {})("id"): i, "n": "v"} for i in range(20)]
    ),
}


@pytest.mark.parametrize("case", OWN_CASES.values(), ids=OWN_CASES)
def test_each_own_allocation_failing_raises_memory_error(case):
    import plav_core

    fail = own_allocation_hook()
    want = case(plav_core)
    fail(1 << 62, 0)  # a schedule that never fires: the call allocates afresh
    case(plav_core)
    count = fail(-1, 0)
    assert count > 0
    for n in range(count):
        fail(n, n + 1)
        try:
            got = case(plav_core)
        except MemoryError as exc:
            got = exc
        finally:
            fail(-1, 0)
        # an optional allocation (the key cache) may fail without changing anything
        assert isinstance(got, MemoryError) or got == want, n
        assert case(plav_core) == want


def test_the_hook_is_not_a_name_of_the_module():
    import plav_core

    assert not [n for n in dir(plav_core) if "testing" in n or "alloc" in n]


# ---- running out of address space ----

OOM_SCRIPT = """
import resource, sys, plav_core
def vm_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
case = sys.argv[1]
# The index reserved up front takes about 2.1 bytes per input byte; a list of
# commas then grows to 4 bytes per input byte.
if case == "loads reserved index":
    data = b"[" + b" " * (48 << 20) + b"0]"
    call, room = lambda: plav_core.loads(data), 64 << 20
elif case == "loads growing index":
    data = b"[" + b"0," * (8 << 20) + b"0]"
    call, room = lambda: plav_core.loads(data), 48 << 20
else:
    data = ["x" * (1 << 20)] * 400
    call, room = lambda: plav_core.dumps(data), 80 << 20
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
        [sys.executable, "-c", OOM_SCRIPT, case],
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    after = '[{\'a\': [1, 2.5]}] {"a":[1,"\u00e9"]}'
    assert proc.stdout.splitlines() == ["MemoryError", after] * 2
