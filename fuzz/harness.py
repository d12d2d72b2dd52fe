"""Shared pieces of the Python-level fuzz targets: a byte reader that turns
fuzzer input into choices, PLAV document and object generators driven by it,
option decoding, exact equality and the checks made on every result.

Everything here runs without atheris too, so the saved corpora can be replayed
by plain Python (tests/test_hostile.py does, and so does
`PLAV_FUZZ_REPLAY=1 python fuzz/fuzz_*.py FILE_OR_DIR...`).
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import decimal
import enum
import math
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
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        b = self.data[self.pos] if self.pos < len(self.data) else 0
        self.pos += 1
        return b

    def pick(self, seq):
        return seq[self.byte() % len(seq)]

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk

    def rest(self) -> bytes:
        return self.take(len(self.data))


# ---------------------------------------------------------------------------
# Document generator for loads: valid and nearly valid PLAV text.

WHITESPACE = [b"", b" ", b"  ", b"\n", b"\t", b"\r\n", b"/* c */", b"// c\n", b"\x0c", b"\r"]
NUMBERS = [
    b"0",
    b"-0",
    b"1",
    b"-1",
    b"12",
    b"3.25",
    b"-0.5",
    b"1e5",
    b"1E-5",
    b"2.5e+300",
    b"1e400",
    b"-1e400",
    b"5e-324",
    b"1.7976931348623157e308",
    b"9223372036854775807",
    b"9223372036854775808",
    b"-9223372036854775809",
    b"18446744073709551616",
    b"01",
    b"1.",
    b".5",
    b"+1",
    b"-",
    b"1e",
    b"0x10",
    b"1_000",
    b"NaN",
    b"Infinity",
    b"-Infinity",
    b"-NaN",
    b"Inf",
    b"123456789012345678901234567890",
    b"0.1e-999999",
]
LITERALS = [b"true", b"false", b"null", b"tru", b"nul", b"nulll", b"True", b"None"]
STRING_PIECES = [
    b"a",
    b"abc",
    b"Alice",
    b" ",
    b"\xc3\xa9",
    b"\xf0\x9f\x98\x80",
    b"\\n",
    b'\\"',
    b"\\\\",
    b"\\/",
    b"\\b\\f\\r\\t",
    b"\\u0041",
    b"\\u00e9",
    b"\\ud83d\\ude00",
    b"\\ud800",
    b"\\udc00",
    b"\\ud800\\u0041",
    b"\\uDFFF",
    b"\\u12",
    b"\\uZZZZ",
    b"\\x",
    b"\\",
    b"\x01",
    b"\x1f",
    b"\x7f",
    b"\xff",
    b"\xc0\xaf",
    b"\xed\xa0\x80",
    b"\xe2\x82",
    b"\xf4\x90\x80\x80",
    b"\x80",
    b";",
    b",",
    b"]",
    b"[",
    b"{",
    b"}",
    b":",
    b"|",
    b"\t",
    b"\n",
    b"/*",
    b"//",
    b"\xef\xbb\xbf",
]
KEY_WORDS = [
    b"a",
    b"b",
    b"id",
    b"name",
    b"score",
    b"x",
    b"full name",
    b"",
    b"_k",
    b"$ref",
    b"a-b",
    b"k1",
    b"1k",
    b"true",
    b"null",
    b"NaN",
    b"\xc3\xa9t\xc3\xa9",
    b"\xff",
    b"\xed\xa0\x80",
]
BARE_CELLS = [
    b"Alice",
    b"Bob",
    b"x\\;y",
    b"a\\,b",
    b"p\\|q",
    b"x\\]",
    b"caf\xc3\xa9",
    b"a b",
    b"",
    b"\xff",
    b"\xed\xb0\x80",
    b"\\",
    b"hello world  ",
    b"@",
    b"#tag",
    b"'q'",
    b"+1",
    b".5",
]
DELIMS = [b", ", b",", b"\t", b" | ", b"|", b" ,", b"\t\t"]
ROW_SEPS = [b"; ", b";", b";\n", b" ; ", b";;", b";\r\n"]


def _ws(r: Reader) -> bytes:
    b = r.byte()
    return WHITESPACE[b % len(WHITESPACE)] if b & 1 else b""


def gen_string(r: Reader) -> bytes:
    parts = [b'"']
    for _ in range(r.byte() % 6):
        parts.append(r.pick(STRING_PIECES))
    if r.byte() % 16 != 0:  # now and then leave it unterminated
        parts.append(b'"')
    return b"".join(parts)


def gen_key(r: Reader) -> bytes:
    kind = r.byte() % 4
    if kind == 0:
        return r.pick(KEY_WORDS)  # unquoted
    if kind == 1:
        return gen_string(r)
    return b'"' + r.pick(KEY_WORDS) + b'"'


def gen_grid(r: Reader, depth: int) -> bytes:
    out = [b"["]
    count = r.byte() % 5
    if count == 1:
        out.append(str(r.byte()).encode())
    elif count == 2:
        out.append(b"3  ")
    elif count == 3:
        out.append(b"99999999999999999999999")
    out.append(b":")
    h = r.byte() % 5
    delim = r.pick(DELIMS)
    if h == 0 and r.byte() & 1:
        out.append(_ws(r) + b"]")
        return b"".join(out)
    out.append(b" ")
    for i in range(h):
        if i:
            out.append(delim if r.byte() % 8 else r.pick(DELIMS))
        out.append(gen_key(r) if r.byte() & 1 else r.pick(KEY_WORDS))
    if r.byte() % 8 == 0:
        out.append(delim)  # trailing delimiter after the last key
    out.append(b";" if r.byte() % 16 else b"")
    rows = r.byte() % 6
    for i in range(rows):
        if i:
            out.append(r.pick(ROW_SEPS))
        cells = r.byte() % (h + 2)
        for j in range(cells):
            if j:
                out.append(delim if r.byte() % 8 else r.pick(DELIMS))
            kind = r.byte() % 4
            out.append(_ws(r))
            if kind != 1:  # else an empty cell
                out.append(r.pick(BARE_CELLS) if kind == 0 else gen_value(r, depth + 1))
    if r.byte() % 4 == 0:
        out.append(b";")
    out.append(b" ]" if r.byte() % 16 else b"")
    return b"".join(out)


def gen_value(r: Reader, depth: int = 0) -> bytes:
    kind = r.byte() % (14 if depth < 12 else 4)
    if kind == 0:
        return r.pick(NUMBERS)
    if kind == 1:
        return gen_string(r)
    if kind == 2:
        return r.pick(LITERALS)
    if kind == 3:
        return str(r.byte() * 1000003 - 7).encode()
    if kind in (4, 5):
        items = [gen_value(r, depth + 1) for _ in range(r.byte() % 5)]
        sep = b"," + _ws(r)
        body = sep.join(items)
        if items and r.byte() % 8 == 0:
            body += b","  # trailing comma
        return b"[" + _ws(r) + body + _ws(r) + b"]"
    if kind in (6, 7):
        members = []
        for _ in range(r.byte() % 5):
            members.append(gen_key(r) + _ws(r) + b":" + _ws(r) + gen_value(r, depth + 1))
        body = (b"," + _ws(r)).join(members)
        if members and r.byte() % 8 == 0:
            body += b","
        return b"{" + _ws(r) + body + _ws(r) + b"}"
    if kind in (8, 9, 10):
        return gen_grid(r, depth)
    if kind == 11:
        return r.take(r.byte() % 8)  # raw bytes
    if kind == 12:
        n = r.byte() % 40
        opener = r.pick([b"[", b'{"k":', b"[:a;"])
        return opener * n + gen_value(r, depth + 12)
    return r.pick(BARE_CELLS)


def gen_document(r: Reader) -> bytes:
    doc = [_ws(r), gen_value(r), _ws(r)]
    if r.byte() % 16 == 0:
        doc.append(r.take(r.byte() % 4))  # trailing content
    return b"".join(doc)


# ---------------------------------------------------------------------------
# dumps options.

DELIMITER_OPTIONS = ["comma", "tab", "pipe", ",", "\t", "|", "Tab", ""]


def gen_options(r: Reader, wrong_values: bool = False) -> dict:
    """dumps options from the input; `wrong_values`: cells may also be a value that
    dumps refuses."""
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
        choices = CELLS_OPTIONS if wrong_values else CELLS_OPTIONS[:3]
        opts["cells"] = choices[c % len(choices)]
    if c & 4:
        opts["bare_text"] = TRUTH_VALUES[(c >> 3) % len(TRUTH_VALUES)]
    d = r.byte()
    if d & 1:
        opts["sort_keys"] = True
    if d & 6:
        opts["default"] = fuzz_default
    return opts


# Values of the lean options: both cells values (then two that dumps refuses) and
# objects of either truth value for bare_text.
CELLS_OPTIONS = ["any", "safe", "any", "all", 1]
TRUTH_VALUES = [True, False, 1, 0, "x", "", [0], None]


def lean_readable(opts: dict) -> bool:
    """Whether the options write grids that loads reads back (modulo header keys a row
    lacked), whatever the cells: the compact layout with cells="any" or bare_text."""
    lean = opts.get("cells") == "any" or bool(opts.get("bare_text"))
    return lean and "indent" not in opts and not opts.get("multiline_mox")


def readable_options(opts: dict) -> bool:
    """Whether loads reads back what dumps writes under these options for every
    value (the indented and multi-line grid layouts, bare cells and implicit
    nulls are write-only or lossy by design)."""
    if opts.get("multiline_mox") or opts.get("bare_strings") or opts.get("implicit_null"):
        return False
    return "indent" not in opts or not opts.get("mox_grid", True)


# ---------------------------------------------------------------------------
# Exact equality (NaN equals NaN, -0.0 differs from 0.0, bool differs from int).


def same(a, b) -> bool:
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
            if a.keys() != b.keys():
                return False
            stack.extend((v, b[k]) for k, v in a.items())
        elif a != b:
            return False
    return True


# ---------------------------------------------------------------------------
# Checks on what loads returns.

LOADS_TYPES = (dict, list, str, int, float, bool, type(None))

_SUFFIX = r" \(approximate position: ±32 bytes from \d+\)"
LOADS_MESSAGES = re.compile(
    r"(?s)"
    r"(?:(?:Invalid character '.{1,2}' at position \d+|Expected '.' at position \d+"
    r"|Invalid escape sequence '\\.{1,2}' at position \d+|Unexpected end of input"
    r"|Invalid Unicode escape at position \d+|Unescaped control character at position \d+"
    r"|Trailing content after document|Invalid UTF-8 in (?:key|string|cell|header)"
    r"|Mox Grid exceeds 1M rows limit|Maximum nesting depth exceeded"
    r"|Mox Grid row has \d+ cells, expected \d+|Mox Grid has \d+ rows, expected \d+)"
    + _SUFFIX
    + r")"
    r"|Invalid number(?:: leading zeros not allowed"
    r"|: decimal point must be followed by digits)?"
    r"|Invalid float|Invalid UTF-8 in string"
    r"|Failed to create (?:float|integer|large integer)"
)


def check_decode_error(e: ValueError, doc) -> None:
    """A loads error is a DecodeError placed within `doc`, the input as given."""
    if type(e) is not plav_core.DecodeError or e.doc is not doc or e.args != (str(e),):
        raise Finding(f"not a DecodeError of this input: {e!r}")
    if not 0 <= e.pos <= len(doc):
        raise Finding(f"error position {e.pos} outside the input of {len(doc)}")
    if type(doc) is str:
        before = doc[: e.pos]
    else:
        before = bytes(doc[: e.pos]).decode("utf-8", "replace")
    newlines = before.count("\n")
    line = before[before.rfind("\n") + 1 :]
    if (e.lineno, e.colno) != (newlines + 1, len(line) + 1):
        raise Finding(f"line {e.lineno} column {e.colno} at {e.pos} of {doc!r}")


def _walk(obj, budget: list, record: dict | None) -> None:
    stack = [obj]
    while stack:
        budget[0] -= 1
        if budget[0] < 0:
            return
        v = stack.pop()
        t = type(v)
        if t not in LOADS_TYPES:
            raise Finding(f"loads returned a {t!r}")
        if t is str:
            v.encode("utf-8")  # no lone surrogates
        elif t is dict or t is list:
            if t is dict:
                for k in v:
                    if type(k) is not str:
                        raise Finding(f"dict key of type {type(k)!r}")
                    k.encode("utf-8")
            for item in v.values() if t is dict else v:
                if type(item) in (dict, list):
                    _check_refs(sys.getrefcount(item), t.__name__, record)
                stack.append(item)
            item = None


def _check_refs(refs: int, parent: str, record: dict | None) -> None:
    if record is not None:
        record.setdefault(parent, set()).add(refs)
    elif refs != EXPECTED_REFS.get(parent, refs):
        raise Finding(f"a container nested in a {parent} has {refs} references")


def _calibrate() -> dict:
    """Reference counts that a container nested in a fresh result shows while
    the walk looks at it (one owner: its parent), measured on the stdlib's json."""
    import json

    record: dict = {}
    _walk(json.loads('[[1], {"a": [1], "b": {}}, {}, [[]]]'), [1000], record)
    return {k: next(iter(v)) for k, v in record.items() if len(v) == 1}


