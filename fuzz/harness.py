"""Shared pieces of the fuzz targets: input-driven generators of documents, objects and
options, exact equality and the checks on every result. Runs without atheris, so the
corpora replay under plain Python (`PLAV_FUZZ_REPLAY=1 python fuzz/fuzz_*.py PATH...`)."""

from __future__ import annotations

import dataclasses
import datetime as dt
import decimal
import enum
import math
import os
import re
import struct
import sys
import uuid

import plav_core


def is_internal_failure(exc: BaseException) -> bool:
    """The module's own exception for caller code that breaks an invariant."""
    return type(exc).__name__ == "InternalFailure" and not isinstance(exc, Exception)


class Finding(AssertionError):
    """A result that breaks one of the checked properties."""


class Reader:
    """Hands out the fuzzer's bytes as choices; past the end every choice is 0."""

    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def byte(self) -> int:
        self.pos += 1
        return self.data[self.pos - 1] if self.pos <= len(self.data) else 0

    def pick(self, seq):
        return seq[self.byte() % len(seq)]

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk

    def rest(self) -> bytes:
        return self.take(len(self.data))


# ---- documents for loads: valid and nearly valid PLAV text (tables split at "~") ----

WHITESPACE = b"~ ~  ~\n~\t~\r\n~/* c */~// c\n~\x0c~\r".split(b"~")
NUMBERS = (
    b"0 -0 1 -1 12 3.25 -0.5 1e5 1E-5 2.5e+300 1e400 -1e400 5e-324 1.7976931348623157e308"
    b" 9223372036854775807 9223372036854775808 -9223372036854775809 18446744073709551616 01"
    b" 1. .5 +1 - 1e 0x10 1_000 NaN Infinity -Infinity -NaN Inf 123456789012345678901234567890"
    b" 0.1e-999999"
).split()
LITERALS = b"true false null tru nul nulll True None".split()
STRING_PIECES = (
    b'a~abc~Alice~ ~\xc3\xa9~\xf0\x9f\x98\x80~\\n~\\"~\\\\~\\/~\\b\\f\\r\\t~\\u0041~\\u00e9'
    b"~\\ud83d\\ude00~\\ud800~\\udc00~\\ud800\\u0041~\\uDFFF~\\u12~\\uZZZZ~\\x~\\~\x01~\x1f~\x7f"
    b"~\xff~\xc0\xaf~\xed\xa0\x80~\xe2\x82~\xf4\x90\x80\x80~\x80~;~,~]~[~{~}~:~|~\t~\n~/*~//"
    b"~\xef\xbb\xbf"
).split(b"~")
KEY_WORDS = (
    b"a~b~id~name~score~x~full name~~_k~$ref~a-b~k1~1k~true~null~NaN~\xc3\xa9t\xc3\xa9~\xff"
    b"~\xed\xa0\x80"
).split(b"~")
BARE_CELLS = (
    b"Alice~Bob~x\\;y~a\\,b~p\\|q~x\\]~caf\xc3\xa9~a b~~\xff~\xed\xb0\x80~\\~hello world  ~@"
    b"~#tag~'q'~+1~.5"
).split(b"~")
DELIMS = b", ~,~\t~ | ~|~ ,~\t\t".split(b"~")
ROW_SEPS = b"; ~;~;\n~ ; ~;;~;\r\n".split(b"~")


def _ws(r: Reader) -> bytes:
    b = r.byte()
    return WHITESPACE[b % len(WHITESPACE)] if b & 1 else b""


def gen_string(r: Reader) -> bytes:
    parts = [b'"'] + [r.pick(STRING_PIECES) for _ in range(r.byte() % 6)]
    return b"".join(parts) + (b'"' if r.byte() % 16 else b"")  # now and then unterminated


def gen_key(r: Reader) -> bytes:
    kind = r.byte() % 4
    if kind == 0:
        return r.pick(KEY_WORDS)  # unquoted
    return gen_string(r) if kind == 1 else b'"' + r.pick(KEY_WORDS) + b'"'


def _delim(r: Reader, delim: bytes) -> bytes:
    return delim if r.byte() % 8 else r.pick(DELIMS)


