"""dumps output read back: by the stdlib json module (plain JSON, type-exact) and
by plav.loads; plus leak checks for repeated calls."""

import gc
import json
import math
import struct
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import plav
from conftest import DATA, not_under_asan


def same(a, b):
    """Equality that also demands equal types, key order and float bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(2**200), max_value=2**200)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text()
)
json_values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.text(), inner, max_size=6),
    max_leaves=40,
)


@given(json_values)
def test_stdlib_reads_compact_output(value):
    assert same(json.loads(plav.dumps(value, mox_grid=False)), value)


@given(json_values)
def test_stdlib_reads_indented_output(value):
    text = plav.dumps(value, mox_grid=False, indent=2)
    assert same(json.loads(text), value)
    assert text == json.dumps(value, indent=2, ensure_ascii=False) or not is_float_free(value)


def is_float_free(value):
    if isinstance(value, float):
        return False
    if isinstance(value, list):
        return all(is_float_free(v) for v in value)
    if isinstance(value, dict):
        return all(is_float_free(v) for v in value.values())
    return True


@pytest.mark.parametrize("name", ["twitter", "citm_catalog", "canada", "github_events"])
def test_corpus_files_round_trip_through_stdlib(name):
    with open(DATA / "json" / f"{name}.json", encoding="utf-8") as f:
        value = json.load(f)
    assert same(json.loads(plav.dumps(value, mox_grid=False)), value)
    assert same(json.loads(plav.dumps(value, mox_grid=False, indent=1)), value)


def loads_available():
    try:
        return plav.loads("[1]") == [1]
    except NotImplementedError:
        return False


needs_loads = pytest.mark.skipif(not loads_available(), reason="loads is not built on this branch")


@needs_loads
@given(json_values)
def test_loads_reads_dumps(value):
    assert same(plav.loads(plav.dumps(value, mox_grid=False)), value)
    assert same(plav.loads(plav.dumps(value, mox_grid=False, unquoted_keys=True)), value)


@needs_loads
@given(st.floats())
def test_loads_reads_every_float(x):
    back = plav.loads(plav.dumps(x))
    if math.isnan(x):
        assert math.isnan(back)
    else:
        assert struct.pack("<d", back) == struct.pack("<d", x)


# --- leaks -----------------------------------------------------------------

SMALL = [
    {"id": 1, "name": "Ann", "tags": ["x", "\u00e9"], "score": 1.5, "big": 2**70},
    [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}],
    [1, 2.5, None, True, b"\x00"],
]


def failing_inputs():
    class Boom:
        def model_dump(self):
            raise ValueError("boom")

    deep = []
    for _ in range(300):
        deep = [deep]
    return [
        {"a": [1, {2, 3}]},
        ["\ud800"],
        [{"a": 1}, {"a": Boom()}] * 6,
        deep,
        [{1: "x"}, {1: "y"}],
    ]


FAILING = failing_inputs()


def run_all(rounds):
    for _ in range(rounds):
        for value in SMALL:
            plav.dumps(value)
            plav.dumps(value, indent=2, bare_strings=True)
        for value in FAILING:
            try:
                plav.dumps(value)
            except (TypeError, ValueError):
                pass


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@not_under_asan("memory held in ASan's quarantine and shadow makes RSS no measure of leaks")
def test_repeated_calls_do_not_leak():
    run_all(200)
    tracemalloc.start()
    try:
        run_all(50)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        rss_before = rss_kib()
        run_all(1000)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
        rss_after = rss_kib()
    finally:
        tracemalloc.stop()
    assert after - before < 4 * 1024
    assert rss_after - rss_before < 1024