EXPECTED_REFS: dict = {}
EXPECTED_REFS = _calibrate()


def walk(obj, budget: int = 200000) -> None:
    """Visits every object of a loads result: types, keys, valid text, and the
    reference count of every nested container (exactly one owner)."""
    _walk(obj, [budget], None)


def grid_exact(obj) -> bool:
    """False when writing `obj` as grids may drop or add data: a list of dicts
    whose key sets differ (the sampling heuristic takes the first dict's keys)."""
    stack = [obj]
    while stack:
        v = stack.pop()
        if type(v) is dict:
            stack.extend(v.values())
        elif type(v) is list:
            if len(v) >= 2 and type(v[0]) is dict and v[0]:
                keys = v[0].keys()
                if not all(type(e) is dict and e.keys() == keys for e in v):
                    return False
            stack.extend(v)
    return True


def depth_of(obj, limit: int = 300) -> int:
    best = 0
    stack = [(obj, 0)]
    while stack:
        v, d = stack.pop()
        best = max(best, d)
        if best > limit:
            return best
        if type(v) is dict:
            stack.extend((x, d + 1) for x in v.values())
        elif type(v) is list:
            stack.extend((x, d + 1) for x in v)
    return best


# ---------------------------------------------------------------------------
# Object generator for dumps. Each generator returns (object, expected) where
# expected is what loads should read back from a plain (mox_grid=False) dump,
# or UNKNOWN where the outcome is not predicted (only "no crash" is checked).

