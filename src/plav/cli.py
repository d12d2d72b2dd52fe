"""Command line: convert between JSON and PLAV, compare sizes, print the format hint.

    plav encode [INPUT] [-o OUTPUT] [options]   JSON or PLAV in, PLAV out
    plav decode [INPUT] [-o OUTPUT] [--indent N | --compact] [--sort-keys] [--lines]
                                                 PLAV or JSON in, JSON out
                [--extract] [--partial] [--strict]  (a model's reply, cut text, checked grids)
    plav stats  [INPUT] [--tokenizers DIR]       bytes and tokens per layout
    plav hint   [STYLE]                          the description for an LLM prompt

INPUT "-" or absent means standard input. Failures print one line on standard error,
"plav: FILE:LINE:COL: message" for bad text, and exit with status 1; usage errors exit
with status 2.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal, cast

from plav import LEAN, DecodeError, __version__, _tokens, dumps, format_hint, loads
from plav._extract import read_reply

_HintStyle = Literal["mox_grid", "mox_grid_rowcount", "multiline", "tab", "lean", "reply"]
_HINT_STYLES: tuple[_HintStyle, ...] = (
    "mox_grid",
    "mox_grid_rowcount",
    "multiline",
    "tab",
    "lean",
    "reply",
)


@dataclass(frozen=True)
class OptionSet:
    """A named set of dumps keywords, labelled by the CLI flags that select it."""

    flags: str
    options: dict[str, Any] = field(default_factory=dict)

    @property
    def label(self) -> str:
        return f"PLAV {self.flags}" if self.flags else "PLAV (defaults)"


# The layouts worth comparing for token cost, from the defaults to every saving at once.
OPTION_SETS: tuple[OptionSet, ...] = (
    OptionSet(""),
    OptionSet("--bare-strings", {"bare_strings": True}),
    OptionSet("--bare-strings --implicit-null", {"bare_strings": True, "implicit_null": True}),
    OptionSet(
        "--bare-strings --implicit-null --unquoted-keys",
        {"bare_strings": True, "implicit_null": True, "unquoted_keys": True},
    ),
    OptionSet(
        "--bare-strings --implicit-null --delimiter tab",
        {"bare_strings": True, "implicit_null": True, "delimiter": "tab"},
    ),
    OptionSet(
        "--bare-strings --implicit-null --unquoted-keys --delimiter tab",
        {"bare_strings": True, "implicit_null": True, "unquoted_keys": True, "delimiter": "tab"},
    ),
    # plav.LEAN, with either delimiter.
    OptionSet("--lean --delimiter comma", {**LEAN, "delimiter": "comma"}),
    OptionSet("--lean", dict(LEAN)),
)


_READ_DEPTH_LIMIT = 1024  # nested containers that loads reads


class CliError(Exception):
    """A failure reported as one line on standard error with exit status 1."""


def _load_counters(folder: str | None) -> _tokens.TokenCounters:
    try:
        return _tokens.load_counters(_tokens.tokenizer_dir(folder))
    except _tokens.TokenizerFolderError as exc:
        print(f"plav: {exc}", file=sys.stderr)
        sys.exit(2)  # a usage error, like a bad option


# --- reading and writing ---------------------------------------------------------------


def _read_input(name: str | None) -> bytes:
    if name is None or name == "-":
        return sys.stdin.buffer.read()
    try:
        return Path(name).read_bytes()
    except OSError as exc:
        raise CliError(f"cannot read {name}: {exc.strerror or exc}") from None


def _source_name(name: str | None) -> str:
    """The input's name in error lines."""
    return "<stdin>" if name is None or name == "-" else name


def _write_output(name: str | None, text: str, end: str = "\n") -> None:
    data = (text + end).encode("utf-8")
    if name is None or name == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        Path(name).write_bytes(data)
    except OSError as exc:
        raise CliError(f"cannot write {name}: {exc.strerror or exc}") from None


