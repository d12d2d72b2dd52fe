"""dumps of datetimes, UUIDs, Enums and Decimals; default and sort_keys."""

import dataclasses
import datetime as dt
import decimal
import enum
import math
import os
import subprocess
import sys
import uuid
from decimal import Decimal
from pathlib import Path

import pytest
from conftest import JSON_VALUES, FixedTz, Model, lying
from hypothesis import given
from hypothesis import strategies as st

import plav

HOUR, SECOND = dt.timedelta(hours=1), dt.timedelta(seconds=1)


LyingDateTime = lying(dt.datetime, "lie", year=property(lambda s: 1234))
DATETIMES = [
    dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=dt.UTC),
    dt.datetime(2024, 1, 2, 3, 4, 5, 120000, tzinfo=dt.timezone(-3 * HOUR - 900 * SECOND)),
    dt.datetime(2024, 6, 1, fold=1, tzinfo=FixedTz(None)),  # aware in name only: no offset
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(24 * HOUR - SECOND)),
    LyingDateTime(2020, 2, 29, 12, 0, 0, 1),
    dt.date(999, 10, 9),
    lying(dt.date, "lie")(2000, 2, 29),
    dt.time(1, 2, 3, 40, tzinfo=FixedTz(-HOUR - 30 * SECOND)),
    lying(dt.time, "lie")(7, 8, 9),
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


@pytest.mark.parametrize("offset", [24 * HOUR, "+01:00", LookupError("no zone")], ids=repr)
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
    when = LyingDateTime(2020, 2, 29, 12, 0, 0, 1, tzinfo=spy)
    text = '["2020-02-29T12:00:00.000001+01:00","02:00:00+01:00"]'
    assert plav.dumps([when, dt.time(2, tzinfo=spy)]) == text
    assert seen[0] is when and seen[1] is None


# ---- UUID, Enum, Decimal ----


@pytest.mark.parametrize(
    "value",
    [
        uuid.UUID("12345678-9ABC-DEF0-1234-56789ABCDEF0"),
        lying(uuid.UUID, "lie", hex=property(lambda s: "lie"))(int=0xDEADBEEF << 64 | 0xCAFE),
    ],
    ids=uuid.UUID.__str__,
)
def test_uuids_are_written_lowercase_and_hyphenated(value):
    text = uuid.UUID.__str__(value)
    assert text == text.lower() and plav.dumps(value) == f'"{text}"'
    rows = [{"id": value, "n": 1}, {"id": value, "n": 2}]
    assert plav.dumps(rows) == f'[2: id, n; "{text}", 1; "{text}", 2 ]'
    for broken in (-1, 2**128, "0", None):  # no 128-bit int: not serializable
        value = uuid.UUID(int=1)
        object.__setattr__(value, "int", broken)
        with pytest.raises(TypeError, match="Object of type 'UUID' is not JSON serializable"):
            plav.dumps(value)
        assert plav.dumps(value, default=lambda u: "fallback") == '"fallback"'


NESTED = {"when": dt.date(2024, 1, 2), "ids": [uuid.UUID(int=1)]}
Colour = enum.Enum("Colour", dict(RED=1, GREEN="green", PAIR=(1, "a"), NESTED=NESTED, NONE=None))
Meta = enum.Enum("Meta", dict(INNER=Colour.RED, DEEPER=Colour.NESTED))  # members as values
Level, Word = enum.IntEnum("Level", dict(LOW=1)), enum.StrEnum("Word", dict(HI="hi"))
Perm = enum.Flag("Perm", dict(R=4, W=2))
Unsafe = enum.Enum("Unsafe", dict(COMMA="a, b", WHEN=dt.datetime(2024, 1, 1)))
Renamed = enum.Enum("Renamed", dict(ONE=1))
Renamed.value = property(lambda s: "renamed")


@pytest.mark.parametrize(
    "value, text",
    [
        (Meta.DEEPER, '{"when":"2024-01-02","ids":["00000000-0000-0000-0000-000000000001"]}'),
        (Renamed.ONE, '"renamed"'),
        ({Colour.RED: Colour.GREEN, Level.LOW: Word.HI}, '{"Colour.RED":"green","1":"hi"}'),
        # in a grid a member counts as its value: a scalar cell, or a plain array
        ([{"k": Meta.INNER}, {"k": Word.HI}, {"k": Perm.R}], "[3: k; 1; hi; 4 ]"),
        ([{"k": Colour.PAIR}, {"k": 1}], '[{"k":[1,"a"]},{"k":1}]'),
        ([{"k": Unsafe.COMMA}, {"k": 1}], '[{"k":"a, b"},{"k":1}]'),
        ([{"k": Unsafe.WHEN}, {"k": 1}], '[{"k":"2024-01-01T00:00:00"},{"k":1}]'),
    ],
)
def test_enums_are_written_as_their_value(value, text):
    assert plav.dumps(value, bare_strings=True) == text