def gen_grid(r: Reader, depth: int) -> bytes:
    count = r.byte() % 5
    out = [
        b"[",
        str(r.byte()).encode() if count == 1 else [b"", b"", b"3  ", b"9" * 23, b""][count],
    ]
    out.append(b":")
    h, delim = r.byte() % 5, r.pick(DELIMS)
    if h == 0 and r.byte() & 1:
        return b"".join(out) + _ws(r) + b"]"
    out.append(b" ")
    for i in range(h):
        out += [_delim(r, delim) if i else b"", gen_key(r) if r.byte() & 1 else r.pick(KEY_WORDS)]
    if r.byte() % 8 == 0:
        out.append(delim)  # a delimiter after the last key
    out.append(b";" if r.byte() % 16 else b"")
    for i in range(r.byte() % 6):
        out.append(r.pick(ROW_SEPS) if i else b"")
        for j in range(r.byte() % (h + 2)):
            out.append(_delim(r, delim) if j else b"")
            kind = r.byte() % 4
            out.append(_ws(r))
            if kind != 1:  # else an empty cell
                out.append(r.pick(BARE_CELLS) if kind == 0 else gen_value(r, depth + 1))
    out.append(b";" if r.byte() % 4 == 0 else b"")
    return b"".join(out) + (b" ]" if r.byte() % 16 else b"")


def _members(r: Reader, opener: bytes, member, closer: bytes) -> bytes:
    items = [member() for _ in range(r.byte() % 5)]
    body = (b"," + _ws(r)).join(items)
    if items and r.byte() % 8 == 0:
        body += b","  # a trailing comma
    return opener + _ws(r) + body + _ws(r) + closer


def _array(r: Reader, d: int) -> bytes:
    return _members(r, b"[", lambda: gen_value(r, d + 1), b"]")


def _object(r: Reader, d: int) -> bytes:
    member = lambda: gen_key(r) + _ws(r) + b":" + _ws(r) + gen_value(r, d + 1)
    return _members(r, b"{", member, b"}")


VALUES = [lambda r, d: r.pick(NUMBERS), lambda r, d: gen_string(r), lambda r, d: r.pick(LITERALS)]
VALUES += [lambda r, d: str(r.byte() * 1000003 - 7).encode()]
VALUES += [_array, _array, _object, _object, gen_grid, gen_grid, gen_grid]
VALUES += [lambda r, d: r.take(r.byte() % 8)]  # raw bytes
VALUES += [lambda r, d: r.byte() % 40 * r.pick([b"[", b'{"k":', b"[:a;"]) + gen_value(r, d + 12)]
VALUES += [lambda r, d: r.pick(BARE_CELLS)]


def gen_value(r: Reader, depth: int = 0) -> bytes:
    return VALUES[r.byte() % (14 if depth < 12 else 4)](r, depth)


def gen_document(r: Reader) -> bytes:
    doc = _ws(r) + gen_value(r) + _ws(r)
    return doc + r.take(r.byte() % 4) if r.byte() % 16 == 0 else doc  # trailing content


# ---- dumps options ----

DELIMITER_OPTIONS = ["comma", "tab", "pipe", ",", "\t", "|", "Tab", ""]
CELLS_OPTIONS = ["any", "safe", "any", "all", 1]  # the last two are refused
TRUTH_VALUES = [True, False, 1, 0, "x", "", [0], None]  # bare_text of either truth value


def gen_options(r: Reader, wrong_values: bool = False) -> dict:
    """dumps options from the input; `wrong_values`: cells may be a value dumps refuses."""
    a, b = r.byte(), r.byte()
    opts = {
        "mox_grid": not a & 1,
        "unquoted_keys": bool(a & 2),
        "bare_strings": bool(a & 4) and (b & 8 == 0),
        "implicit_null": bool(a & 8) and (b & 16 == 0),
        "row_count": not a & 16,
        "multiline_mox": bool(a & 32) and (b & 32 == 0),
        "delimiter": DELIMITER_OPTIONS[b % len(DELIMITER_OPTIONS)],
    }
    if a & 64:
        opts["indent"] = [0, 1, 2, 4, True][(a >> 7) + (b >> 6) * 2 & 3]
    c = r.byte()
    if c & 3:
        choices = CELLS_OPTIONS[: 5 if wrong_values else 3]
        opts["cells"] = choices[c % len(choices)]
    if c & 4:
        opts["bare_text"] = TRUTH_VALUES[(c >> 3) % len(TRUTH_VALUES)]
    d = r.byte()
    if d & 1:
        opts["sort_keys"] = True
    if d & 6:
        opts["default"] = fuzz_default
    return opts