UNKNOWN = object()


class Boom(Exception):
    pass


class IntLike(int):
    """Its text methods lie: the written number must still be its value."""

    def __str__(self):
        return 'IntLike!", "injected": ['

    __repr__ = __str__

    def __format__(self, format_spec):
        return str(self)


class FloatLike(float):
    def __repr__(self):
        return "1, 2"

    __str__ = __repr__


class StrLike(str):
    pass


class Colour(enum.IntEnum):
    RED = 1
    BIG = 2**70


@dataclasses.dataclass
class Point:
    x: object
    y: object


class Model:
    """Looks like a BaseModel: model_dump returns prepared data."""

    def __init__(self, payload, action=None):
        self.payload = payload
        self.action = action

    def model_dump(self):
        if self.action is not None:
            self.action()
        return self.payload


class OldModel:
    __fields__ = {"v": None}

    def __init__(self, payload):
        self.payload = payload

    def dict(self):
        return self.payload


class BadStr:
    def __str__(self):
        raise Boom("str")

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return self is other


TEXT_PIECES = [
    lambda r: chr(r.byte()),
    lambda r: chr(0xD800 + r.byte() * 8),  # surrogates, lone or in pairs
    lambda r: chr(0x10000 + r.byte() * 4000),
    lambda r: r.pick(['"', "\\", "\n", "\t", ";", ",", "|", "]", "\x00", "\u2028"]),
    lambda r: r.pick(["Alice", "id", "x-1", "true", "null", "a b", "", "NaN"]),
    lambda r: chr(0x80 + r.byte() * 3),
]