def _parse(
    data: bytes,
    source: str = "<stdin>",
    first_line: int = 1,
    *,
    extract: bool = False,
    partial: bool = False,
    strict: bool = False,
) -> Any:
    """`data` read; bad text fails with its place, as line `first_line` of `source` starts."""
    try:
        if extract:
            return read_reply(data, partial=partial, strict=strict)
        return loads(data, partial=partial, strict=strict)
    except DecodeError as exc:
        where = f"{source}:{first_line + exc.lineno - 1}:{exc.colno}"
        raise CliError(f"{where}: {exc}") from None


def json_compact(obj: Any) -> str:
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def json_pretty(obj: Any) -> str:
    return json.dumps(obj, ensure_ascii=False, indent=2)


def reads_back(original: Any, copy: Any) -> bool:
    """Whether `copy` (read from written text) holds the same data as `original`.

    A grid cell for a key that its row lacked reads back as None; that is the one
    difference allowed. NaN equals NaN here.
    """
    if isinstance(original, dict):
        if not isinstance(copy, dict):
            return False
        if any(key not in copy or not reads_back(v, copy[key]) for key, v in original.items()):
            return False
        return all(copy[key] is None for key in copy.keys() - original.keys())
    if isinstance(original, list):
        return (
            isinstance(copy, list)
            and len(original) == len(copy)
            and all(reads_back(a, b) for a, b in zip(original, copy, strict=True))
        )
    if type(original) is not type(copy):
        return False
    if isinstance(original, float) and math.isnan(original):
        return math.isnan(copy)
    return bool(original == copy)


# --- encode, decode, hint ----------------------------------------------------------------


def _dumps_options(args: argparse.Namespace) -> dict[str, Any]:
    options: dict[str, Any] = dict(LEAN) if args.lean else {}
    for name in ("unquoted_keys", "bare_strings", "implicit_null"):
        if getattr(args, name):
            options[name] = True
    if not args.mox_grid:
        options["mox_grid"] = False
    if not args.row_count:
        options["row_count"] = False
    if args.multiline:
        options["multiline_mox"] = True
    if args.indent is not None:
        options["indent"] = args.indent
    if args.delimiter is not None:
        options["delimiter"] = args.delimiter
    if args.sort_keys:
        options["sort_keys"] = True
    return options


def _cmd_encode(args: argparse.Namespace) -> None:
    # A rank-file folder that cannot serve stops the command before it writes anything.
    counters = _load_counters(args.tokenizers) if args.stats else None
    data = _read_input(args.input)
    obj = _parse(data, _source_name(args.input))
    text = dumps(obj, **_dumps_options(args))
    _write_output(args.output, text)
    if counters is not None:
        compact = json_compact(obj)
        parts = [f"JSON compact {_measure(compact, counters)}", f"PLAV {_measure(text, counters)}"]
        print("; ".join(parts), file=sys.stderr)


def _measure(text: str, counters: _tokens.TokenCounters) -> str:
    size = len(text.encode("utf-8"))
    tokens = ", ".join(f"{count(text):,} {name}" for name, count in counters.counters.items())
    return f"{size:,} bytes" + (f" ({tokens} tokens)" if tokens else "")


def _json_text(obj: Any, args: argparse.Namespace) -> str:
    separators = (",", ":") if args.compact else None
    return json.dumps(
        obj, ensure_ascii=False, indent=args.indent, separators=separators, sort_keys=args.sort_keys
    )


def _cmd_decode(args: argparse.Namespace) -> None:
    data = _read_input(args.input)
    source = _source_name(args.input)
    # The indenting encoder recurses in Python, two frames a level; loads allows 1024 levels.
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 3 * _READ_DEPTH_LIMIT))
    if not args.lines:
        obj = _parse(data, source, extract=args.extract, partial=args.partial, strict=args.strict)
        _write_output(args.output, _json_text(obj, args))
        return
    # JSON Lines: one document per line; lines of whitespace alone are passed over.
    texts = [
        _json_text(_parse(line, source, number, partial=args.partial, strict=args.strict), args)
        for number, line in enumerate(data.split(b"\n"), 1)
        if line.strip()
    ]
    _write_output(args.output, "\n".join(texts), "\n" if texts else "")


