"""Allocation failures inside loads and dumps: a short sweep (the full one is
`./dev.sh faults`). The sweep runs in a subprocess so that a crash is reported
as a failed test with its output, not as the end of the test run."""

import os
import subprocess
import sys

import pytest

from conftest import ROOT, SANITIZED

_testcapi = pytest.importorskip("_testcapi", reason="needs CPython's _testcapi")


def run_sweep(*args):
    return subprocess.run(
        [sys.executable, str(ROOT / "fuzz" / "fault_sweep.py"), *args],
        capture_output=True, text=True, timeout=900, env=dict(os.environ),
    )


def test_short_allocation_failure_sweep():
    proc = run_sweep("--quick")
    report = proc.stdout[-3000:] + proc.stderr[-5000:]
    assert proc.returncode == 0, report
    assert "sweep passed" in proc.stdout, report


@pytest.mark.skipif(SANITIZED, reason="under ASan: Python's allocator is bypassed, so the "
                    "interpreter's block count measures nothing")
def test_sweep_leaves_no_blocks_behind():
    proc = run_sweep("--quick", "--leaks")
    report = proc.stdout[-3000:] + proc.stderr[-5000:]
    assert proc.returncode == 0, report
    assert "allocated blocks before/after" in proc.stdout, report


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