def gen_text(r: Reader) -> str:
    return "".join(TEXT_PIECES[r.byte() % 6](r) for _ in range(r.byte() % 12))


def _expect_str(s: str):
    try:
        s.encode("utf-8")
    except UnicodeEncodeError:
        return UNKNOWN
    return s


def gen_scalar(r: Reader):
    kind = r.byte() % 14
    if kind >= 12:
        return gen_native(r)
    if kind == 0:
        return None, None
    if kind == 1:
        v = bool(r.byte() & 1)
        return v, v
    if kind == 2:
        v = r.byte() - 128
        return v, v
    if kind == 3:
        v = r.pick([2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, -(2**64)])
        return v, v
    if kind == 4:
        digits = r.pick([19, 20, 100, 4299, 4300, 4301, 5000])
        v = 10 ** (digits - 1) * (1 if r.byte() & 1 else -1)
        return v, (v if digits <= 4300 else UNKNOWN)
    if kind == 5:
        (v,) = struct.unpack("<d", r.take(8).ljust(8, b"\0"))
        return v, v
    if kind == 6:
        v = r.pick([0.0, -0.0, 0.1, 1e16, 1e15, 1e-5, 1e-6, 5e-324, math.inf, -math.inf, math.nan])
        return v, v
    if kind == 7:
        s = gen_text(r)
        return s, _expect_str(s)
    if kind == 8:
        b = r.take(r.byte() % 6)
        return b, b.hex()
    if kind == 9:
        v = IntLike(r.pick([5, 2**64, -(2**70), 10**400]))
        return v, int(v)
    if kind == 10:
        s = StrLike(gen_text(r))
        return s, _expect_str(str.__str__(s))
    if r.byte() & 1:
        v = FloatLike(r.pick([0.5, -2.0, 1e300]))
        return v, float(v)
    c = r.pick([Colour.RED, Colour.BIG])
    return c, int(c)


