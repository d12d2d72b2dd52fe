"""What plav.LEAN costs in time: dumps of 100,000-row tables with the lean options
against the default options, and loads of the lean grid text against the default
grid text, interleaved in one process (medians of the repeats).

Targets: lean dumps at most 1.1x the default dumps; lean loads within 10% of the
default loads.

    .venv/bin/python bench/bench_lean.py [--repeat N]
"""

import argparse
import gc
import sys
import time

from _common import commit, cpu_flags

import plav


def employees(rows):
    """The benchmark's plain table (bench_dumps.py): ints, names, floats, bools."""
    return [
        {"id": i, "name": f"user{i}", "score": i * 0.5, "active": i % 3 == 0, "team": "blue"}
        for i in range(rows)
    ]


def people(rows):
    """A table with what lean writes bare and the defaults quote or refuse: names with
    spaces, e-mail addresses, dates, versions, missing values and a nested list."""
    return [
        {
            "id": i,
            "name": f"Ana Mensah {i % 977}",
            "email": f"user{i}@example.com",
            "joined": f"2018-05-{1 + i % 28:02d}T12:03:18Z",
            "version": f"1.{i % 7}.{i % 13}",
            "manager": None if i % 5 else i // 5,
            "tags": ["a", "b"][: i % 3],
        }
        for i in range(rows)
    ]


def median_time(fn, arg, repeat):
    samples = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn(arg)
        samples.append(time.perf_counter() - start)
    return sorted(samples)[len(samples) // 2]


def interleaved(cases, repeat):
    """{name: median seconds} for (name, fn, arg) cases run in turn, `repeat` rounds."""
    samples = {name: [] for name, _, _ in cases}
    for _ in range(repeat):
        for name, fn, arg in cases:
            samples[name].append(median_time(fn, arg, 1))
    return {name: sorted(s)[len(s) // 2] for name, s in samples.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()
    print(f"plav {plav.__version__} ({plav.__simd__})  commit {commit()}  cpu flags: {cpu_flags()}")
    print(
        f"{'table (100,000 rows)':<24}{'op':>7}{'default ms':>12}{'lean ms':>10}"
        f"{'lean/default':>14}{'target':>9}  bytes default / lean"
    )
    failed = False
    for name, rows in (("employees", employees(100_000)), ("people", people(100_000))):
        default_text = plav.dumps(rows)
        lean_text = plav.dumps(rows, **plav.LEAN)
        assert plav.loads(lean_text) == rows
        dumps = interleaved(
            [("default", plav.dumps, rows), ("lean", lambda r: plav.dumps(r, **plav.LEAN), rows)],
            args.repeat,
        )
        loads = interleaved(
            [("default", plav.loads, default_text), ("lean", plav.loads, lean_text)], args.repeat
        )
        grid = default_text.startswith("[")
        for op, med, limit in (("dumps", dumps, 1.1), ("loads", loads, 1.1)):
            ratio = med["lean"] / med["default"]
            ok = ratio <= limit or (op == "loads" and not grid)
            failed |= not ok
            print(
                f"{name:<24}{op:>7}{med['default'] * 1e3:>12.2f}{med['lean'] * 1e3:>10.2f}"
                f"{ratio:>14.3f}{'<= ' + str(limit):>9}  "
                f"{len(default_text):,} / {len(lean_text):,}"
                + ("" if grid else "  (default text is a plain array)")
            )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
