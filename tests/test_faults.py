"""Allocation failures inside loads and dumps: a short sweep (the full one is
`./dev.sh faults`). The sweep runs in a subprocess so that a crash is reported
as a failed test with its output, not as the end of the test run."""

import subprocess
import sys

import pytest

from conftest import ROOT, SANITIZED

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