def gen_object(r: Reader, depth: int = 0, env: dict | None = None):
    """Returns (object, expected). `env` collects containers that conversion
    methods may mutate while dumps runs."""
    if env is None:
        env = {"containers": [], "converted": False}
    kind = r.byte() % (18 if depth < 10 else 2)
    if kind >= 16:
        return gen_for_default(r, depth, env)
    if kind <= 1:
        return gen_scalar(r)
    if kind in (2, 3):
        items = [gen_object(r, depth + 1, env) for _ in range(r.byte() % 5)]
        obj = [o for o, _ in items]
        env["containers"].append(obj)
        return obj, _collect([e for _, e in items])
    if kind == 4:
        items = [gen_object(r, depth + 1, env) for _ in range(r.byte() % 4)]
        return tuple(o for o, _ in items), _collect([e for _, e in items])
    if kind in (5, 6):
        obj, value_exp, key_exp = {}, {}, {}
        for _ in range(r.byte() % 5):
            key, key_text = gen_key_object(r)
            v, e = gen_object(r, depth + 1, env)
            obj[key] = v
            value_exp[key] = e
            key_exp.setdefault(key, key_text)  # the dict keeps its first key object
        env["containers"].append(obj)
        # written in the dict's order, read back with the last of equal texts winning
        exp = {}
        for key in obj:
            if key_exp[key] is UNKNOWN or value_exp[key] is UNKNOWN:
                return obj, UNKNOWN
            exp[key_exp[key]] = value_exp[key]
        return obj, exp
    if kind in (7, 8):
        return gen_rows(r, depth, env)
    if kind in (9, 10, 11, 12):
        env["converted"] = True
    if kind in (9, 11):
        inner, exp = gen_object(r, depth + 1, env)
        return (Model if kind == 9 else OldModel)(inner), exp
    if kind == 10:
        a, ea = gen_scalar(r)
        b, eb = gen_object(r, depth + 1, env)
        return Point(a, b), UNKNOWN if UNKNOWN in (ea, eb) else {"x": ea, "y": eb}
    if kind == 12:
        return (
            _hostile_model(r, env) if r.byte() & 1 else _hostile_container(r, depth, env)
        ), UNKNOWN
    if kind == 13:
        return r.pick([{1, 2}, object(), bytearray(b"a"), 1j, range(3)]), UNKNOWN
    if kind == 14:
        n = r.byte() % 300
        return _nest(n), (UNKNOWN if n > 256 else _nest(n))
    s = gen_text(r)
    return s, _expect_str(s)


def _nest(n: int) -> list:
    obj = []
    for _ in range(n):
        obj = [obj]
    return obj


def _collect(exps):
    return UNKNOWN if any(e is UNKNOWN for e in exps) else exps


def gen_key_object(r: Reader):
    kind = r.byte() % 8
    if kind <= 3:
        s = gen_text(r) if kind == 0 else r.pick(["id", "name", "a", "b", "x-y", "$ref", "", "1"])
        return s, _expect_str(s)
    if kind == 4:
        k = r.pick([1, -5, 2**70, 1.5, math.inf, None, True, False, (1, "a")])
        return k, str(k)
    if kind == 5:
        k = StrLike(r.pick(["id", "sub", "a"]))
        return k, str.__str__(k)
    if kind == 6:
        return BadStr(), UNKNOWN
    k = r.pick(
        [
            Colour.RED,
            Status.OPEN,
            dt.date(2024, 1, 2),
            uuid.UUID(int=7),
            LyingDate(1, 2, 3),
            decimal.Decimal("1.50"),
        ]
    )
    return k, str(k)


def gen_rows(r: Reader, depth: int, env: dict):
    """A list of dicts sharing keys: the writer's grid candidates, with the
    occasional missing key, extra key, non-scalar cell or non-dict row."""
    keys = [
        r.pick(["id", "name", "score", "full name", "a-b", "k", StrLike("s")])
        for _ in range(1 + r.byte() % 3)
    ]
    rows, exps = [], []
    for _ in range(r.byte() % 14):
        row, exp = {}, {}
        for k in keys:
            if r.byte() % 16 == 0:
                continue  # missing key
            v, e = gen_scalar(r) if r.byte() % 8 else gen_object(r, depth + 2, env)
            row[k] = v
            exp[str.__str__(k)] = e
        if r.byte() % 16 == 0:
            row["extra"] = 1
            exp["extra"] = 1
        choice = r.byte() % 24
        if choice == 0:
            env["converted"] = True
            rows.append(Model(row))
        elif choice == 1:
            rows.append(r.pick([5, None, "row", [1]]))
            exp = UNKNOWN
        else:
            rows.append(row)
        if exp is UNKNOWN or any(v is UNKNOWN for v in exp.values()):
            exp = UNKNOWN
        exps.append(exp)
    env["containers"].append(rows)
    return rows, _collect(exps)


def _hostile_model(r: Reader, env: dict):
    """A model whose conversion method misbehaves: it mutates a container that
    is being written, calls dumps again, raises, or returns itself."""
    kind = r.byte() % 6
    if kind == 0 and env["containers"]:
        target = r.pick(env["containers"])

        def mutate():
            if isinstance(target, dict):
                target[f"added{len(target)}"] = 1
                target.pop(next(iter(target)), None)
            elif isinstance(target, list):
                if target:
                    target.pop()
                else:
                    target.append(1)

        return Model({"m": 1}, mutate)
    if kind == 1:
        return Model({"n": 1}, lambda: plav_core.dumps([1, 2]))
    if kind == 2:

        def boom():
            raise Boom("model_dump")

        return Model(None, boom)
    if kind == 3:
        m = Model(None)
        m.payload = m  # returns itself: must end at the depth limit
        return m
    if kind == 4:
        return Model([Model({"deep": 1}), Point(1, Model(2))])
    return Model({"k": BadStr()})


