"""dumps of datetimes, dates, times, UUIDs, Enums and Decimals, the `default` hook,
`sort_keys`, and the type name in the "not JSON serializable" error."""

import dataclasses
import datetime as dt
import decimal
import enum
import json
import math
import os
import random
import re
import subprocess
import sys
import uuid
from decimal import Decimal
from pathlib import Path

import pydantic
import pytest
from conftest import JSON_VALUES, internal_failure, same
from hypothesis import given
from hypothesis import strategies as st

import plav

UTC = dt.UTC
IST = dt.timezone(dt.timedelta(hours=5, minutes=30))
WEST = dt.timezone(-dt.timedelta(hours=3, minutes=15))


class FixedTz(dt.tzinfo):
    """A tzinfo in Python code, whose utcoffset answers whatever it was given."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        if isinstance(self.offset, BaseException):
            raise self.offset
        return self.offset

    def dst(self, when):
        return None


class LyingDateTime(dt.datetime):
    """A subclass whose own text and fields say something else."""

    def isoformat(self, *args, **kwargs):
        return "lie"

    def __str__(self):
        return "lie"

    @property
    def year(self):
        return 1234


class LyingDate(dt.date):
    def isoformat(self):
        return "lie"


class LyingTime(dt.time):
    def isoformat(self, *args, **kwargs):
        return "lie"


def iso(value):
    """The text the base class's isoformat gives."""
    for base in (dt.datetime, dt.date, dt.time):
        if isinstance(value, base):
            return base.isoformat(value)
    raise AssertionError(value)


# ---- datetime, date, time ----


DATETIMES = [
    dt.datetime(2024, 1, 2, 3, 4, 5),
    dt.datetime(2024, 1, 2, 3, 4, 5, 6),
    dt.datetime(2024, 12, 31, 23, 59, 59, 999999),
    dt.datetime(1, 1, 1),
    dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
    dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC),
    dt.datetime(2024, 1, 2, 3, 4, 5, 120000, tzinfo=IST),
    dt.datetime(2024, 6, 1, tzinfo=WEST),
    dt.datetime(2024, 6, 1, fold=1),
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(None)),  # aware in name only: no offset
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(dt.timedelta(seconds=-1))),
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(dt.timedelta(hours=23, minutes=59, seconds=59))),
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(dt.timedelta(minutes=5, microseconds=7))),
    dt.datetime(2024, 6, 1, tzinfo=FixedTz(-dt.timedelta(days=1) + dt.timedelta(microseconds=1))),
    LyingDateTime(2020, 2, 29, 12, 0, 0, 1),
    dt.date(2024, 1, 2),
    dt.date(1, 1, 1),
    dt.date(999, 10, 9),
    LyingDate(2000, 2, 29),
    dt.time(0, 0),
    dt.time(23, 59, 59, 999999),
    dt.time(1, 2, 3, 40, tzinfo=IST),
    dt.time(1, 2, 3, tzinfo=UTC),
    dt.time(1, 2, 3, tzinfo=FixedTz(dt.timedelta(hours=-1, seconds=-30))),
    LyingTime(7, 8, 9),
]


@pytest.mark.parametrize("value", DATETIMES, ids=repr)
def test_datetimes_are_written_as_base_isoformat(value):
    assert plav.dumps(value) == f'"{iso(value)}"'
    assert plav.dumps({"at": [value]}, indent=1) == f'{{\n "at": [\n  "{iso(value)}"\n ]\n}}'