def _cmd_hint(args: argparse.Namespace) -> None:
    _write_output(None, format_hint(cast(_HintStyle, args.style)))


# --- stats --------------------------------------------------------------------------------


@dataclass
class _Row:
    label: str
    text: str
    reads_back: bool = True


def _stats_rows(obj: Any) -> list[_Row]:
    rows = [
        _Row("JSON pretty (indent 2)", json_pretty(obj)),
        _Row("JSON compact", json_compact(obj)),
    ]
    for option_set in OPTION_SETS:
        text = dumps(obj, **option_set.options)
        try:
            same = reads_back(obj, loads(text))
        except ValueError:
            same = False
        rows.append(_Row(option_set.label, text, same))
    return rows


def _percent(value: int, base: int) -> str:
    return f"{(value - base) * 100 / base:+.1f}%" if base else "n/a"


def stats_report(obj: Any, counters: _tokens.TokenCounters) -> str:
    """The stats table for one document, as printed by `plav stats`."""
    rows = _stats_rows(obj)
    names = list(counters.counters)
    columns = ["bytes", *names]
    counts = [
        [len(row.text.encode("utf-8")), *(counters.counters[n](row.text) for n in names)]
        for row in rows
    ]
    measure = 1 if names else 0  # the first token column, else bytes
    base = counts[1][measure]
    lines = []
    if names:
        lines.append(f"token counts: tiktoken {', '.join(names)}")
    else:
        lines.append(f"sizes in BYTES, no token counts: {counters.reason}")
    head = "".join(f"{c:>13}" for c in columns)
    lines.append(f"{head}{'vs JSON compact':>17}  layout")
    for row, row_counts in zip(rows, counts, strict=True):
        cells = "".join(f"{c:>13,}" for c in row_counts)
        mark = "" if row.reads_back else "  (does not read back equal)"
        pct = _percent(row_counts[measure], base)
        lines.append(f"{cells}{pct:>17}  {row.label}{mark}")
    unit_names = names or ["bytes"]
    for i, unit in enumerate(unit_names):
        col = i + 1 if names else 0
        # Of equal counts, the set listed first (the one with fewer options) wins.
        candidates = [
            (row_counts[col], i, row.label)
            for i, (row, row_counts) in enumerate(zip(rows, counts, strict=True))
            if row.label.startswith("PLAV") and row.reads_back
        ]
        if candidates:
            best, _, label = min(candidates)
            what = f"{unit} tokens" if names else "bytes"
            lines.append(
                f"fewest {what}: {label} ({best:,}, {_percent(best, counts[1][col])} "
                "vs JSON compact)"
            )
    return "\n".join(lines)


def _cmd_stats(args: argparse.Namespace) -> None:
    obj = _parse(_read_input(args.input), _source_name(args.input))
    counters = _load_counters(args.tokenizers)
    _write_output(None, stats_report(obj, counters))


