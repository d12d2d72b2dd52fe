"""Grids read back: loads(dumps(rows, **options)) gives the rows again, with header
keys that a row lacked read as None, under every compact-layout option."""

import dataclasses
import itertools
import math
import re

import pytest
from conftest import same_or_null_filled
from hypothesis import given, settings
from hypothesis import strategies as st

import plav


class Model:
    def __init__(self, data):
        self.data = data

    def model_dump(self):
        return dict(self.data)


@dataclasses.dataclass
class Pair:
    id: object
    name: object


def plain(value):
    """The value with model objects and dataclasses converted, as dumps sees it."""
    if isinstance(value, Model):
        return plain(value.model_dump())
    if isinstance(value, Pair):
        return {"id": plain(value.id), "name": plain(value.name)}
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


KEYS = st.sampled_from(
    ["id", "name", "a b", "", "x\ny", "null", "caf\u00e9", "k,1", "Infinity", 'q"', "$r", "t"]
) | st.text(max_size=4)
SCALARS = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(2**100), max_value=2**100)
    | st.floats()
    | st.text(max_size=8)
    | st.sampled_from(
        [
            "true",
            "null",
            "NaN",
            "Nan",
            "Inf",
            "Infinity",
            "nice",
            "Nancy",
            "x-1",
            "a,b",
            "p|q",
            "s;t",
            "]",
            "\t",
            " lead",
            "trail ",
            "",
        ]
    )
)
NESTED = st.recursive(
    SCALARS,
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3)
    ),
    max_leaves=6,
)


@st.composite
def tables(draw):
    header = draw(st.lists(KEYS, min_size=1, max_size=4, unique=True))
    n = draw(st.integers(min_value=2, max_value=70))
    rows = []
    for i in range(n):
        keys = (
            header
            if draw(st.integers(0, 3))
            else draw(st.permutations(header))[: draw(st.integers(0, len(header)))]
        )
        values = SCALARS if i < 50 else NESTED
        row = {k: draw(values) for k in keys}
        if draw(st.integers(0, 40)) == 0:
            row[draw(KEYS)] = draw(values)  # possibly a key outside the header
        form = draw(st.integers(0, 12))
        if form == 0:
            row = Model(row)
        elif form == 1 and i > 0:
            row = draw(values)  # not a dict at all
        rows.append(row)
    if draw(st.integers(0, 8)) == 0:
        rows = [Pair(draw(SCALARS), draw(SCALARS)) for _ in range(n)]
    elif draw(st.integers(0, 8)) == 0:
        rows = [Model({k: draw(SCALARS) for k in header}) for _ in range(n)]
    return rows


OPTIONS = [
    dict(bare_strings=b, implicit_null=i, row_count=r, unquoted_keys=u, delimiter=d)
    for b, i, r, u, d in itertools.product(
        [False, True], [False, True], [False, True], [False, True], ["comma", "tab", "pipe"]
    )
]


@pytest.mark.parametrize(
    "options", OPTIONS, ids=lambda o: "-".join(f"{k}={v}" for k, v in o.items())
)
@settings(max_examples=25)
@given(rows=tables())
def test_grid_round_trip(rows, options):
    text = plav.dumps(rows, **options)
    read = plav.loads(text)
    expected = plain(rows)
    assert same_or_null_filled(read, expected), text
    if re.match(r"\[\d*: ", text):
        header = list(expected[0])
        assert all(list(r) == header for r in read)


def test_round_trip_of_long_table_with_late_differences():
    rows = [{"id": i, "name": f"n{i}", "v": i * 0.25} for i in range(120)]
    rows[75] = {"id": 75, "name": None}
    rows[90]["v"] = {"nested": [1, 2, {"x": "a;b"}]}
    rows[100]["name"] = [{"k": 1}, {"k": 2}]
    for options in OPTIONS:
        assert same_or_null_filled(plav.loads(plav.dumps(rows, **options)), rows), options


def test_float_cells_read_back():
    values = [0.0, -0.0, 1e16, 1e-6, 5e-324, 1.7976931348623157e308, math.inf, -math.inf, math.nan]
    rows = [{"v": v} for v in values]
    assert same_or_null_filled(plav.loads(plav.dumps(rows)), rows)