def lean_readable(opts: dict) -> bool:
    """Grids read back whatever the cells (bar keys a row lacked): compact, lean options."""
    lean = opts.get("cells") == "any" or bool(opts.get("bare_text"))
    return lean and "indent" not in opts and not opts.get("multiline_mox")


def readable_options(opts: dict) -> bool:
    """Whether every value reads back (indented or multi-line grids, bare cells and implicit
    nulls are write-only or lossy by design)."""
    if opts.get("multiline_mox") or opts.get("bare_strings") or opts.get("implicit_null"):
        return False
    return "indent" not in opts or not opts.get("mox_grid", True)


# ---- exact equality (NaN equals NaN, -0.0 differs from 0.0, bool differs from int) ----


def same(a, b, ordered: bool = False) -> bool:
    """`ordered`: dict keys must also come in the same order."""
    stack = [(a, b)]
    while stack:
        a, b = stack.pop()
        if type(a) is not type(b):
            return False
        if type(a) is float:
            if struct.pack("<d", a) != struct.pack("<d", b) and not (a != a and b != b):
                return False
        elif type(a) is list:
            if len(a) != len(b):
                return False
            stack.extend(zip(a, b))
        elif type(a) is dict:
            if a.keys() != b.keys() or ordered and list(a) != list(b):
                return False
            stack.extend((v, b[k]) for k, v in a.items())
        elif a != b:
            return False
    return True


def same_or_null_filled(read, expected) -> bool:
    """same(), but a dict read back may carry extra None keys (header keys its row lacked)."""
    if type(read) is not type(expected) or type(read) not in (dict, list):
        return same(read, expected)
    if type(read) is list:
        return len(read) == len(expected) and all(map(same_or_null_filled, read, expected))
    extra = read.keys() - expected.keys()
    return (
        expected.keys() <= read.keys()
        and all(read[k] is None for k in extra)
        and all(same_or_null_filled(read[k], v) for k, v in expected.items())
    )


# ---- checks on what loads returns ----

LOADS_TYPES = (dict, list, str, int, float, bool, type(None))
LOADS_MESSAGES = re.compile(
    r"(?s)(?:(?:Invalid character '.{1,2}' at position \d+|Expected '.' at position \d+"
    r"|Invalid escape sequence '\\.{1,2}' at position \d+|Unexpected end of input"
    r"|Invalid Unicode escape at position \d+|Unescaped control character at position \d+"
    r"|Trailing content after document|Invalid UTF-8 in (?:key|string|cell|header)"
    r"|Mox Grid exceeds 1M rows limit|Maximum nesting depth exceeded"
    r"|Mox Grid row has \d+ cells, expected \d+|Mox Grid has \d+ rows, expected \d+)"
    r" \(approximate position: ±32 bytes from \d+\))"
    r"|Invalid number(?:: leading zeros not allowed|: decimal point must be followed by digits)?"
    r"|Invalid float|Invalid UTF-8 in string|Failed to create (?:float|integer|large integer)"
)


def check_decode_error(e: ValueError, doc) -> None:
    """A loads error is a DecodeError placed within `doc`, the input as given."""
    if type(e) is not plav_core.DecodeError or e.doc is not doc or e.args != (str(e),):
        raise Finding(f"not a DecodeError of this input: {e!r}")
    if not 0 <= e.pos <= len(doc):
        raise Finding(f"error position {e.pos} outside the input of {len(doc)}")
    before = doc[: e.pos] if type(doc) is str else bytes(doc[: e.pos]).decode("utf-8", "replace")
    line = before[before.rfind("\n") + 1 :]
    if (e.lineno, e.colno) != (before.count("\n") + 1, len(line) + 1):
        raise Finding(f"line {e.lineno} column {e.colno} at {e.pos} of {doc!r}")


def _walk(obj, budget: int, record: dict | None) -> None:
    stack = [obj]
    while stack and budget > 0:
        budget -= 1
        v = stack.pop()
        t = type(v)
        if t not in LOADS_TYPES:
            raise Finding(f"loads returned a {t!r}")
        if t is str:
            v.encode("utf-8")  # no lone surrogates
        elif t is dict or t is list:
            for k in v if t is dict else ():
                if type(k) is not str:
                    raise Finding(f"dict key of type {type(k)!r}")
                k.encode("utf-8")
            for item in v.values() if t is dict else v:
                if type(item) in (dict, list):
                    refs = sys.getrefcount(item)
                    if record is not None:
                        record.setdefault(t.__name__, set()).add(refs)
                    elif refs != EXPECTED_REFS.get(t.__name__, refs):
                        raise Finding(f"a container nested in a {t.__name__} has {refs} references")
                stack.append(item)
            item = None


