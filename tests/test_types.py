"""dumps of datetimes, dates, times, UUIDs, Enums and Decimals, the `default` hook
and `sort_keys`."""

import dataclasses
import datetime as dt
import decimal
import enum
import json
import math
import os
import subprocess
import sys
import uuid
from decimal import Decimal
from pathlib import Path

import pytest
from conftest import JSON_VALUES, Model
from hypothesis import given
from hypothesis import strategies as st

import plav

DAY, HOUR, MINUTE, SECOND = (
    dt.timedelta(**{u: 1}) for u in ("days", "hours", "minutes", "seconds")
)


class FixedTz(dt.tzinfo):
    """A tzinfo in Python code, whose utcoffset answers whatever it was given."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        if isinstance(self.offset, BaseException):
            raise self.offset
        return self.offset


def lying(base, **attributes):
    """A subclass of `base` whose own text methods and fields say something else."""
    lie = dict(isoformat=lambda *a: "lie", __str__=lambda s: "lie", __repr__=lambda s: "lie")
    return type(f"Lying{base.__name__}", (base,), {**lie, **attributes})


LyingDate = lying(dt.date)
DATETIMES = [
    dt.datetime(2024, 12, 31, 23, 59, 59, 999999),
    dt.datetime(1, 1, 1),
    dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=dt.UTC),
    dt.datetime(2024, 1, 2, 3, 4, 5, 120000, tzinfo=dt.timezone(5 * HOUR + 30 * MINUTE)),
    dt.datetime(2024, 6, 1, tzinfo=dt.timezone(-3 * HOUR - 15 * MINUTE)),
    dt.datetime(2024, 6, 1, fold=1, tzinfo=FixedTz(None)),  # aware in name only: no offset
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(-SECOND)),
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(DAY - SECOND)),
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(dt.timedelta(minutes=5, microseconds=7))),
    lying(dt.datetime, year=property(lambda s: 1234))(2020, 2, 29, 12, 0, 0, 1),
    dt.date(999, 10, 9),
    LyingDate(2000, 2, 29),
    dt.time(23, 59, 59, 999999),
    dt.time(1, 2, 3, 40, tzinfo=dt.UTC),
    dt.time(1, 2, 3, tzinfo=FixedTz(-HOUR - 30 * SECOND)),
    lying(dt.time)(7, 8, 9),
]


def iso(value):
    """The text the base class's isoformat gives."""
    return next(b.isoformat(value) for b in (dt.datetime, dt.date, dt.time) if isinstance(value, b))


@pytest.mark.parametrize("value", DATETIMES, ids=repr)
def test_datetimes_are_written_as_base_isoformat(value):
    assert plav.dumps(value) == f'"{iso(value)}"'
    assert plav.dumps({"at": [value]}, indent=1) == f'{{\n "at": [\n  "{iso(value)}"\n ]\n}}'


def test_field_getters_write_the_same_text():
    # Test builds can be told to read the fields through the types' getters, the
    # way taken where the objects' own layout is not the one checked at load.
    code = "import sys; sys.path[:0] = sys.argv[1:]; import plav, test_types as t; "
    code += "print(plav.dumps([t.DATETIMES, t.DATETIMES[0].__class__.max]))"
    env = dict(os.environ, PLAV_TESTING_FIELD_GETTERS="1")
    args = [sys.executable, "-c", code, str(Path(__file__).parent)]
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout
    assert out == plav.dumps([DATETIMES, dt.datetime.max]) + "\n"


@pytest.mark.parametrize("offset", [DAY, -2 * DAY, 5, "+01:00", LookupError("no zone")], ids=repr)
@pytest.mark.parametrize("value", [dt.datetime(2024, 1, 1), dt.time(1)], ids=["datetime", "time"])
def test_bad_utc_offsets_fail_as_isoformat_does(value, offset):
    value = value.replace(tzinfo=FixedTz(offset))
    with pytest.raises(Exception) as expected:
        iso(value)
    with pytest.raises(type(expected.value)) as got:
        plav.dumps([value])
    assert str(got.value) == str(expected.value)
    assert got.value is offset or not isinstance(offset, BaseException)


