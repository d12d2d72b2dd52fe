"""dumps against orjson, msgspec and json on the JSON corpus, in one process.

Every file of the corpus is loaded once with json.load; each writer then runs on
the same objects, interleaved, and the median of the repeats is reported with the
ratios orjson/plav and orjson→str/plav (above 1: plav is faster). "plav" uses the
default options (lists of uniform dicts become Mox Grids), "plav_json" writes plain
JSON (mox_grid=False). Our result is a str, orjson's and msgspec's are bytes;
"orjson_str" is orjson.dumps(x).decode(), the same str that plav returns. The
geometric means cover twitter, citm_catalog, canada and github_events. The last
rows write a small message (the cost of one call) and a 100,000-row table, which
plav writes as a Mox Grid and the others as an array of objects.

    .venv/bin/python bench/bench_dumps.py [--repeat N] [--files a,b] [--json PATH]

--json PATH merges the medians into PATH ({"results": [{"op": "dumps", "file": ...,
"library": ..., "median_s": ...}, ...]}, the form bench/plot.py reads), replacing
the earlier "dumps" entries and keeping the others.
"""

import argparse
import gc
import json
import math
import platform
import sys
import time

from _common import DATA as SHARED_DATA
from _common import SMALL_MESSAGE, commit, cpu_flags, msgspec, orjson, save_results

import plav

DATA = SHARED_DATA / "json"
HEADLINE = ["twitter", "citm_catalog", "canada", "github_events"]


def environment():
    return (
        f"python {platform.python_version()}  plav {plav.__version__} ({plav.__simd__})  "
        f"commit {commit()}  cpu flags: {cpu_flags()}"
    )


def timed(fn, obj, number):
    start = time.perf_counter()
    for _ in range(number):
        fn(obj)
    return (time.perf_counter() - start) / number


def measure(writers, obj, repeat):
    # Calibrate so that one sample takes about 20 ms, then interleave the writers.
    first = writers[0][1]
    once = timed(first, obj, 1)
    number = max(1, int(0.02 / max(once, 1e-7)))
    samples = {name: [] for name, _ in writers}
    for _ in range(repeat):
        for name, fn in writers:
            gc.collect()
            samples[name].append(timed(fn, obj, number))
    return {name: sorted(s)[len(s) // 2] for name, s in samples.items()}


def table(rows):
    return [
        {"id": i, "name": f"user{i}", "score": i * 0.5, "active": i % 3 == 0, "team": "blue"}
        for i in range(rows)
    ]


def save_json(path, medians):
    save_results(
        path,
        "dumps",
        [
            {"op": "dumps", "file": name, "library": lib, "median_s": t}
            for name, med in medians
            for lib, t in med.items()
        ],
    )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--files", default="")
    ap.add_argument("--json", default="", help="merge the medians into this results file")
    args = ap.parse_args()

    writers = [("plav", plav.dumps), ("plav_json", lambda o: plav.dumps(o, mox_grid=False))]
    if orjson:
        writers.append(("orjson", orjson.dumps))
        writers.append(("orjson_str", lambda o: orjson.dumps(o).decode()))
    if msgspec:
        writers.append(("msgspec", msgspec.json.encode))
    writers.append(("json", lambda o: json.dumps(o, ensure_ascii=False, separators=(",", ":"))))

    print(environment())
    names = [n for n, _ in writers]
    print(
        f"{'file':<28}{'KB':>8}"
        + "".join(f"{n + ' ms':>14}" for n in names)
        + f"{'orjson/plav':>13}{'orjson_str/plav':>17}{'msgspec/plav':>14}{'json/plav':>11}"
    )
    wanted = set(args.files.split(",")) if args.files else None
    ratios = {}
    ratios_str = {}
    medians = []
    cases = []
    for path in sorted(DATA.glob("*.json")):
        if wanted and path.stem not in wanted:
            continue
        with open(path, encoding="utf-8") as f:
            cases.append((path.stem, json.load(f), path.stat().st_size))
    if not wanted or "small" in wanted:
        cases.append(("small_message", SMALL_MESSAGE, 0))
    if not wanted or "table" in wanted:
        cases.append(("table_100k_rows (grid)", table(100_000), 0))
    for name, obj, size in cases:
        med = measure(writers, obj, args.repeat)
        medians.append((name, med))
        ours = med["plav"]
        r_or = med["orjson"] / ours if orjson else float("nan")
        r_os = med["orjson_str"] / ours if orjson else float("nan")
        r_ms = med["msgspec"] / ours if msgspec else float("nan")
        r_js = med["json"] / ours
        ratios[name] = r_or
        ratios_str[name] = r_os
        print(
            f"{name:<28}{size / 1024:>8.0f}"
            + "".join(f"{med[n] * 1e3:>14.4g}" for n in names)
            + f"{r_or:>13.2f}{r_os:>17.2f}{r_ms:>14.2f}{r_js:>11.2f}"
        )
    for label, found in (("orjson/plav", ratios), ("orjson_str/plav", ratios_str)):
        head = [found[n] for n in HEADLINE if n in found]
        if head:
            gm = math.exp(sum(math.log(r) for r in head) / len(head))
            print(f"geometric mean {label} over {', '.join(HEADLINE)}: {gm:.2f}")
    if args.json:
        save_json(args.json, medians)
    return 0


if __name__ == "__main__":
    sys.exit(main())
