"""Reading what a model writes: partial reads, raw_decode and extract against a full loads.

For each file of the JSON corpus and for a 100,000-row Mox Grid: loads of the whole
text; loads(partial=True) of the whole text and of the text cut at 99% (a stream that
has not finished); raw_decode of the value from the start; extract of the value in a
reply with prose before and after; and orjson.loads of the whole text for scale. Prints
medians and each as a ratio of the full loads, measured in the same run.

    .venv/bin/python bench/bench_partial.py [--repeat N] [--files a,b]
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time

from _common import DATA, commit, cpu_flags, orjson

import plav


def median_time(fn, repeat: int, inner: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        times.append((time.perf_counter() - t0) / inner)
    return statistics.median(times)


def cases(raw: bytes):
    cut = raw[: len(raw) * 99 // 100]
    reply = b"Sure, here is the data you asked for:\n" + raw + b"\nLet me know if you need more."
    yield "loads", lambda: plav.loads(raw)
    yield "partial", lambda: plav.loads(raw, partial=True)
    yield "partial 99%", lambda: plav.loads(cut, partial=True)
    yield "raw_decode", lambda: plav.raw_decode(raw)
    yield "extract", lambda: plav.extract(reply)
    if orjson is not None:
        yield "orjson", lambda: orjson.loads(raw)


def run(name: str, raw: bytes, repeat: int) -> None:
    inner = max(1, 2_000_000 // max(len(raw), 1))
    med = {label: median_time(fn, repeat, inner) for label, fn in cases(raw)}
    base = med["loads"]
    cells = "  ".join(
        f"{label} {med[label] * 1e3:8.3f} ms ({med[label] / base:4.2f})" for label in med
    )
    print(f"{name:28s} {cells}")


def grid_text() -> bytes:
    rows = [
        {"id": i, "name": f"user{i}", "score": i * 0.5, "active": i % 3 == 0}
        for i in range(100_000)
    ]
    return plav.dumps(rows).encode()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--files", help="comma-separated file stems (default: all)")
    args = ap.parse_args()
    print(f"commit {commit()}  cpu {cpu_flags()}  (ratio to loads of the whole text)")
    wanted = set(args.files.split(",")) if args.files else None
    for path in sorted((DATA / "json").glob("*.json")):
        if wanted is None or path.stem in wanted:
            run(path.stem, path.read_bytes(), args.repeat)
    if wanted is None or "grid" in wanted:
        run("grid 100k rows", grid_text(), args.repeat)


if __name__ == "__main__":
    main()