def _calibrate() -> dict:
    """The reference counts of a nested container with one owner, measured on json's result."""
    import json

    record: dict = {}
    _walk(json.loads('[[1], {"a": [1], "b": {}}, {}, [[]]]'), 1000, record)
    return {k: next(iter(v)) for k, v in record.items() if len(v) == 1}


EXPECTED_REFS = _calibrate()


def walk(obj, budget: int = 200000) -> None:
    """Checks every object of a loads result: types, keys, text, one owner per container."""
    _walk(obj, budget, None)


def grid_exact(obj) -> bool:
    """False when grids may drop or add data: a list of dicts whose key sets differ."""
    stack = [obj]
    while stack:
        v = stack.pop()
        if type(v) is dict:
            stack.extend(v.values())
        elif type(v) is list:
            keys = v[0].keys() if len(v) >= 2 and type(v[0]) is dict and v[0] else None
            if keys and not all(type(e) is dict and e.keys() == keys for e in v):
                return False
            stack.extend(v)
    return True


def depth_of(obj, limit: int = 300) -> int:
    best, stack = 0, [(obj, 0)]
    while stack and best <= limit:
        v, d = stack.pop()
        best = max(best, d)
        if type(v) in (dict, list, tuple):
            stack.extend((x, d + 1) for x in (v.values() if type(v) is dict else v))
    return best


# ---- objects for dumps ----
# Each generator returns (object, expected): what loads reads back from a plain
# (mox_grid=False) dump, or UNKNOWN where only "no crash" is checked.

UNKNOWN = object()


class Boom(Exception):
    pass


def _raise(*args):
    raise Boom("from a method")


def lying(base, text, **more):
    """A subclass of `base` whose text methods say `text`: dumps must write its value."""
    lie = lambda *args, **kwargs: text
    lies = dict(__str__=lie, __repr__=lie, isoformat=lie)
    return type(f"Lying{base.__name__}", (base,), lies | more)


IntLike = lying(int, 'IntLike!", "injected": [', __format__=lambda s, fmt: "]")
FloatLike, StrLike = lying(float, "1, 2"), type("StrLike", (str,), {})
LyingDateTime, LyingDate = lying(dt.datetime, "lie"), lying(dt.date, "lie")
LyingUUID, LyingDecimal = lying(uuid.UUID, "lie"), lying(decimal.Decimal, "1, 2")
BadStr = type("BadStr", (), dict(__str__=_raise, __hash__=lambda s: 1, __eq__=lambda s, o: s is o))
Colour = enum.IntEnum("Colour", dict(RED=1, BIG=2**70))
NESTED = {"at": dt.date(2024, 1, 2), "tags": ("x", None), "id": uuid.UUID(int=1)}
STATUS = dict(OPEN="open", CLOSED="closed, for now", ONE=1, HALF=0.5, PAIR=(1, "a"), NONE=None)
Status = enum.Enum("Status", STATUS | {"NESTED": NESTED})
WHEN = dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=dt.UTC)
Wrapped = enum.Enum("Wrapped", dict(INNER=Status.PAIR, WHEN=WHEN, MONEY=decimal.Decimal("-12.50")))


@dataclasses.dataclass
class Point:
    x: object
    y: object


class Opaque:
    """Only `default` writes it: the payload, after the action (which may change things)."""

    def __init__(self, payload, act=None):
        self.payload, self.act = payload, act

    def unwrap(self):
        if self.act is not None:
            self.act()
        return self.payload


class Model(Opaque):
    """Looks like a pydantic model."""

    model_dump = Opaque.unwrap


class OldModel(Opaque):
    """Looks like a pydantic v1 model."""

    __fields__, dict = {"v": None}, Opaque.unwrap


class Chain(Opaque):
    """`default` returns the next link, n more times, then "end" (n < 0: itself)."""

    unwrap = lambda s: s if s.payload < 0 else Chain(s.payload - 1) if s.payload else "end"


def fuzz_default(obj):
    if type(obj) in (Opaque, Chain):
        return obj.unwrap()
    raise Boom("default")


class FixedTz(dt.tzinfo):
    """utcoffset returns or raises what it holds, after an action that may change things."""

    def __init__(self, offset=None, act=None):  # defaults: dataclasses.asdict copies it
        self.offset, self.act = offset, act

    def utcoffset(self, when):
        if self.act is not None:
            self.act()
        if isinstance(self.offset, BaseException):
            raise self.offset
        return self.offset


