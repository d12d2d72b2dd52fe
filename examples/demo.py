"""PLAV at work on a small table: the same 30 employees as JSON and as PLAV.

Writes the table, reads it back, compares sizes in bytes and (when tiktoken and its rank
files are available) in LLM tokens, and prints the prompt text that teaches a model the
format. Run with ./dev.sh demo.
"""

import json
import os
from pathlib import Path

import plav
from plav import _tokens

HERE = Path(__file__).resolve().parent
SAMPLE = HERE / "employees.json"
TOKENIZERS = HERE.parent.parent / "shared" / "data" / "tokenizers"


def section(title: str) -> None:
    print(f"\n=== {title} " + "=" * max(0, 70 - len(title)))


def main() -> None:
    print(f"plav {plav.__version__}, vector code: {plav.__simd__}")
    rows = json.loads(SAMPLE.read_bytes())
    lean_flags = ", ".join(f"{k}={v!r}" for k, v in plav.LEAN.items())

    section(f"the first 2 of {len(rows)} rows of {SAMPLE.name}, as JSON")
    print(json.dumps(rows[:2], ensure_ascii=False, indent=2))
    section("the same rows, plav.dumps(rows)")
    print(plav.dumps(rows[:2]))
    section("plav.dumps(rows, **plav.LEAN)")
    print(f"plav.LEAN = dict({lean_flags})")
    print(plav.dumps(rows[:2], **plav.LEAN))

    section(f"all {len(rows)} rows: written, read back, measured")
    texts = {
        "JSON pretty (indent 2)": json.dumps(rows, ensure_ascii=False, indent=2),
        "JSON compact": json.dumps(rows, ensure_ascii=False, separators=(",", ":")),
        "PLAV, default options": plav.dumps(rows),
        "PLAV, plav.LEAN": plav.dumps(rows, **plav.LEAN),
    }
    for label in ("PLAV, default options", "PLAV, plav.LEAN"):
        same = plav.loads(texts[label]) == rows
        print(f"plav.loads({label}) == rows: {same}")
        if not same:
            raise SystemExit("the table did not read back equal")

    folder = _tokens.tokenizer_dir(os.environ.get(_tokens.ENV_VAR) or TOKENIZERS)
    try:
        counters = _tokens.load_counters(folder)
    except _tokens.TokenizerFolderError as exc:
        counters = _tokens.TokenCounters({}, str(exc))
    if counters.counters:
        print("token counts: tiktoken, exact")
    else:
        print(f"sizes in BYTES only, no token counts: {counters.reason}")
    units = ["bytes", *counters.names]
    counts = {
        label: [len(text.encode("utf-8"))] + [counters.counters[n](text) for n in counters.names]
        for label, text in texts.items()
    }
    base = counts["JSON compact"]
    print(f"\n{'':24}" + "".join(f"{u:>22}" for u in units))
    for label, row in counts.items():
        cells = "".join(f"{c:>12,} ({(c - b) * 100 / b:+6.1f}%)" for c, b in zip(row, base))
        print(f"{label:24}{cells}")
    print("(in brackets: change against JSON compact)")

    section("a prompt: plav.format_hint(), then the data")
    print(plav.format_hint())
    print()
    print(plav.dumps(rows[:3]))
    print("\n(plav.format_hint('tab') describes the layout of delimiter='tab')")

    section("a prompt for the lean text: plav.format_hint('lean'), then the data")
    print(plav.format_hint("lean"))
    print()
    print(plav.dumps(rows[:3], **plav.LEAN))


if __name__ == "__main__":
    main()