def test_field_getters_write_the_same_text():
    # Test builds can be told to read the fields through the types' getters, the
    # way taken where the objects' own layout is not the one checked at load.
    code = (
        "import sys; sys.path[:0] = sys.argv[1:]; import plav, test_dumps_types as t; "
        "print(plav.dumps([t.DATETIMES, t.DATETIMES[0].__class__.max]))"
    )
    env = dict(os.environ, PLAV_TESTING_FIELD_GETTERS="1")
    out = subprocess.run(
        [sys.executable, "-c", code, str(Path(__file__).parent)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert out == plav.dumps([DATETIMES, dt.datetime.max]) + "\n"


@pytest.mark.parametrize(
    "offset",
    [
        dt.timedelta(days=1),
        -dt.timedelta(days=1),
        dt.timedelta(days=-2),
        5,
        "+01:00",
        LookupError("no zone"),
    ],
    ids=repr,
)
@pytest.mark.parametrize(
    "make",
    [lambda tz: dt.datetime(2024, 1, 1, tzinfo=tz), lambda tz: dt.time(1, tzinfo=tz)],
    ids=["datetime", "time"],
)
def test_bad_utc_offsets_fail_as_isoformat_does(make, offset):
    value = make(FixedTz(offset))
    with pytest.raises(Exception) as expected:
        iso(value)
    with pytest.raises(type(expected.value)) as got:
        plav.dumps([value])
    assert str(got.value) == str(expected.value)
    if isinstance(offset, BaseException):
        assert got.value is offset


def test_utc_offset_gets_the_value_itself():
    seen = []

    class Spy(dt.tzinfo):
        def utcoffset(self, when):
            seen.append(when)
            return dt.timedelta(hours=1)

    when = LyingDateTime(2024, 1, 1, tzinfo=Spy())
    assert plav.dumps(when) == '"2024-01-01T00:00:00+01:00"'
    assert plav.dumps(dt.time(2, tzinfo=Spy())) == '"02:00:00+01:00"'
    assert seen[0] is when and seen[1] is None


# ---- UUID ----


class LyingUUID(uuid.UUID):
    def __str__(self):
        return "lie"

    @property
    def hex(self):
        return "lie"


UUIDS = [
    uuid.UUID(int=0),
    uuid.UUID(int=2**128 - 1),
    uuid.UUID(int=2**64),
    uuid.UUID(int=2**64 - 1),
    uuid.UUID("12345678-9ABC-DEF0-1234-56789ABCDEF0"),
    uuid.UUID(bytes=bytes(range(16))),
    *(uuid.UUID(int=random.Random(i).getrandbits(128), version=4) for i in range(4)),
    LyingUUID(int=0xDEADBEEF << 64 | 0xCAFE),
]


@pytest.mark.parametrize("value", UUIDS, ids=lambda u: uuid.UUID.__str__(u))
def test_uuids_are_written_lowercase_and_hyphenated(value):
    text = uuid.UUID.__str__(value)
    assert re.fullmatch(r"[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}", text)
    assert plav.dumps(value) == f'"{text}"'
    assert plav.dumps([{"id": value, "n": 1}, {"id": value, "n": 2}]) == (
        f'[2: id, n; "{text}", 1; "{text}", 2 ]'
    )


@pytest.mark.parametrize("broken", [-1, 2**128, "0", None, 1.0])
def test_uuid_holding_no_128_bit_int_is_not_serializable(broken):
    value = uuid.UUID(int=1)
    object.__setattr__(value, "int", broken)
    with pytest.raises(TypeError, match="Object of type 'UUID' is not JSON serializable"):
        plav.dumps(value)
    assert plav.dumps(value, default=lambda u: "fallback") == '"fallback"'


# ---- Enum ----


class Colour(enum.Enum):
    RED = 1
    GREEN = "green"
    PAIR = (1, "a")
    NESTED = {"when": dt.date(2024, 1, 2), "ids": [uuid.UUID(int=1)]}
    FLOATY = 2.5
    NOTHING = None


class Meta(enum.Enum):
    INNER = Colour.RED  # the value is itself a member
    DEEPER = Colour.NESTED


class Level(enum.IntEnum):
    LOW = 1


class Word(enum.StrEnum):
    HI = "hi"


class Perm(enum.Flag):
    R = 4
    W = 2


class Unsafe(enum.Enum):
    COMMA = "a, b"
    WHEN = dt.datetime(2024, 1, 1)


class Renamed(enum.Enum):
    ONE = 1

    @property
    def value(self):
        return "renamed"


@pytest.mark.parametrize(
    "value, text",
    [
        (Colour.RED, "1"),
        (Colour.GREEN, '"green"'),
        (Colour.PAIR, '[1,"a"]'),
        (Colour.NESTED, '{"when":"2024-01-02","ids":["00000000-0000-0000-0000-000000000001"]}'),
        (Colour.FLOATY, "2.5"),
        (Colour.NOTHING, "null"),
        (Meta.INNER, "1"),
        (Meta.DEEPER, '{"when":"2024-01-02","ids":["00000000-0000-0000-0000-000000000001"]}'),
        (Level.LOW, "1"),
        (Word.HI, '"hi"'),
        (Perm.R | Perm.W, "6"),
        (Renamed.ONE, '"renamed"'),
        ({Colour.RED: Colour.GREEN, Level.LOW: Word.HI}, '{"Colour.RED":"green","1":"hi"}'),
    ],
)
def test_enums_are_written_as_their_value(value, text):
    assert plav.dumps(value) == text


def nest(value, levels):
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize(
    "member, conversions", [(Colour.RED, 1), (Meta.INNER, 2), (Level.LOW, 0), (Word.HI, 0)]
)
def test_each_enum_value_counts_one_level(member, conversions):
    assert plav.dumps(nest(member, 256 - conversions)) == (
        "[" * (256 - conversions) + plav.dumps(member) + "]" * (256 - conversions)
    )
    if conversions:
        with pytest.raises(ValueError, match="too deeply nested"):
            plav.dumps(nest(member, 257 - conversions))


@pytest.mark.parametrize(
    "cells, grid",
    [
        ([Colour.RED, Colour.GREEN], True),
        ([Level.LOW, Word.HI], True),
        ([Meta.INNER, Colour.FLOATY], True),
        ([Colour.NOTHING, Perm.R], True),
        ([Colour.PAIR, Colour.RED], False),
        ([Colour.NESTED, Colour.RED], False),
        ([Unsafe.COMMA, Colour.RED], False),
        ([Unsafe.WHEN, Colour.RED], False),
    ],
)
def test_enums_in_grids_count_as_their_value(cells, grid):
    rows = [{"k": cell, "n": i} for i, cell in enumerate(cells)]
    text = plav.dumps(rows)
    assert text.startswith("[2: k, n;") is grid
    assert plav.loads(text) == json.loads(plav.dumps(rows, mox_grid=False))


# ---- Decimal ----


class LyingDecimal(Decimal):
    def __str__(self):
        return "lie"

    def __repr__(self):
        return "lie"


@pytest.mark.parametrize(
    "value, text",
    [
        (Decimal("9.99"), "9.99"),
        (Decimal("1E+2"), "1E+2"),
        (Decimal("-1.5E-9"), "-1.5E-9"),
        (Decimal(0), "0"),
        (Decimal("-0"), "-0"),
        (Decimal("-0.00"), "-0.00"),
        (Decimal("0E-7"), "0E-7"),
        (Decimal("0.000001"), "0.000001"),
        (Decimal("1e999999999"), "1E+999999999"),
        (Decimal("9" * 5000), "9" * 5000),
        (Decimal("-" + "1234567890" * 50 + ".5"), "-" + "1234567890" * 50 + ".5"),
        (Decimal("NaN"), "NaN"),
        (Decimal("-NaN"), "NaN"),
        (Decimal("sNaN"), "NaN"),
        (Decimal("-sNaN42"), "NaN"),
        (Decimal("NaN123"), "NaN"),
        (Decimal("Infinity"), "Infinity"),
        (Decimal("-Inf"), "-Infinity"),
        (LyingDecimal("12.50"), "12.50"),
    ],
)
def test_decimals_are_written_as_number_tokens(value, text):
    assert plav.dumps(value) == text
    assert plav.dumps([{"p": value, "q": 1}, {"p": value, "q": 2}]) == (
        f"[2: p, q; {text}, 1; {text}, 2 ]"
    )


@pytest.mark.parametrize(
    "text", ["9.99", "-1E+2", "1.5e-7", "0.1", "-0", "-0.0", "12", "NaN", "-Infinity"]
)
def test_decimals_read_back_as_the_same_number(text):
    read = plav.loads(plav.dumps(Decimal(text)))
    assert same(read, json.loads(plav.dumps(Decimal(text))))
    number = float(Decimal(text))
    assert read == number or (math.isnan(read) and math.isnan(number))


def test_decimal_context_does_not_break_the_token():
    with decimal.localcontext() as ctx:
        ctx.capitals = 0
        assert plav.dumps(Decimal("1E+20")) == "1e+20"
    assert plav.loads(plav.dumps([Decimal("1E+20")])) == [1e20]


# ---- order of conversions and dict keys ----


class DatetimeModel(dt.datetime):
    def model_dump(self):
        return {"model": True}


class EnumModel(enum.Enum):
    A = 1

    def model_dump(self):
        return "from model_dump"


@dataclasses.dataclass(frozen=True)
class Pair:
    a: int
    b: int


class PairEnum(Pair, enum.Enum):
    ONE = 1, 2


@pytest.mark.parametrize(
    "value, text",
    [
        (DatetimeModel(2024, 1, 1), '{"model":true}'),
        (EnumModel.A, '"from model_dump"'),
        (PairEnum.ONE, '{"a":1,"b":2}'),
        (
            {dt.date(2024, 1, 2): 1, uuid.UUID(int=3): 2},
            '{"2024-01-02":1,"00000000-0000-0000-0000-000000000003":2}',
        ),
        (
            {Decimal("1.50"): 1, dt.time(1, 2): 2, LyingDate(2000, 1, 1): 3},
            '{"1.50":1,"01:02:00":2,"lie":3}',
        ),
    ],
)
def test_conversion_methods_come_first_and_keys_use_str(value, text):
    assert plav.dumps(value) == text


# ---- default ----


class Money:
    def __init__(self, cents):
        self.cents = cents


class Item(pydantic.BaseModel):
    name: str
    price: int


class Opaque:
    pass


def to_plain(obj):
    if isinstance(obj, Money):
        return {"cents": obj.cents, "raw": Opaque()}
    if isinstance(obj, Opaque):
        return "opaque"
    if isinstance(obj, set):
        return sorted(obj)
    if isinstance(obj, complex):
        return Item(name="c", price=int(obj.real))
    if isinstance(obj, frozenset):
        return (dt.date(2024, 1, 1), Colour.GREEN)
    raise TypeError(f"cannot convert {type(obj).__name__}")


@pytest.mark.parametrize(
    "value, text",
    [
        ({3, 1, 2}, "[1,2,3]"),
        (Money(5), '{"cents":5,"raw":"opaque"}'),
        (3 + 0j, '{"name":"c","price":3}'),
        (frozenset(), '["2024-01-01","green"]'),
        (
            [{"a": Money(1), "b": 1}, {"a": Money(2), "b": 2}],
            '[{"a":{"cents":1,"raw":"opaque"},"b":1},{"a":{"cents":2,"raw":"opaque"},"b":2}]',
        ),
        (
            {"when": dt.datetime(2024, 1, 1), "n": Decimal(1)},
            '{"when":"2024-01-01T00:00:00","n":1}',
        ),
    ],
)
def test_default_result_is_written_in_place(value, text):
    assert plav.dumps(value, default=to_plain) == text


def test_default_exceptions_propagate_unchanged():
    error = LookupError("mine")

    def fail(obj):
        raise error

    with pytest.raises(LookupError) as info:
        plav.dumps({"a": [1, Opaque()]}, default=fail)
    assert info.value is error
    with pytest.raises(TypeError, match="cannot convert bytearray"):
        plav.dumps(bytearray(b"x"), default=to_plain)


@pytest.mark.parametrize("chain, fails", [(255, False), (256, True)])
def test_each_default_call_counts_one_level(chain, fails):
    class Link:
        def __init__(self, n):
            self.n = n

    def step(obj):
        return Link(obj.n - 1) if obj.n else "end"

    if fails:
        with pytest.raises(ValueError, match="too deeply nested"):
            plav.dumps(Link(chain), default=step)
    else:
        assert plav.dumps(Link(chain), default=step) == '"end"'
    with pytest.raises(ValueError, match="too deeply nested"):
        plav.dumps(Opaque(), default=lambda obj: obj)


@pytest.mark.parametrize("default", [3, "str", [str]])
def test_non_callable_default_fails_before_writing(default):
    called = []

    class Watched:
        def model_dump(self):
            called.append(1)
            return 1

    with pytest.raises(TypeError, match="argument 'default' must be callable or None"):
        plav.dumps([Watched()], default=default)
    assert called == []
    with pytest.raises(TypeError, match="Object of type 'Opaque' is not JSON serializable"):
        plav.dumps(Opaque(), default=None)


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

    def count(obj):
        calls.append(obj)
        return len(calls)

    text = plav.dumps(rows, default=count)
    needing = [
        v for row in rows if isinstance(row, dict) for v in row.values() if isinstance(v, Opaque)
    ]
    assert len(calls) == len(needing) and all(map(lambda a, b: a is b, calls, needing))
    back = plav.loads(text)
    assert len(back) == len(rows)


# ---- sort_keys ----


def presorted(value):
    """`value` with every dict's members in sorted order of their written key text."""
    if isinstance(value, dict):
        items = sorted(
            value.items(), key=lambda kv: kv[0] if isinstance(kv[0], str) else str(kv[0])
        )
        return {k: presorted(v) for k, v in items}
    if isinstance(value, (list, tuple)):
        return [presorted(v) for v in value]
    return value


ROW_DICTS = st.lists(
    st.fixed_dictionaries(
        {},
        optional={
            k: st.integers() | st.text(max_size=3) for k in ["b", "a", "\u00e9", "Z", "_", "a b"]
        },
    ),
    min_size=2,
    max_size=5,
)


@given(JSON_VALUES | ROW_DICTS | st.dictionaries(st.text(max_size=3), ROW_DICTS, max_size=3))
def test_sort_keys_equals_writing_presorted_dicts(value):
    for options in (
        {},
        {"indent": 2},
        {"unquoted_keys": True, "delimiter": "tab"},
        {"multiline_mox": True},
    ):
        assert plav.dumps(value, sort_keys=True, **options) == plav.dumps(
            presorted(value), **options
        ), options


@pytest.mark.parametrize(
    "value, text",
    [
        ({"b": 1, "a": {"d": 1, "c": 2}}, '{"a":{"c":2,"d":1},"b":1}'),
        # code-point order: U+FF61 before U+10000 (UTF-16 order would differ)
        (
            {"\U00010000": 1, "\uff61": 2, "z": 3, "Z": 4, "\u00e9": 5},
            '{"Z":4,"z":3,"\u00e9":5,"\uff61":2,"\U00010000":1}',
        ),
        (
            {10: "a", 9: "b", "10": "c", None: 0, (1,): 1},
            '{"(1,)":1,"10":"a","10":"c","9":"b","None":0}',
        ),
        ([{"b": 1, "a": 2}, {"a": 3, "b": 4}], "[2: a, b; 2, 1; 3, 4 ]"),
        (
            (Item(name="n", price=1), Item(name="m", price=2)),
            '[{"name":"n","price":1},{"name":"m","price":2}]',
        ),
        ([Item(name="n", price=1), Item(name="m", price=2)], '[2: name, price; "n", 1; "m", 2 ]'),
        ([Pair(1, 2), Pair(3, 4)], "[2: a, b; 1, 2; 3, 4 ]"),
        ({"z": [{"q": {"b": 1, "a": 2}}]}, '{"z":[{"q":{"a":2,"b":1}}]}'),
    ],
)
def test_sort_keys(value, text):
    assert plav.dumps(value, sort_keys=True) == text


def test_sorted_grid_layouts():
    rows = [{"name": "Ann", "id": 1}, {"id": 2, "name": "Bo"}]
    assert plav.dumps(rows, sort_keys=True, indent=2) == '[2:\n  id, name\n  1, "Ann"\n  2, "Bo"\n]'
    assert plav.dumps(rows, sort_keys=True, multiline_mox=True, delimiter="pipe") == (
        '[2]{id,name}:\n  1 | "Ann"\n  2 | "Bo"'
    )
    assert plav.dumps(rows, sort_keys=True, implicit_null=True, row_count=False) == (
        '[: id, name; 1, "Ann"; 2, "Bo" ]'
    )


@pytest.mark.parametrize("bad", [1, None, "yes"])
def test_sort_keys_takes_a_bool(bad):
    with pytest.raises(TypeError, match="sort_keys"):
        plav.dumps({}, sort_keys=bad)


# ---- the type name in the error ----


def with_qualname(answer):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                if isinstance(answer, BaseException):
                    raise answer
                return answer
            return super().__getattribute__(name)

    return Meta("Plain", (), {})()


@pytest.mark.parametrize(
    "value, name",
    [
        (with_qualname("Shown.Name"), "Shown.Name"),
        (with_qualname(type("S", (str,), {})("sub")), "sub"),
        (with_qualname(5), "unknown"),
        (with_qualname(None), "unknown"),
        (with_qualname(KeyError("gone")), "unknown"),
        (dt.timedelta(1), "timedelta"),
        (Renamed, "EnumType"),
    ],
)
def test_error_names_the_qualname_attribute(value, name):
    with pytest.raises(TypeError) as info:
        plav.dumps([value])
    assert str(info.value) == f"Object of type '{name}' is not JSON serializable"


# ---- Python code run by these conversions, changing what is being written ----


def test_callbacks_that_change_the_containers_being_written():
    rows = [{"a": i, "b": i} for i in range(30)]
    data = {"k": rows, "x": [1, 2, 3]}

    class Shrink(dt.tzinfo):
        def utcoffset(self, when):
            rows.clear()
            data.clear()
            return dt.timedelta(0)

    rows[3]["a"] = dt.datetime(2024, 1, 1, tzinfo=Shrink())
    out = plav.dumps(data, sort_keys=True)
    assert out.startswith('{"k":[')

    holder = {"v": None, "w": [1]}

    class Evil(enum.Enum):
        A = 1

        @property
        def value(self):
            holder.clear()
            return [object() for _ in range(3)] and "gone"

    holder["v"] = Evil.A
    assert plav.dumps(holder, sort_keys=True) == '{"v":"gone","w":[1]}'
    holder.update(v=Evil.A, w=[1])
    try:
        plav.dumps(holder)
    except BaseException as exc:  # noqa: BLE001 - the module's answer to a dict that shrank
        assert internal_failure(exc)

    class Key:
        def __str__(self):
            table.clear()
            return "key"

    table = {Key(): [1], "a": {"b": 2}}
    assert plav.dumps(table, sort_keys=True) == '{"a":{"b":2},"key":[1]}'

    victims = [{"p": Opaque(), "q": 1}] + [{"p": 1, "q": 1}] * 70

    def drop(obj):
        victims.clear()
        return [obj.__class__.__name__]

    plav.dumps(victims, default=drop)