HOUR = dt.timedelta(hours=1)
TIMEZONES = [None, dt.UTC, dt.timezone(5.5 * HOUR), dt.timezone(-3.25 * HOUR)]
TIMEZONES += [FixedTz(x) for x in (None, -HOUR / 3600, 23 * HOUR + dt.timedelta(0, 59, 3))]
TIMEZONES += [FixedTz(24 * HOUR), FixedTz(5), FixedTz(Boom("utcoffset"))]
# Decimal text and what loads reads back for it (UNKNOWN: past what loads reads).
DECIMALS = [("9.99", 9.99), ("1E+2", 100.0), ("-0", 0), ("-0.00", -0.0), ("0E-7", 0.0)]
DECIMALS += [("12", 12), ("-1.5E-9", -1.5e-9), ("NaN", math.nan), ("-sNaN7", math.nan)]
DECIMALS += [("Infinity", math.inf), ("-Infinity", -math.inf), ("9" * 5000, UNKNOWN)]
DECIMALS += [("0." + "1" * 40, float("0." + "1" * 40)), ("-" + "7" * 30, -int("7" * 30))]


def plain_form(v):
    """What loads reads back from dumps of `v`, for the values the enums hold."""
    if isinstance(v, enum.Enum) and not isinstance(v, (int, str)):
        return plain_form(v.value)
    for base in (dt.datetime, dt.date, dt.time, uuid.UUID):
        if isinstance(v, base):
            return uuid.UUID.__str__(v) if base is uuid.UUID else base.isoformat(v)
    if isinstance(v, (list, tuple)):
        return [plain_form(x) for x in v]
    if isinstance(v, dict):
        return {k: plain_form(x) for k, x in v.items()}
    return float(v) if isinstance(v, decimal.Decimal) else v


def gen_native(r: Reader):
    """Datetimes, dates, times (any offset, lying subclasses), UUIDs, enums, Decimals."""
    kind = r.byte() % 6
    if kind <= 2:
        b = r.take(8).ljust(8, b"\0")
        us = (b[6] << 8 | b[7]) * 15 % 1000000 if b[5] & 1 else 0
        tz, date = r.pick(TIMEZONES), (1 + (b[0] << 8 | b[1]) % 9999, 1 + b[2] % 12, 1 + b[3] % 28)
        clock, lie = (b[4] % 24, b[5] % 60, b[6] % 60, us), b[5] & 2
        if kind == 0:
            v = (LyingDateTime if lie else dt.datetime)(*date, *clock, tzinfo=tz, fold=b[7] & 1)
        else:
            v = (LyingDate if lie else dt.date)(*date) if kind == 1 else dt.time(*clock, tzinfo=tz)
        try:
            return v, plain_form(v)
        except (Boom, TypeError, ValueError):
            return v, UNKNOWN
    if kind == 3:
        v = (LyingUUID if r.byte() & 1 else uuid.UUID)(
            int=int.from_bytes(r.take(16).ljust(16, b"\0"))
        )
    elif kind == 4:
        v = r.pick([*Status, *Wrapped])
    else:
        text, expected = r.pick(DECIMALS)
        return (LyingDecimal if r.byte() & 1 else decimal.Decimal)(text), expected
    return v, plain_form(v)


TEXT_PIECES = [
    lambda r: chr(r.byte()),
    lambda r: chr(0xD800 + r.byte() * 8),  # surrogates, lone or in pairs
    lambda r: chr(0x10000 + r.byte() * 4000),
    lambda r: r.pick(['"', "\\", "\n", "\t", ";", ",", "|", "]", "\x00", "\u2028"]),
    lambda r: r.pick(["Alice", "id", "x-1", "true", "null", "a b", "", "NaN"]),
    lambda r: chr(0x80 + r.byte() * 3),
]


def gen_text(r: Reader):
    """Text of any code points and its read-back (UNKNOWN with a lone surrogate)."""
    s = "".join(TEXT_PIECES[r.byte() % 6](r) for _ in range(r.byte() % 12))
    return s, s if not re.search("[\ud800-\udfff]", s) else UNKNOWN


def _big(r: Reader):
    digits = r.pick([19, 20, 100, 4299, 4300, 4301, 5000])
    v = 10 ** (digits - 1) * (1 if r.byte() & 1 else -1)
    return v, (v if digits <= 4300 else UNKNOWN)