@pytest.mark.parametrize(
    "value, text",
    [
        ("9.99", "9.99"),
        ("-0.00", "-0.00"),
        ("1e999999999", "1E+999999999"),
        ("9" * 5000, "9" * 5000),
        ("-sNaN42", "NaN"),
        ("-Inf", "-Infinity"),
    ],
)
def test_decimals_are_written_as_number_tokens(value, text):
    assert plav.dumps(Decimal(value)) == plav.dumps(lying(Decimal, "lie")(value)) == text
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


KEYS = {
    dt.date(2024, 1, 2): 1,
    uuid.UUID(int=3): 2,
    Decimal("1.50"): 3,
    lying(dt.date, "lie")(1, 1, 1): 4,
}


@pytest.mark.parametrize(
    "value, text",
    [
        (type("D", (dt.datetime,), {"model_dump": lambda s: {"m": 1}})(2024, 1, 1), '{"m":1}'),
        (enum.Enum("E", {"A": 1, "model_dump": lambda s: "m"}).A, '"m"'),
        (enum.Enum("PairEnum", dict(ONE=(1, 2)), type=Pair).ONE, '{"a":1,"b":2}'),
        (KEYS, '{"2024-01-02":1,"00000000-0000-0000-0000-000000000003":2,"1.50":3,"lie":4}'),
        (2 + 0j, '{"re":2.0,"raw":"opaque","at":["2024-01-01","green"]}'),
        ([{"a": {1}, "b": 1}, {"a": 2, "b": 2}], '[{"a":[1],"b":1},{"a":2,"b":2}]'),
        (Model(dt.datetime(2024, 1, 1)), '"2024-01-01T00:00:00"'),
    ],
)
def test_conversions_come_first_and_default_results_are_written_in_place(value, text):
    assert plav.dumps(value, default=to_plain) == text


def test_default_exceptions_pass_through_and_each_conversion_counts_one_level():
    error = LookupError("mine")
    with pytest.raises(LookupError) as info:
        plav.dumps({"a": [1, Opaque()]}, default=lambda obj: (_ for _ in ()).throw(error))
    assert info.value is error
    with pytest.raises(TypeError, match="cannot convert bytearray"):
        plav.dumps(bytearray(b"x"), default=to_plain)
    link = type("Link", (), {"__init__": lambda s, n: setattr(s, "n", n)})
    step = lambda obj: link(obj.n - 1) if obj.n else "end"
    assert plav.dumps(link(255), default=step) == '"end"'
    deep = Meta.INNER
    for _ in range(254):  # with the member's two conversions: 256 levels, the most written
        deep = [deep]
    assert plav.dumps(deep) == "[" * 254 + "1" + "]" * 254
    for value, default in ((link(256), step), (Opaque(), lambda obj: obj), ([deep], None)):
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


@pytest.mark.parametrize(
    "value, text",
    [
        # code-point order: U+FF61 before U+10000 (UTF-16 order would differ)
        (
            {"\U00010000": 1, "\uff61": 2, "z": {"b": 1, "a": 2}},
            '{"z":{"a":2,"b":1},"\uff61":2,"\U00010000":1}',
        ),
        (
            {10: "a", 9: "b", "10": "c", None: 0, (1,): 1},
            '{"(1,)":1,"10":"a","10":"c","9":"b","None":0}',
        ),
        ((Model({"n": 1, "m": 2}), Pair(3, 4)), '[{"m":2,"n":1},{"a":3,"b":4}]'),
        ([{"n": "Ann", "id": 1}, {"id": 2, "n": "Bo"}], '[2]{id,n}:\n  1 | "Ann"\n  2 | "Bo"'),
    ],
)
def test_sort_keys(value, text):
    options = {"multiline_mox": True, "delimiter": "pipe"} if text.startswith("[2]") else {}
    assert plav.dumps(value, sort_keys=True, **options) == text
