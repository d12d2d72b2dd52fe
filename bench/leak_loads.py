"""Memory check for loads (not part of CI): repeats every corpus file and a set of
failing inputs, crosses key-cache eviction and runs short-lived threads, and
reports the RSS growth of each phase, which must stay within 1 MiB.

    .venv/bin/python bench/leak_loads.py [--repeat 10000]
"""

from __future__ import annotations

import argparse
import gc
import sys
import threading

from _common import DATA as SHARED_DATA
from _common import rss_kib

import plav_core

DATA = SHARED_DATA / "json"
LIMIT_KIB = 1024

ERROR_INPUTS = [
    b"",
    b"x",
    b"[1,",
    b"01",
    b"1e+",
    b"[1 2]",
    b'{"a" 1}',
    b'[{"a" 1}, {"b": 2}]',
    b'{"a": [1, 2, {"b": "c", "d": [1, 2, x]}]}',
    b'["abc\\q"]',
    b'["\\ud83d"]',
    b'{"\xff": 1}',
    b'["\xff"]',
    b'["\xff\\n"]',
    b"1" * 5000,
    b"[" * 1100,
    b"[: a, b; 1, 2; 3 4 ]",
    b"[: a; x\xff ]",
    b"[: a; 1, 2, 3 ]",
    b"[:;0",
    b'[{"a": 1, "b": [1, 2, 3], "c": "text"}, 1 2]',
]


def call(data: bytes) -> None:
    try:
        plav_core.loads(data)
    except ValueError:
        pass


def phase(name: str, fn, repeat: int) -> bool:
    warm = max(20, repeat // 50)
    for _ in range(warm):
        fn()
    gc.collect()
    before = rss_kib()
    for _ in range(repeat):
        fn()
    gc.collect()
    grown = rss_kib() - before
    ok = grown <= LIMIT_KIB
    print(f"{'ok ' if ok else 'BAD'} {name:40s} x{repeat:<6d} RSS {grown:+6d} KiB")
    return ok


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=10_000)
    ap.add_argument("--threads", type=int, default=1000)
    args = ap.parse_args()
    ok = True
    for path in sorted(DATA.glob("*.json")):
        raw = path.read_bytes()
        # As in leak_dumps.py: the large files get fewer calls so the run stays short.
        repeat = args.repeat if len(raw) < 200_000 else max(1, args.repeat // 50)
        ok &= phase(path.name, lambda raw=raw: call(raw), repeat)
    for i, data in enumerate(ERROR_INPUTS):
        ok &= phase(f"error input {i}: {data[:24]!r}", lambda data=data: call(data), args.repeat)

    # More distinct keys than the cache holds: every call evicts and re-enters.
    many = [
        ("{" + ", ".join(f'"k{j}_{i}": {i}' for i in range(700)) + "}").encode() for j in range(4)
    ]
    ok &= phase(
        "key cache eviction (2800 keys a round)",
        lambda: [call(d) for d in many],
        max(1, args.repeat // 10),
    )

    def one_thread():
        t = threading.Thread(target=lambda: [call(d) for d in many])
        t.start()
        t.join()

    ok &= phase("short-lived threads", one_thread, args.threads)
    print("all phases within 1 MiB" if ok else "some phase grew by more than 1 MiB")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