def _as(v, convert=lambda v: v):
    return v, convert(v)


PLAIN = [None, True, False, -128, -1, 0, 127, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1]
PLAIN += [2**64 - 1, 2**64, -(2**64), 0.0, -0.0, 0.1, 1e16, 1e15, 1e-5, 1e-6, 5e-324]
PLAIN += [math.inf, -math.inf, math.nan]
SCALARS = [lambda r: _as(r.pick(PLAIN)), _big, gen_text, gen_native, gen_native]
SCALARS += [lambda r: _as(struct.unpack("<d", r.take(8).ljust(8, b"\0"))[0])]
SCALARS += [lambda r: _as(r.take(r.byte() % 6), bytes.hex)]
SCALARS += [lambda r: _as(IntLike(r.pick([5, 2**64, -(2**70), 10**400])), int)]
SCALARS += [lambda r: next((StrLike(s), e) for s, e in [gen_text(r)])]
SCALARS += [lambda r: _as(FloatLike(r.pick([0.5, -2.0, 1e300])), float)]
SCALARS += [lambda r: _as(r.pick(list(Colour)), int)]


def gen_scalar(r: Reader):
    return r.pick(SCALARS)(r)


KEY_OBJECTS = [1, -5, 2**70, 1.5, math.inf, None, True, False, (1, "a"), StrLike("id")]
KEY_OBJECTS += [StrLike("sub"), Colour.RED, Status.OPEN, dt.date(2024, 1, 2), uuid.UUID(int=7)]
KEY_OBJECTS += [LyingDate(1, 2, 3), decimal.Decimal("1.50")]


def gen_key_object(r: Reader):
    """A dict key and the text dumps writes for it (UNKNOWN: not predicted)."""
    kind = r.byte() % 8
    if kind == 0:
        return gen_text(r)
    if kind < 4:
        return _as(r.pick(["id", "name", "a", "b", "x-y", "$ref", "", "1"]))
    return (BadStr(), UNKNOWN) if kind == 4 else _as(r.pick(KEY_OBJECTS), str)


def _known(exps: list):
    return UNKNOWN if any(e is UNKNOWN for e in exps) else exps


def _items(r: Reader, depth: int, env: dict, n: int, make):
    pairs = [gen_object(r, depth + 1, env) for _ in range(r.byte() % n)]
    obj = make(o for o, _ in pairs)
    if make is list:
        env["containers"].append(obj)
    return obj, _known([e for _, e in pairs])


def _dict(r: Reader, depth: int, env: dict):
    obj, exps, key_texts = {}, {}, {}
    for _ in range(r.byte() % 5):
        key, key_text = gen_key_object(r)
        obj[key], exps[key] = gen_object(r, depth + 1, env)
        key_texts.setdefault(key, key_text)  # the dict keeps its first key object
    env["containers"].append(obj)
    # written in the dict's order, read back with the last of equal texts winning
    if any(key_texts[k] is UNKNOWN or exps[k] is UNKNOWN for k in obj):
        return obj, UNKNOWN
    return obj, {key_texts[k]: exps[k] for k in obj}


ROW_KEYS = ["id", "name", "score", "full name", "a-b", "k", StrLike("s")]


def gen_rows(r: Reader, depth: int, env: dict):
    """Grid candidates: dicts sharing keys, now and then a key short or extra, a nested
    cell, a model or a non-dict row."""
    keys, rows, exps = [r.pick(ROW_KEYS) for _ in range(1 + r.byte() % 3)], [], []
    for _ in range(r.byte() % 14):
        row, exp = {}, {}
        for k in keys:
            if r.byte() % 16:  # else a missing key
                cell = gen_scalar(r) if r.byte() % 8 else gen_object(r, depth + 2, env)
                row[k], exp[str.__str__(k)] = cell
        if r.byte() % 16 == 0:
            row["extra"] = exp["extra"] = 1
        choice = r.byte() % 24
        if choice == 0:
            env["converted"], row = True, Model(row)
        elif choice == 1:
            row = r.pick([5, None, "row", [1]])
        rows.append(row)
        exps.append(UNKNOWN if choice == 1 or UNKNOWN in exp.values() else exp)
    env["containers"].append(rows)
    return rows, _known(exps)


