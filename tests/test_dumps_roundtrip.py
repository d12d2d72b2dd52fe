"""dumps output read back, type-exact and float bits included: by the stdlib json
module and by plav.loads, compact and indented."""

import json

import pytest
from conftest import DATA, same
from hypothesis import given
from hypothesis import strategies as st

import plav

scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(2**200), max_value=2**200)
    | st.floats()
    | st.text()
)
json_values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.text(), inner, max_size=6),
    max_leaves=40,
)


def has_float(value):
    if isinstance(value, (list, dict)):
        return any(map(has_float, value.values() if isinstance(value, dict) else value))
    return isinstance(value, float)


@given(json_values)
def test_json_and_loads_read_dumps_back(value):
    for options in ({}, {"indent": 2}, {"unquoted_keys": True}):
        text = plav.dumps(value, mox_grid=False, **options)
        assert same(plav.loads(text), value), options
        assert "unquoted_keys" in options or same(json.loads(text), value), options
    if not has_float(value):
        assert plav.dumps(value, mox_grid=False, indent=2) == json.dumps(
            value, indent=2, ensure_ascii=False
        )


@pytest.mark.parametrize("name", ["twitter", "citm_catalog", "canada", "github_events"])
def test_corpus_files_round_trip_through_stdlib(name):
    value = json.loads((DATA / "json" / f"{name}.json").read_bytes())
    assert same(json.loads(plav.dumps(value, mox_grid=False)), value)
    assert same(json.loads(plav.dumps(value, mox_grid=False, indent=1)), value)