def test_utc_offset_gets_the_value_itself():
    seen = []
    spy = type("Spy", (dt.tzinfo,), {"utcoffset": lambda s, when: seen.append(when) or HOUR})()
    when = DATETIMES[-7].replace(tzinfo=spy)
    assert (
        plav.dumps([when, dt.time(2, tzinfo=spy)])
        == '["2020-02-29T12:00:00.000001+01:00","02:00:00+01:00"]'
    )
    assert seen[0] is when and seen[1] is None


# ---- UUID ----


@pytest.mark.parametrize(
    "value",
    [
        uuid.UUID(int=0),
        uuid.UUID(int=2**128 - 1),
        uuid.UUID("12345678-9ABC-DEF0-1234-56789ABCDEF0"),
        lying(uuid.UUID, hex=property(lambda s: "lie"))(int=0xDEADBEEF << 64 | 0xCAFE),
    ],
    ids=uuid.UUID.__str__,
)
def test_uuids_are_written_lowercase_and_hyphenated(value):
    text = uuid.UUID.__str__(value)
    assert text == text.lower() and plav.dumps(value) == f'"{text}"'
    rows = [{"id": value, "n": 1}, {"id": value, "n": 2}]
    assert plav.dumps(rows) == f'[2: id, n; "{text}", 1; "{text}", 2 ]'


@pytest.mark.parametrize("broken", [-1, 2**128, "0", None, 1.0])
def test_uuid_holding_no_128_bit_int_is_not_serializable(broken):
    value = uuid.UUID(int=1)
    object.__setattr__(value, "int", broken)
    with pytest.raises(TypeError, match="Object of type 'UUID' is not JSON serializable"):
        plav.dumps(value)
    assert plav.dumps(value, default=lambda u: "fallback") == '"fallback"'


# ---- Enum ----

NESTED = {"when": dt.date(2024, 1, 2), "ids": [uuid.UUID(int=1)]}
Colour = enum.Enum("Colour", dict(RED=1, GREEN="green", PAIR=(1, "a"), NESTED=NESTED, NONE=None))
Meta = enum.Enum("Meta", dict(INNER=Colour.RED, DEEPER=Colour.NESTED))  # members as values
Level, Word = enum.IntEnum("Level", dict(LOW=1)), enum.StrEnum("Word", dict(HI="hi"))
Perm = enum.Flag("Perm", dict(R=4, W=2))
Unsafe = enum.Enum("Unsafe", dict(COMMA="a, b", WHEN=dt.datetime(2024, 1, 1)))
Renamed = enum.Enum("Renamed", dict(ONE=1))
Renamed.value = property(lambda s: "renamed")
NESTED_TEXT = '{"when":"2024-01-02","ids":["00000000-0000-0000-0000-000000000001"]}'


@pytest.mark.parametrize(
    "value, text",
    [
        (Colour.RED, "1"),
        (Colour.PAIR, '[1,"a"]'),
        (Colour.NESTED, NESTED_TEXT),
        (Colour.NONE, "null"),
        (Meta.INNER, "1"),
        (Meta.DEEPER, NESTED_TEXT),
        (Perm.R | Perm.W, "6"),
        (Renamed.ONE, '"renamed"'),
        ({Colour.RED: Colour.GREEN, Level.LOW: Word.HI}, '{"Colour.RED":"green","1":"hi"}'),
    ],
)
def test_enums_are_written_as_their_value(value, text):
    assert plav.dumps(value) == text


@pytest.mark.parametrize("member, conversions", [(Colour.RED, 1), (Meta.INNER, 2), (Level.LOW, 0)])
def test_each_enum_value_counts_one_level(member, conversions):
    depth = 256 - conversions
    assert plav.dumps(nest(member, depth)) == "[" * depth + plav.dumps(member) + "]" * depth
    if conversions:
        with pytest.raises(ValueError, match="too deeply nested"):
            plav.dumps(nest(member, depth + 1))