# --- argument parsing ---------------------------------------------------------------------


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def build_parser(prog: str | None = None) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog or "plav",
        description="Convert between JSON and PLAV (JSON plus the Mox Grid table) "
        "and compare their sizes in bytes and LLM tokens.",
    )
    parser.add_argument("--version", action="version", version=f"plav {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_io(p: argparse.ArgumentParser, what: str) -> None:
        p.add_argument("input", nargs="?", metavar="INPUT", help=f"{what} file; - or absent: stdin")

    tokenizer_help = (
        "folder holding o200k_base.tiktoken and cl100k_base.tiktoken "
        f"(default: ${_tokens.ENV_VAR}; with neither, tiktoken's own get_encoding, which "
        "may download the files)"
    )

    enc = sub.add_parser(
        "encode", help="JSON or PLAV in, PLAV out", description="Read JSON or PLAV, write PLAV."
    )
    add_io(enc, "JSON or PLAV")
    enc.add_argument("-o", "--output", metavar="OUTPUT", help="output file (default: stdout)")
    enc.add_argument(
        "--no-mox-grid",
        dest="mox_grid",
        action="store_false",
        help="write lists of dicts as plain arrays",
    )
    enc.add_argument(
        "--unquoted-keys",
        action="store_true",
        help="write identifier-like dict keys without quotes",
    )
    enc.add_argument(
        "--indent", type=_non_negative, metavar="N", help="pretty-print with N spaces per level"
    )
    enc.add_argument(
        "--bare-strings",
        action="store_true",
        help="write identifier-like grid cell strings without quotes",
    )
    enc.add_argument(
        "--implicit-null", action="store_true", help="write missing or null grid cells as nothing"
    )
    enc.add_argument(
        "--no-row-count",
        dest="row_count",
        action="store_false",
        help="leave the row count out of grid openings",
    )
    enc.add_argument(
        "--multiline",
        action="store_true",
        help="one grid row per line (a layout plav does not read back)",
    )
    enc.add_argument(
        "--delimiter",
        choices=("comma", "tab", "pipe"),
        help="separator between grid cells (default: comma)",
    )
    enc.add_argument(
        "--sort-keys",
        action="store_true",
        help="write the members of every object in sorted key order",
    )
    enc.add_argument(
        "--lean",
        action="store_true",
        help="the options that save most tokens (plav.LEAN): bare text cells, "
        "any value as a cell, --implicit-null --unquoted-keys --delimiter tab",
    )
    enc.add_argument(
        "--stats", action="store_true", help="print sizes of JSON compact and the output to stderr"
    )
    enc.add_argument("--tokenizers", metavar="DIR", help=tokenizer_help)
    enc.set_defaults(run=_cmd_encode)

    dec = sub.add_parser(
        "decode", help="PLAV or JSON in, JSON out", description="Read PLAV or JSON, write JSON."
    )
    add_io(dec, "PLAV or JSON")
    dec.add_argument("-o", "--output", metavar="OUTPUT", help="output file (default: stdout)")
    layout = dec.add_mutually_exclusive_group()
    layout.add_argument(
        "--indent", type=_non_negative, metavar="N", help="pretty-print with N spaces per level"
    )
    layout.add_argument("--compact", action="store_true", help="no spaces after commas and colons")
    dec.add_argument("--sort-keys", action="store_true", help="write object members by key")
    dec.add_argument(
        "--lines",
        action="store_true",
        help="JSON Lines: read one document per line, write one per line",
    )
    dec.add_argument(
        "--extract",
        action="store_true",
        help="find the value in a model's reply: a json/plav code fence, else the "
        "first value in the text",
    )
    dec.add_argument(
        "--partial", action="store_true", help="read text that ends early as far as it is complete"
    )
    dec.add_argument(
        "--strict",
        action="store_true",
        help="every grid row must have one cell per key, and a given row count must match",
    )
    dec.set_defaults(run=_cmd_decode, usage_error=dec.error)

    st = sub.add_parser(
        "stats",
        help="bytes and tokens of JSON and PLAV layouts",
        description="Compare JSON and PLAV layouts of one document by bytes and, when "
        "tiktoken and its rank files are available, by tokens.",
    )
    add_io(st, "JSON or PLAV")
    st.add_argument("--tokenizers", metavar="DIR", help=tokenizer_help)
    st.set_defaults(run=_cmd_stats)

    hint = sub.add_parser(
        "hint",
        help="print the format description for an LLM prompt",
        description="Print the description of the grid format to paste into a prompt.",
    )
    hint.add_argument("style", nargs="?", default="mox_grid", choices=_HINT_STYLES)
    hint.set_defaults(run=_cmd_hint)
    return parser


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    args = build_parser(prog).parse_args(argv)
    if getattr(args, "lines", False) and args.indent is not None:
        args.usage_error("argument --indent: not allowed with argument --lines")
    try:
        args.run(args)
    except (CliError, ValueError, TypeError, OverflowError, UnicodeError, MemoryError) as exc:
        message = " ".join(str(exc).splitlines()) or type(exc).__name__
        print(f"plav: {message}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (plav ... | head): stop quietly, and keep the interpreter
        # from failing again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