# ---------------------------------------------------------------------------
# Values dumps writes natively (datetime, date, time, UUID, Enum, Decimal), with
# subclasses whose own methods lie, and objects only the `default` hook can write.


class FixedTz(dt.tzinfo):
    """A tzinfo in Python code: utcoffset answers what it holds, raises it, or first
    runs an action that may change the containers being written."""

    def __init__(self, offset=None, act=None):  # defaults: dataclasses.asdict copies it
        self.offset, self.act = offset, act

    def utcoffset(self, when):
        if self.act is not None:
            self.act()
        if isinstance(self.offset, BaseException):
            raise self.offset
        return self.offset


class LyingDateTime(dt.datetime):
    def isoformat(self, *args, **kwargs):
        return "lie"

    __str__ = isoformat


class LyingDate(dt.date):
    def isoformat(self):
        return "lie"

    __str__ = isoformat


class LyingUUID(uuid.UUID):
    def __str__(self):
        return "lie"


class LyingDecimal(decimal.Decimal):
    def __str__(self):
        return "1, 2"


class Status(enum.Enum):
    OPEN = "open"
    CLOSED = "closed, for now"
    ONE = 1
    HALF = 0.5
    PAIR = (1, "a")
    NESTED = {"at": dt.date(2024, 1, 2), "tags": ("x", None), "id": uuid.UUID(int=1)}
    NONE = None


class Wrapped(enum.Enum):
    INNER = Status.PAIR
    WHEN = dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=dt.UTC)
    MONEY = decimal.Decimal("-12.50")


TIMEZONES = [
    None,
    dt.UTC,
    dt.timezone(dt.timedelta(hours=5, minutes=30)),
    dt.timezone(-dt.timedelta(hours=3, minutes=15)),
    FixedTz(None),
    FixedTz(dt.timedelta(seconds=-1)),
    FixedTz(dt.timedelta(hours=23, seconds=59, microseconds=3)),
    FixedTz(dt.timedelta(days=1)),
    FixedTz(5),
    FixedTz(Boom("utcoffset")),
]

# Decimal text and what loads reads back for it (UNKNOWN: past what loads reads).
DECIMALS = [
    ("9.99", 9.99),
    ("1E+2", 100.0),
    ("-0", 0),
    ("-0.00", -0.0),
    ("0E-7", 0.0),
    ("12", 12),
    ("-1.5E-9", -1.5e-9),
    ("NaN", math.nan),
    ("-sNaN7", math.nan),
    ("Infinity", math.inf),
    ("-Infinity", -math.inf),
    ("9" * 5000, UNKNOWN),
    ("0." + "1" * 40, float("0." + "1" * 40)),
    ("-" + "7" * 30, -int("7" * 30)),
]


def plain_form(v):
    """What loads reads back from dumps of `v`, for the values the enums hold."""
    if isinstance(v, enum.Enum) and not isinstance(v, (int, str)):
        return plain_form(v.value)
    for base in (dt.datetime, dt.date, dt.time):
        if isinstance(v, base):
            return base.isoformat(v)
    if isinstance(v, uuid.UUID):
        return uuid.UUID.__str__(v)
    if isinstance(v, decimal.Decimal):
        return float(v)
    if isinstance(v, (list, tuple)):
        return [plain_form(x) for x in v]
    if isinstance(v, dict):
        return {k: plain_form(x) for k, x in v.items()}
    return v


def gen_native(r: Reader):
    kind = r.byte() % 6
    if kind <= 2:
        b = r.take(8).ljust(8, b"\0")
        us = (b[6] << 8 | b[7]) * 15 % 1000000 if b[5] & 1 else 0
        tz = r.pick(TIMEZONES)
        if kind == 0:
            cls = LyingDateTime if b[5] & 2 else dt.datetime
            v = cls(
                1 + (b[0] << 8 | b[1]) % 9999,
                1 + b[2] % 12,
                1 + b[3] % 28,
                b[4] % 24,
                b[5] % 60,
                b[6] % 60,
                us,
                tzinfo=tz,
                fold=b[7] & 1,
            )
            base = dt.datetime
        elif kind == 1:
            v = (LyingDate if b[5] & 2 else dt.date)(
                1 + (b[0] << 8 | b[1]) % 9999, 1 + b[2] % 12, 1 + b[3] % 28
            )
            base = dt.date
        else:
            v = dt.time(b[4] % 24, b[5] % 60, b[6] % 60, us, tzinfo=tz)
            base = dt.time
        try:
            return v, base.isoformat(v)
        except (Boom, TypeError, ValueError):
            return v, UNKNOWN
    if kind == 3:
        v = (LyingUUID if r.byte() & 1 else uuid.UUID)(
            int=int.from_bytes(r.take(16).ljust(16, b"\0"))
        )
        return v, uuid.UUID.__str__(v)
    if kind == 4:
        v = r.pick(list(Status) + list(Wrapped))
        return v, plain_form(v)
    text, expected = r.pick(DECIMALS)
    return (LyingDecimal if r.byte() & 1 else decimal.Decimal)(text), expected