def _mutator(r: Reader, env: dict):
    """An action that clears or changes one of the containers made so far; it acts only
    once env["armed"] is set (building the graph hashes keys)."""
    if not env["containers"]:
        return lambda: None
    armed, target, how = env.setdefault("armed", [False]), r.pick(env["containers"]), r.byte() % 6
    fresh = r.pick([lambda: [object()], lambda: {"z": [1.5]}, lambda: "s" * 40, lambda: 2**80])
    is_dict = isinstance(target, dict)

    def act():
        if not armed[0]:
            return
        if how == 0:
            target.clear()
        elif how == 1 and target:
            target.pop(next(iter(target))) if is_dict else target.pop()
        elif how == 2 or (how == 3 and not is_dict):
            for k in list(target) if is_dict else range(len(target)):
                target[k] = fresh()
        elif is_dict:
            target[f"k{len(target) % 3}"] = fresh()
        elif target:
            target[0] = {"replaced": fresh()}
        else:
            target.append(fresh())

    return act


class HostileKey:
    """A dict key whose __str__ (where 0), __hash__ (1) or __eq__ (2) runs the action."""

    def __init__(self, act, where: int):
        self.act, self.where = act, where

    def run(self, where, result):
        if self.where == where:
            self.act()
        return result

    __str__, __hash__ = lambda s: s.run(0, "hk"), lambda s: s.run(1, 7)
    __eq__ = lambda s, o: s.run(2, s is o)


class HostileStrKey(str):
    """A str-subclass key (a grid header key) whose __eq__ runs the action."""

    __hash__ = str.__hash__
    __eq__ = lambda s, o: (s.act(), str.__eq__(s, o))[1]


LyingDict = type("LyingDict", (dict,), dict(__len__=lambda s: 99, __iter__=lambda s: iter("?")))


def _hostile(r: Reader, depth: int, env: dict):
    """Python code run by dumps that changes the containers around it, calls dumps again,
    raises or returns itself: only the absence of a crash is checked."""
    env["converted"], kind = True, r.byte() % 10
    if kind == 0:  # a dict with a hostile key
        d = {gen_key_object(r)[0]: gen_object(r, depth + 1, env)[0] for _ in range(r.byte() % 3)}
        env["containers"].append(d)
        d[HostileKey(_mutator(r, env), r.byte() % 3)] = gen_object(r, depth + 1, env)[0]
        return d, UNKNOWN
    if kind == 1:  # grid rows with a str-subclass key that changes things in lookups
        rows, _ = gen_rows(r, depth, env)
        key = HostileStrKey(r.pick(["id", "name", "k", "zz"]))
        key.act, row = _mutator(r, env), {key: gen_scalar(r)[0]}
        for k in r.pick([["id"], ["name", "id"], ["k", "score", "id"]]):
            row.setdefault(k, gen_scalar(r)[0] if r.byte() % 4 else [object()])
        rows.insert(r.byte() % (len(rows) + 1), row)
        return rows, UNKNOWN
    if kind == 2:  # models that return one shared dict, changed by every call
        act, shared, models = _mutator(r, env), {}, []
        for i in range(2 + r.byte() % 12):
            step = act if r.byte() % 3 == 0 else lambda: None
            models.append(Model(shared, lambda i=i, step=step: (step(), shared.update(i=i))))
        env["containers"].append(models)
        return models, UNKNOWN
    if kind == 3:  # a dict subclass that lies about its length and members
        d = LyingDict({gen_key_object(r)[0]: gen_scalar(r)[0] for _ in range(r.byte() % 4)})
        return [d, d] if r.byte() & 1 else d, UNKNOWN
    if kind == 4:  # a model in a list, whose conversion replaces earlier elements
        rows = [{"id": i, "name": f"n{i}"} for i in range(r.byte() % 12)]
        env["containers"].append(rows)
        rows.append(Model({"id": -1, "name": "m"}, _mutator(r, env)))
        return rows, UNKNOWN
    if kind == 5:  # a model returning itself: the call must end at the depth limit
        m = Model(None)
        m.payload = m
        return m, UNKNOWN
    if kind == 6:  # an enum member whose value changes containers
        moving, act = enum.Enum("Moving", {"A": 1}), _mutator(r, env)
        moving.value = property(lambda s: (act(), [2])[1])
        return moving.A, UNKNOWN
    if kind == 7:  # a time zone whose utcoffset changes containers
        tz = FixedTz(HOUR, _mutator(r, env))
        return r.pick([dt.datetime(2024, 1, 1, tzinfo=tz), dt.time(1, tzinfo=tz)]), UNKNOWN
    act = r.pick([_mutator(r, env), lambda: plav_core.dumps([1, 2]), _raise])
    return r.pick([Model, Opaque])({"m": [Model({"deep": 1}), Point(1, Model(2))]}, act), UNKNOWN