def nest(value, levels):
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize(
    "cells, grid",
    [
        ([Colour.RED, Colour.GREEN], True),
        ([Level.LOW, Word.HI], True),
        ([Meta.INNER, Colour.NONE, Perm.R], True),
        ([Colour.PAIR, Colour.RED], False),
        ([Unsafe.COMMA, Colour.RED], False),
        ([Unsafe.WHEN, Colour.RED], False),
    ],
)
def test_enums_in_grids_count_as_their_value(cells, grid):
    rows = [{"k": cell, "n": i} for i, cell in enumerate(cells)]
    text = plav.dumps(rows)
    assert text.startswith(f"[{len(rows)}: k, n;") is grid
    assert plav.loads(text) == json.loads(plav.dumps(rows, mox_grid=False))


# ---- Decimal ----


@pytest.mark.parametrize(
    "value, text",
    [
        ("9.99", "9.99"),
        ("-1.5E-9", "-1.5E-9"),
        ("-0.00", "-0.00"),
        ("0E-7", "0E-7"),
        ("1e999999999", "1E+999999999"),
        ("9" * 5000, "9" * 5000),
        ("-NaN", "NaN"),
        ("-sNaN42", "NaN"),
        ("-Inf", "-Infinity"),
    ],
)
def test_decimals_are_written_as_number_tokens(value, text):
    assert plav.dumps(Decimal(value)) == plav.dumps(lying(Decimal)(value)) == text
    rows = [{"p": Decimal(value), "q": 1}, {"p": Decimal(value), "q": 2}]
    assert plav.dumps(rows) == f"[2: p, q; {text}, 1; {text}, 2 ]"
    if len(text) < 4300 and "sNaN" not in value:  # reads back as the same number
        read, number = plav.loads(text), float(Decimal(value))
        assert read == number or (math.isnan(read) and math.isnan(number))
    with decimal.localcontext() as ctx:
        ctx.capitals = 0
        assert plav.dumps(Decimal("1E+20")) == "1e+20"


# ---- conversions, default, sort_keys ----


@dataclasses.dataclass(frozen=True)
class Pair:
    a: int
    b: int


PairEnum = enum.Enum("PairEnum", dict(ONE=(1, 2)), type=Pair)
KEYS = {dt.date(2024, 1, 2): 1, uuid.UUID(int=3): 2, Decimal("1.50"): 3, LyingDate(2000, 1, 1): 4}


class Opaque:
    pass


def to_plain(obj):
    if isinstance(obj, set):
        return sorted(obj)
    if isinstance(obj, Opaque):
        return "opaque"
    if isinstance(obj, complex):
        return {"re": obj.real, "raw": Opaque(), "at": (dt.date(2024, 1, 1), Colour.GREEN)}
    raise TypeError(f"cannot convert {type(obj).__name__}")


@pytest.mark.parametrize(
    "value, kwargs, text",
    [
        (type("D", (dt.datetime,), {"model_dump": lambda s: {"m": 1}})(2024, 1, 1), {}, '{"m":1}'),
        (enum.Enum("E", {"A": 1, "model_dump": lambda s: "m"}).A, {}, '"m"'),
        (PairEnum.ONE, {}, '{"a":1,"b":2}'),
        (KEYS, {}, '{"2024-01-02":1,"00000000-0000-0000-0000-000000000003":2,"1.50":3,"lie":4}'),
        ({3, 1, 2}, {"default": to_plain}, "[1,2,3]"),
        (2 + 0j, {"default": to_plain}, '{"re":2.0,"raw":"opaque","at":["2024-01-01","green"]}'),
        (
            [{"a": {1}, "b": 1}, {"a": 2, "b": 2}],
            {"default": to_plain},
            '[{"a":[1],"b":1},{"a":2,"b":2}]',
        ),
        (Model(dt.datetime(2024, 1, 1)), {"default": to_plain}, '"2024-01-01T00:00:00"'),
    ],
)
def test_conversions_come_first_and_default_results_are_written_in_place(value, kwargs, text):
    assert plav.dumps(value, **kwargs) == text


