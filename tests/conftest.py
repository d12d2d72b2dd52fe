import os
import pathlib
import sys
import threading

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"

settings.register_profile("default", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile(
    "ci", deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile("ci" if os.environ.get("CI") == "true" else "default")

# Set under ASan+UBSan (`./dev.sh sanitize`, `./dev.sh faults`): more stack, no RSS checks.
SANITIZED = os.environ.get("PLAV_SANITIZED") == "1"

# The fuzzers' checks and rules, shared so that the two cannot drift.
sys.path.insert(0, str(ROOT / "fuzz"))
import fault_sweep  # noqa: F401
import fuzz_loads  # noqa: F401
import harness
from harness import FixedTz, Model, Point, lying, same_or_null_filled  # noqa: F401
from harness import is_internal_failure as internal_failure  # noqa: F401

sys.path.pop(0)

# JSON-shaped values: every scalar type, big integers, any float, any text.
SCALARS = st.none() | st.booleans() | st.integers() | st.integers(-(2**200), 2**200)
JSON_VALUES = st.recursive(
    SCALARS | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.text(), inner, max_size=6),
    max_leaves=40,
)


def words(text, sep=None):
    """A compact way to write a list of strings."""
    return text.split(sep)


def not_under_asan(reason):
    """Marks a test that cannot hold under the ASan build, saying why."""
    return pytest.mark.skipif(SANITIZED, reason=f"under ASan: {reason}")


def parse_error(message, position):
    """The ValueError text of a syntax error at a byte position."""
    return f"{message} (approximate position: \u00b132 bytes from {position})"


def error_of(data, *args, decode=None, **options):
    """The ValueError (of one message) that `decode` (loads) raises on `data`."""
    from plav_core import loads

    with pytest.raises(ValueError) as info:
        (decode or loads)(data, *args, **options)
    assert info.value.args == (str(info.value),)
    return info.value


def same(a, b):
    """Type-exact equality: key order, float bits (NaN equals NaN), bool is not int."""
    return harness.same(a, b, ordered=True)


def in_thread(fn, stack_size=0):
    """Runs fn on a new thread (optionally with a small stack): {"result"} or {"error"}."""
    out, old = {}, threading.stack_size(stack_size)

    def body(_):
        try:
            out["result"] = fn()
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            out["error"] = exc

    try:
        run_threads(body, 1)
    finally:
        threading.stack_size(old)
    return out


def run_threads(fn, n):
    threads = [threading.Thread(target=fn, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