def _converted(r: Reader, depth: int, env: dict):
    """Models, dataclasses, objects only `default` writes, and objects nothing writes."""
    kind, env["converted"] = r.byte() % 6, True
    if kind <= 2:
        obj, exp = gen_object(r, depth + 1, env)
        if kind == 2 and not env.get("default"):
            return Opaque(obj), UNKNOWN
        return [Model, OldModel, Opaque][kind](obj), exp
    if kind == 3:
        (a, ea), (b, eb) = gen_scalar(r), gen_object(r, depth + 1, env)
        return Point(a, b), UNKNOWN if UNKNOWN in (ea, eb) else {"x": ea, "y": eb}
    if kind == 4:
        n = r.byte() * 2
        return Chain(n), "end" if env.get("default") and n < 200 else UNKNOWN
    unwritable = [Chain(-1), {1, 2}, object(), bytearray(b"a"), 1j, range(3), BadStr()]
    return r.pick(unwritable), UNKNOWN


def _nest(r: Reader, depth: int, env: dict):
    obj, exp, n = [], [], r.byte() % 300
    for _ in range(n):
        obj, exp = [obj], [exp]
    return obj, (UNKNOWN if n > 256 else exp)


OBJECTS = [lambda r, d, env: gen_scalar(r), lambda r, d, env: gen_text(r), _dict, _dict]
OBJECTS += [lambda r, d, env: _items(r, d, env, 5, list)] * 2 + [gen_rows] * 2 + [_nest]
OBJECTS += [lambda r, d, env: _items(r, d, env, 4, tuple), _converted, _converted, _hostile]


def gen_object(r: Reader, depth: int = 0, env: dict | None = None):
    """(object, expected); `env` collects containers that hostile code may change."""
    if env is None:
        env = {"containers": [], "converted": False}
    return OBJECTS[r.byte() % (len(OBJECTS) if depth < 10 else 2)](r, depth, env)


def has_grid_candidate(obj) -> bool:
    """Whether mox_grid could change what is written for `obj`."""
    stack, seen = [obj], 0
    while stack and seen < 100000:
        seen += 1
        v = stack.pop()
        if isinstance(v, dict):
            stack.extend(v.values())
        elif isinstance(v, (list, tuple)):
            if (
                isinstance(v, list)
                and len(v) >= 2
                and not isinstance(v[0], (type(None), bool, int, float, str, list, tuple))
            ):
                return True
            stack.extend(v)
        elif isinstance(v, Opaque):
            stack.append(v.payload)
        elif isinstance(v, Point):
            stack.extend([v.x, v.y])
    return False


def check_written(written, opts: dict, expected, grids_exact: bool) -> None:
    """A valid str that, where the options and grids lose nothing, reads back as `expected`."""
    if type(written) is not str:
        raise Finding("dumps returned a non-str")
    written.encode("utf-8")
    if expected is UNKNOWN:
        return
    if lean_readable(opts):  # grids may fill in header keys a row lacked
        if not same_or_null_filled(plav_core.loads(written), expected):
            raise Finding(f"lean text reads back differently under {opts}: {written[:300]!r}")
        return
    readable = readable_options(opts) and (grids_exact or not opts.get("mox_grid", True))
    if readable and not same(expected, plav_core.loads(written)):
        raise Finding(f"read back differs under {opts}: {written[:300]!r}")


def run(one_input) -> None:
    """Fuzzes with atheris, or with PLAV_FUZZ_REPLAY=1 replays the files and folders given."""
    if os.environ.get("PLAV_FUZZ_REPLAY"):
        paths = []
        for arg in sys.argv[1:]:
            if os.path.isdir(arg):
                paths += sorted(os.path.join(arg, f) for f in os.listdir(arg))
            elif not arg.startswith("-"):
                paths.append(arg)
        for path in paths:
            with open(path, "rb") as f:
                one_input(f.read())
        print(f"replayed {len(paths)} inputs")
        return
    import atheris

    # libFuzzer's -merge=1 and -fork re-run argv[0]: point it at the wrapper that sets
    # up the interpreter and the preloaded runtime (written by ./dev.sh fuzz).
    argv = list(sys.argv)
    argv[0] = os.environ.get("PLAV_FUZZ_SELF", argv[0])
    atheris.Setup(argv, one_input)
    atheris.Fuzz()