class Opaque:
    """An object only `default` writes: it returns the payload (after the action,
    which may change the containers being written)."""

    def __init__(self, payload, act=None):
        self.payload, self.act = payload, act


class Stubborn:
    """`default` returns it unchanged: the call must end with the depth error."""


class Chain:
    """`default` returns the next link, n more times, then "end"."""

    def __init__(self, n):
        self.n = n


def fuzz_default(obj):
    if isinstance(obj, Opaque):
        if obj.act is not None:
            obj.act()
        return obj.payload
    if isinstance(obj, Stubborn):
        return obj
    if isinstance(obj, Chain):
        return Chain(obj.n - 1) if obj.n else "end"
    raise Boom("default")


def _container_action(r: Reader, env: dict):
    """Changes a container made so far: shrinks or grows it, or clears it."""
    if not env["containers"]:
        return None
    target = r.pick(env["containers"])
    how = r.byte() % 3

    def act():
        if how == 0:
            target.clear()
        elif isinstance(target, dict):
            target[f"new{len(target)}"] = [object()]
            if how == 1 and target:
                target.pop(next(iter(target)))
        elif target:
            target[0] = {"replaced": [object()]} if how == 1 else target.pop()

    return act


def gen_for_default(r: Reader, depth: int, env: dict):
    """Objects that need `default` (whose expected form holds only when the run's
    options carry it), and native values whose Python code changes containers."""
    kind = r.byte() % 7
    if kind in (0, 1):
        inner, exp = gen_object(r, depth + 1, env)
        env["converted"] = True
        return Opaque(inner), exp if env.get("default") else UNKNOWN
    if kind == 2:
        return Opaque([1], _container_action(r, env)), UNKNOWN
    if kind == 3:
        n = r.byte() * 2
        env["converted"] = True
        return Chain(n), "end" if env.get("default") and n < 200 else UNKNOWN
    if kind == 4:
        return r.pick([Stubborn(), {1, 2}, object(), bytearray(b"a"), 1j]), UNKNOWN
    if kind == 5:
        tz = FixedTz(dt.timedelta(hours=1), _container_action(r, env))
        return r.pick([dt.datetime(2024, 1, 1, tzinfo=tz), dt.time(1, tzinfo=tz)]), UNKNOWN
    act = _container_action(r, env)

    class Moving(enum.Enum):
        A = 1

        @property
        def value(self):
            if act is not None:
                act()
            return [2]

    return Moving.A, UNKNOWN


def same_or_null_filled(read, expected) -> bool:
    """same(), except that a dict read back may carry extra keys holding None (header
    keys of a grid that its row lacked)."""
    if isinstance(expected, dict):
        return (
            type(read) is dict
            and set(expected) <= set(read)
            and all(read[k] is None for k in read.keys() - expected.keys())
            and all(same_or_null_filled(read[k], v) for k, v in expected.items())
        )
    if isinstance(expected, list):
        return (
            type(read) is list
            and len(read) == len(expected)
            and all(map(same_or_null_filled, read, expected))
        )
    return same(read, expected)


# ---------------------------------------------------------------------------
# Objects whose dunder methods change the containers around them while dumps
# runs: the writer must hold whatever it still reads after such a call. What they
# write is not predicted; the run must end in a str or an exception, never a crash.


def _mutator(r: Reader, env: dict):
    """An action that changes one of the containers made so far (or does nothing
    when there is none): clears it, drops, replaces or adds members, replaces
    its first element. It acts only once env["armed"] is set, so that building
    the graph (which hashes keys) changes nothing."""
    if not env["containers"]:
        return lambda: None
    armed = env.setdefault("armed", [False])
    target = r.pick(env["containers"])
    how = r.byte() % 6
    fresh = r.pick([lambda: [object()], lambda: {"z": [1.5]}, lambda: "s" * 40, lambda: 2**80])

    def act():
        if not armed[0]:
            return
        if isinstance(target, dict):
            if how == 0:
                target.clear()
            elif how == 1 and target:
                target.pop(next(iter(target)))
            elif how == 2:
                for k in list(target):
                    target[k] = fresh()
            else:
                target[f"k{len(target) % 3}"] = fresh()
        elif isinstance(target, list):
            if how == 0:
                target.clear()
            elif how == 1 and target:
                target.pop()
            elif how in (2, 3):
                for i in range(len(target)):
                    target[i] = fresh()
            elif target:
                target[0] = {"replaced": fresh()}
            else:
                target.append(fresh())

    return act


