"""Leak check for dumps (not run in CI): 10,000 calls per corpus object and per
failing input; the resident set size must stay within 1 MiB of where it was after
a warm-up.

    .venv/bin/python bench/leak_dumps.py [--calls N]
"""

import argparse
import gc
import json
import sys

from _common import DATA as SHARED_DATA
from _common import rss_kib

import plav

DATA = SHARED_DATA / "json"
LIMIT_KIB = 1024


class Boom:
    def model_dump(self):
        raise ValueError("boom")


class Selfish:
    def model_dump(self):
        return self


def failing_inputs():
    deep = []
    for _ in range(300):
        deep = [deep]
    return {
        "set": {"a": [1, {2, 3}]},
        "surrogate": ["ok", "\ud800"],
        "surrogate key": {"\ud800": 1},
        "model raises": [{"a": 1}, {"a": Boom()}] * 6,
        "self conversion": Selfish(),
        "too deep": deep,
        "int header key": [{1: "x"}, {1: "y"}],
        "huge int": 10**5000,
    }


def check(name, value, calls, kwargs):
    def run(n):
        for _ in range(n):
            try:
                plav.dumps(value, **kwargs)
            except (TypeError, ValueError):
                pass

    run(max(10, calls // 20))
    gc.collect()
    before = rss_kib()
    run(calls)
    gc.collect()
    grown = rss_kib() - before
    status = "ok" if grown <= LIMIT_KIB else "GREW"
    print(f"{status:5} {name:<40} {calls:>7} calls  rss {grown:+6d} KiB")
    return grown <= LIMIT_KIB


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=10_000)
    args = ap.parse_args()
    good = True
    for path in sorted(DATA.glob("*.json")):
        with open(path, encoding="utf-8") as f:
            value = json.load(f)
        # The large files get fewer calls so the run stays short; the buffer is
        # warmed, so any per-call leak still shows.
        calls = args.calls if path.stat().st_size < 200_000 else args.calls // 50
        good &= check(path.stem, value, calls, {})
        good &= check(path.stem + " indent=2", value, calls // 5 or 1, {"indent": 2})
    for name, value in failing_inputs().items():
        good &= check(name, value, args.calls, {})
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
