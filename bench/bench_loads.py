"""loads against its peers on the same bytes, in one process.

For each file of the JSON corpus: plav_core.loads, orjson.loads, msgspec.json.decode,
json.loads, and marshal.loads of the same object graph (the cost of building the
objects alone). Prints medians, MB/s and ratios, the geometric mean of
loads/marshal over twitter, citm_catalog, canada and github_events, and a
100,000-row Mox Grid against orjson (same data as a JSON array of objects) and
marshal (same list). A small message shows the cost of one call.

    .venv/bin/python bench/bench_loads.py [--repeat N] [--files a,b] [--json PATH]

--json PATH merges the medians into PATH as {"results": [{"op": "loads", "file": ...,
"library": ..., "median_s": ...}, ...]} (entries of other operations are kept, earlier
"loads" entries replaced), the input of bench/plot.py.
"""

from __future__ import annotations

import argparse
import gc
import json
import marshal
import math
import pathlib
import platform
import statistics
import sys
import time

from _common import DATA as SHARED_DATA
from _common import SMALL_MESSAGE, commit, cpu_flags, msgspec, orjson, save_results

import plav_core

DATA = SHARED_DATA / "json"
KEY_FILES = ("twitter", "citm_catalog", "canada", "github_events")


def median_time(fn, arg, repeat: int, inner: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        for _ in range(inner):
            fn(arg)
        times.append((time.perf_counter() - t0) / inner)
    return statistics.median(times)


def contenders(raw: bytes):
    obj = json.loads(raw)
    out = [("plav", plav_core.loads, raw)]
    if orjson:
        out.append(("orjson", orjson.loads, raw))
    if msgspec:
        out.append(("msgspec", msgspec.json.decode, raw))
    out.append(("json", json.loads, raw))
    out.append(("marshal", marshal.loads, marshal.dumps(obj)))
    return out


def save_json(path: pathlib.Path, rows: list[dict]) -> None:
    save_results(path, "loads", rows)


def run_case(name: str, raw: bytes, cases, repeat: int) -> dict[str, float]:
    # Interleave the contenders round by round so drift hits them alike.
    for _, fn, arg in cases:  # warm up
        fn(arg)
    t0 = time.perf_counter()
    cases[0][1](cases[0][2])
    est = max(time.perf_counter() - t0, 1e-6)
    inner = max(1, int(0.02 / est))
    results: dict[str, list[float]] = {label: [] for label, _, _ in cases}
    for _ in range(repeat):
        for label, fn, arg in cases:
            results[label].append(median_time(fn, arg, 1, inner))
    med = {label: statistics.median(ts) for label, ts in results.items()}
    mb = len(raw) / 1e6
    cells = "  ".join(
        f"{label} {med[label] * 1e3:8.4g} ms {mb / med[label]:7.0f} MB/s" for label in med
    )
    ratios = "  ".join(
        f"plav/{label} {med['plav'] / med[label]:.2f}" for label in med if label != "plav"
    )
    print(f"{name:32s} {cells}\n{'':32s} {ratios}")
    return med


def grid_case(repeat: int) -> dict[str, float]:
    rows = [
        {
            "id": i,
            "score": i * 0.25 + 0.125,
            "name": f"user{i % 977}",
            "dept": ("eng", "ops", "mkt", "hr")[i % 4],
            "age": 20 + i % 50,
            "ratio": (i % 1000) / 7.0,
            "city": f"c{i % 31}",
            "level": i % 9,
        }
        for i in range(100_000)
    ]
    keys = list(rows[0])

    text = (
        f"[{len(rows)}: "
        + ", ".join(keys)
        + "".join("; " + ", ".join(json.dumps(r[k]) for k in keys) for r in rows)
        + " ]"
    ).encode()
    assert plav_core.loads(text) == rows
    raw_json = json.dumps(rows, separators=(",", ":")).encode()
    cases = [("plav", plav_core.loads, text)]
    if orjson:
        cases.append(("orjson", orjson.loads, raw_json))
    cases.append(("marshal", marshal.loads, marshal.dumps(rows)))
    med = run_case("grid 100k rows x 8 cols", text, cases, repeat)
    print(f"  grid: plav/marshal {med['plav'] / med['marshal']:.3f}", end="")
    if orjson:
        print(f"  plav/orjson {med['plav'] / med['orjson']:.3f}", end="")
    print()
    return med


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--files", default="")
    ap.add_argument("--no-grid", action="store_true")
    ap.add_argument("--json", type=pathlib.Path, help="merge the medians into this file")
    args = ap.parse_args()
    print(
        f"Python {sys.version.split()[0]} ({platform.machine()}), plav_core {plav_core.__version__} "
        f"{plav_core.__simd__}, CPU flags: {cpu_flags()}, commit {commit()}"
    )
    print(
        "peers: "
        + ", ".join(
            f"{m.__name__} {getattr(m, '__version__', '?')}" for m in (orjson, msgspec) if m
        )
    )
    wanted = {f for f in args.files.split(",") if f}
    ratios = {}
    rows = []
    for path in sorted(DATA.glob("*.json")):
        if wanted and path.stem not in wanted:
            continue
        raw = path.read_bytes()
        med = run_case(path.name, raw, contenders(raw), args.repeat)
        ratios[path.stem] = med["plav"] / med["marshal"]
        rows += [
            {"op": "loads", "file": path.stem, "library": lib, "median_s": t}
            for lib, t in med.items()
        ]
    if not wanted or "small" in wanted:
        raw = json.dumps(SMALL_MESSAGE).encode()
        med = run_case("small message", raw, contenders(raw), args.repeat)
        rows += [
            {"op": "loads", "file": "small_message", "library": lib, "median_s": t}
            for lib, t in med.items()
        ]
    have = [ratios[k] for k in KEY_FILES if k in ratios]
    if have:
        geo = math.exp(sum(math.log(r) for r in have) / len(have))
        print(f"geometric mean loads/marshal over {', '.join(KEY_FILES)}: {geo:.3f}")
    if not args.no_grid and not wanted:
        med = grid_case(args.repeat)
        rows += [
            {"op": "loads", "file": "grid_100k", "library": lib, "median_s": t}
            for lib, t in med.items()
        ]
    if args.json:
        save_json(args.json, rows)


if __name__ == "__main__":
    main()