def test_default_exceptions_propagate_unchanged_and_each_call_counts_one_level():
    error = LookupError("mine")
    with pytest.raises(LookupError) as info:
        plav.dumps({"a": [1, Opaque()]}, default=lambda obj: (_ for _ in ()).throw(error))
    assert info.value is error
    with pytest.raises(TypeError, match="cannot convert bytearray"):
        plav.dumps(bytearray(b"x"), default=to_plain)

    class Link:
        def __init__(self, n):
            self.n = n

    def step(obj):
        return Link(obj.n - 1) if obj.n else "end"

    assert plav.dumps(Link(255), default=step) == '"end"'
    for value, default in ((Link(256), step), (Opaque(), lambda obj: obj)):
        with pytest.raises(ValueError, match="too deeply nested"):
            plav.dumps(value, default=default)


@pytest.mark.parametrize(
    "rows",
    [
        # the cells that need default make the list a plain array
        [{"a": Opaque(), "b": i} for i in range(3)],
        # a grid given up at a late row, after its detection looked at the first rows
        [{"a": Opaque() if i == 60 else i, "b": i} for i in range(80)] + [5],
        [{"a": i, "b": Opaque() if i > 55 else i} for i in range(80)] + [{"a": 1, "c": 2}],
        [{"a": i, "b": i} for i in range(60)] + [{"a": Opaque(), "b": 0}],
    ],
)
def test_default_is_called_once_per_object(rows):
    calls = []
    text = plav.dumps(rows, default=lambda obj: calls.append(obj) or len(calls))
    wanted = [v for r in rows if isinstance(r, dict) for v in r.values() if isinstance(v, Opaque)]
    assert len(calls) == len(wanted) and all(map(lambda a, b: a is b, calls, wanted))
    assert len(plav.loads(text)) == len(rows)


def presorted(value):
    """`value` with every dict's members in sorted order of their written key text."""
    if isinstance(value, dict):
        return {k: presorted(v) for k, v in sorted(value.items(), key=lambda kv: str(kv[0]))}
    if isinstance(value, (list, tuple)):
        return [presorted(v) for v in value]
    return value


ROW_KEYS = {k: st.integers() | st.text(max_size=3) for k in ["b", "a", "\u00e9", "Z", "_", "a b"]}
ROW_DICTS = st.lists(st.fixed_dictionaries({}, optional=ROW_KEYS), min_size=2, max_size=5)
LAYOUTS = [{}, {"indent": 2}, {"unquoted_keys": True, "delimiter": "tab"}, {"multiline_mox": True}]


@given(JSON_VALUES | ROW_DICTS | st.dictionaries(st.text(max_size=3), ROW_DICTS, max_size=3))
def test_sort_keys_equals_writing_presorted_dicts(value):
    for options in LAYOUTS:
        want = plav.dumps(presorted(value), **options)
        assert plav.dumps(value, sort_keys=True, **options) == want, options


GRID = [{"name": "Ann", "id": 1}, {"id": 2, "name": "Bo"}]


@pytest.mark.parametrize(
    "value, options, text",
    [
        # code-point order: U+FF61 before U+10000 (UTF-16 order would differ)
        (
            {"\U00010000": 1, "\uff61": 2, "z": {"b": 1, "a": 2}, "Z": 4},
            {},
            '{"Z":4,"z":{"a":2,"b":1},"\uff61":2,"\U00010000":1}',
        ),
        (
            {10: "a", 9: "b", "10": "c", None: 0, (1,): 1},
            {},
            '{"(1,)":1,"10":"a","10":"c","9":"b","None":0}',
        ),
        ((Model({"n": 1, "m": 2}), Pair(3, 4)), {}, '[{"m":2,"n":1},{"a":3,"b":4}]'),
        ([Pair(1, 2), Pair(3, 4)], {}, "[2: a, b; 1, 2; 3, 4 ]"),
        (GRID, {"indent": 2}, '[2:\n  id, name\n  1, "Ann"\n  2, "Bo"\n]'),
        (
            GRID,
            {"multiline_mox": True, "delimiter": "pipe"},
            '[2]{id,name}:\n  1 | "Ann"\n  2 | "Bo"',
        ),
        (GRID, {"implicit_null": True, "row_count": False}, '[: id, name; 1, "Ann"; 2, "Bo" ]'),
    ],
)
def test_sort_keys(value, options, text):
    assert plav.dumps(value, sort_keys=True, **options) == text
