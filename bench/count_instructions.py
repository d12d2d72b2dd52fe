"""Instructions per call, counted by callgrind: a figure that does not move with the load
on the host, unlike wall-clock time.

Each case runs in two processes under `valgrind --tool=callgrind`, one making N calls and
one making 2N after the same warm-up; the difference of the totals divided by N is the cost
of one warm call, start-up and imports excluded.

  python bench/count_instructions.py                   # every case
  python bench/count_instructions.py canada small      # cases whose name contains a word
  python bench/count_instructions.py --kinds plav,walk,naive twitter

The kinds are plav, orjson, orjson-str, loads, raw (loads of the file's own bytes, escapes
and all, where dumps would write UTF-8), marshal, and walk and naive: the floor of a
stable-ABI writer that bench/bench_floor.py builds (see there).
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile

CHILD = r"""
import json, marshal, pathlib, sys
sys.path.insert(0, sys.argv[1])
import plav_core, orjson
from _common import DATA, SMALL_MESSAGE
from bench_dumps import table
name, kind = sys.argv[2].rsplit(" ", 1)
calls = int(sys.argv[3])
raw = None
if name.startswith("table"):
    obj = table(int(name.split()[1]))
elif name == "small_message":
    obj = SMALL_MESSAGE
else:
    raw = (DATA / "json" / f"{name}.json").read_bytes()
    obj = json.loads(raw)
text = plav_core.dumps(obj).encode()
raw = text if raw is None else raw
floor = None
if kind in ("walk", "naive"):
    from bench_floor import load_floor
    floor = load_floor()
fn = {
    "plav": lambda: plav_core.dumps(obj),
    "orjson": lambda: orjson.dumps(obj),
    "orjson-str": lambda: orjson.dumps(obj).decode(),
    "loads": lambda: plav_core.loads(text),
    "raw": lambda: plav_core.loads(raw),
    "marshal": (lambda b: lambda: marshal.loads(b))(marshal.dumps(obj)),
    "walk": lambda: floor.walk(obj),
    "naive": lambda: floor.naive(obj),
}[kind]
for _ in range(3):
    fn()
for _ in range(calls):
    fn()
"""

FILES = [
    "twitter",
    "twitterescaped",
    "citm_catalog",
    "canada",
    "github_events",
    "small_message",
    "table 100000",
]


def count(case: str, calls: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                "-c",
                CHILD,
                os.path.dirname(os.path.abspath(__file__)),
                case,
                str(calls),
            ],
            check=True,
            capture_output=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.MULTILINE).group(1))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("only", nargs="*")
    ap.add_argument("--kinds", default="plav,orjson,orjson-str")
    args = ap.parse_args()
    files = [f for f in FILES if not args.only or any(w in f for w in args.only)]
    kinds = args.kinds.split(",")
    if {"walk", "naive"} & set(kinds):
        # Compiled here, not under valgrind, when missing or out of date.
        from bench_floor import build_floor

        build_floor()
    print("| case | " + " | ".join(kinds) + " |")
    print("|---|" + "---:|" * len(kinds))
    for f in files:
        calls = 2 if f.startswith("table") or f == "canada" else 20
        calls = 2000 if f == "small_message" else calls
        row = []
        for kind in kinds:
            c1 = count(f"{f} {kind}", calls)
            c2 = count(f"{f} {kind}", 2 * calls)
            row.append(f"{(c2 - c1) // calls:,}")
        print(f"| {f} | " + " | ".join(row) + " |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