class HostileKey:
    """A dict key whose __str__, __hash__ or __eq__ changes a container."""

    def __init__(self, act, where: int):
        self.act, self.where = act, where

    def __hash__(self):
        if self.where == 1:
            self.act()
        return 7

    def __eq__(self, other):
        if self.where == 2:
            self.act()
        return self is other

    def __str__(self):
        if self.where == 0:
            self.act()
        return "hk"


class HostileStrKey(str):
    """A str-subclass key (a grid header key) whose __eq__ changes a container."""

    act = staticmethod(lambda: None)
    __hash__ = str.__hash__

    def __eq__(self, other):
        self.act()
        return str.__eq__(self, other)


class LyingDict(dict):
    """A dict subclass whose __len__ and __iter__ do not tell its content."""

    def __len__(self):
        return 1000

    def __iter__(self):
        return iter(["nothing"])


class SharedModel:
    """model_dump returns the same dict every time, changed by each call."""

    def __init__(self, i, act):
        self.i, self.act = i, act

    def model_dump(self):
        self.act()
        SHARED["i"] = self.i
        return SHARED


SHARED: dict = {}


def _hostile_container(r: Reader, depth: int, env: dict):
    kind = r.byte() % 5
    if kind == 0:  # a dict with a hostile key
        d = {}
        for _ in range(r.byte() % 3):
            k, _ = gen_key_object(r)
            d[k] = gen_object(r, depth + 1, env)[0]
        env["containers"].append(d)
        d[HostileKey(_mutator(r, env), r.byte() % 3)] = gen_object(r, depth + 1, env)[0]
        return d
    if kind == 1:  # grid rows with a str-subclass key that changes things in lookups
        rows, _ = gen_rows(r, depth, env)
        key = HostileStrKey(r.pick(["id", "name", "k", "zz"]))
        key.act = _mutator(r, env)
        row = {key: gen_scalar(r)[0]}
        for k in r.pick([["id"], ["name", "id"], ["k", "score", "id"]]):
            row.setdefault(k, gen_scalar(r)[0] if r.byte() % 4 else [object()])
        rows.insert(r.byte() % (len(rows) + 1), row)
        return rows
    if kind == 2:  # models that return one shared dict, changed by every call
        act = _mutator(r, env)
        models = [
            SharedModel(i, act if r.byte() % 3 == 0 else (lambda: None))
            for i in range(2 + r.byte() % 12)
        ]
        env["containers"].append(models)
        return models
    if kind == 3:  # a dict subclass that lies about its length and members
        d = LyingDict()
        for _ in range(r.byte() % 4):
            k, _ = gen_key_object(r)
            d[k] = gen_scalar(r)[0]
        return [d, d] if r.byte() & 1 else d
    # a model in a list whose conversion replaces earlier elements or the first row
    rows = [{"id": i, "name": f"n{i}"} for i in range(r.byte() % 12)]
    env["containers"].append(rows)
    rows.append(Model({"id": -1, "name": "m"}, _mutator(r, env)))
    return rows


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
        elif isinstance(v, (Model, OldModel, Opaque)):
            stack.append(v.payload)
        elif isinstance(v, Point):
            stack.extend([v.x, v.y])
    return False


def check_written(written, opts: dict, expected, grids_exact: bool) -> None:
    """What dumps returned must be a valid str; where the options are ones loads
    reads back (and grids, if written, lose nothing), it must read back as
    `expected` (UNKNOWN: not predicted)."""
    if type(written) is not str:
        raise Finding("dumps returned a non-str")
    written.encode("utf-8")
    if expected is not UNKNOWN and lean_readable(opts):
        reread = plav_core.loads(written)
        if not same_or_null_filled(reread, expected):
            raise Finding(f"lean text reads back differently under {opts}: {written[:300]!r}")
        return
    if expected is UNKNOWN or not readable_options(opts):
        return
    if opts.get("mox_grid", True) and not grids_exact:
        return
    reread = plav_core.loads(written)
    if not same(expected, reread):
        raise Finding(f"read back differs under {opts}: {written[:300]!r}")


def run(one_input) -> None:
    """Fuzzes with atheris, or replays files and directories given as arguments
    when PLAV_FUZZ_REPLAY=1 (no atheris needed)."""
    import os

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

    # libFuzzer's -merge=1 and -fork re-run argv[0]: point it at the wrapper that
    # sets up the interpreter and the preloaded runtime (written by ./dev.sh fuzz).
    argv = list(sys.argv)
    if os.environ.get("PLAV_FUZZ_SELF"):
        argv[0] = os.environ["PLAV_FUZZ_SELF"]
    atheris.Setup(argv, one_input)
    atheris.Fuzz()
