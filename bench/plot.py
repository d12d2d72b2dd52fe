"""Draws bench/results/plav.png from the saved benchmark results.

Token panel: bench/results/tokens.json (bench_tokens.py --json), o200k_base counts of the
token corpus as % of JSON compact. Speed panels, when bench/results/speed.json exists:
time of each library relative to plav, per operation and file. speed.json holds
{"results": [{"op": "loads" | "dumps", "file": ..., "library": ..., "median_s": ...}, ...]}.

    .venv/bin/python bench/plot.py [--tokens PATH] [--speed PATH] [-o PATH]
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

RESULTS = Path(__file__).resolve().parent / "results"

TOKEN_SERIES = {
    "JSON pretty (indent 2)": ("JSON pretty", "#bbbbbb"),
    "TOON": ("TOON", "#e8a33d"),
    "PLAV (defaults)": ("PLAV defaults", "#7fb3d5"),
    "lean": ("PLAV plav.LEAN", "#3a9d5d"),
    "best": ("PLAV best options", "#1f5f8b"),
}
# plav.LEAN with either delimiter; the chart shows the cheaper one per dataset.
LEAN_LABELS = ("PLAV --lean", "PLAV --lean --delimiter comma")


def lean_count(results: dict[str, Any], unit: str) -> int | None:
    counts = [
        results[label][unit]
        for label in LEAN_LABELS
        if results.get(label, {}).get("reads_back") and unit in results[label]
    ]
    return min(counts) if counts else None


def best_plav(results: dict[str, Any], unit: str) -> int | None:
    counts = [
        e[unit]
        for label, e in results.items()
        if label.startswith("PLAV") and e.get("reads_back") and unit in e
    ]
    return min(counts) if counts else None


def plot_tokens(ax: Any, record: dict[str, Any]) -> None:
    unit = record["units"][0]
    files = [f for f in record["files"] if f["file"].startswith("tokens/")] or record["files"]
    names = [Path(f["file"]).stem for f in files]
    width = 0.8 / len(TOKEN_SERIES)
    top = 0.0
    for k, (key, (label, colour)) in enumerate(TOKEN_SERIES.items()):
        values = []
        for f in files:
            base = f["results"]["JSON compact"][unit]
            count = (
                best_plav(f["results"], unit)
                if key == "best"
                else lean_count(f["results"], unit)
                if key == "lean"
                else f["results"].get(key, {}).get(unit)
            )
            values.append(100 * count / base if count else 0)
        xs = [i + (k - (len(TOKEN_SERIES) - 1) / 2) * width for i in range(len(files))]
        ax.bar(xs, values, width, label=label, color=colour)
        top = max(top, *values)
    ax.set_ylim(0, top * 1.2)
    ax.axhline(100, color="black", linewidth=0.8)
    ax.text(len(files) - 0.5, 101, "JSON compact = 100", ha="right", va="bottom", fontsize=8)
    ax.set_xticks(range(len(files)), names, rotation=40, ha="right", fontsize=8)
    ax.set_ylabel(f"{unit} tokens, % of JSON compact")
    ax.set_title("Tokens per dataset (fewer is better)")
    ax.legend(fontsize=8, ncols=5, loc="upper center")


def plot_speed(ax: Any, rows: list[dict[str, Any]], op: str) -> None:
    rows = [r for r in rows if r.get("op") == op]
    files = sorted({r["file"] for r in rows})
    libraries = sorted({r["library"] for r in rows if r["library"] != "plav"})
    plav_time = {r["file"]: r["median_s"] for r in rows if r["library"] == "plav"}
    width = 0.8 / max(1, len(libraries))
    for k, lib in enumerate(libraries):
        times = {r["file"]: r["median_s"] for r in rows if r["library"] == lib}
        values = [times[f] / plav_time[f] if f in times and f in plav_time else 0 for f in files]
        xs = [i + (k - (len(libraries) - 1) / 2) * width for i in range(len(files))]
        ax.bar(xs, values, width, label=lib)
    ax.axhline(1, color="black", linewidth=0.8)
    ax.set_xticks(
        range(len(files)), [Path(f).stem for f in files], rotation=40, ha="right", fontsize=8
    )
    ax.set_ylabel("time relative to plav (higher: plav faster)")
    ax.set_title(f"{op}: peers' time / plav's time")
    ax.legend(fontsize=8)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tokens", type=Path, default=RESULTS / "tokens.json")
    parser.add_argument("--speed", type=Path, default=RESULTS / "speed.json")
    parser.add_argument("-o", "--output", type=Path, default=RESULTS / "plav.png")
    args = parser.parse_args()
    if not args.tokens.is_file():
        print(f"{args.tokens} not found: run bench/bench_tokens.py --json first", file=sys.stderr)
        return 1
    tokens = json.loads(args.tokens.read_text())
    speed_rows = (
        json.loads(args.speed.read_text()).get("results", []) if args.speed.is_file() else []
    )
    ops = [op for op in ("loads", "dumps") if any(r.get("op") == op for r in speed_rows)]
    fig, axes = plt.subplots(1 + len(ops), 1, figsize=(11, 4.5 * (1 + len(ops))), squeeze=False)
    plot_tokens(axes[0][0], tokens)
    for ax, op in zip(axes[1:], ops):
        plot_speed(ax[0], speed_rows, op)
    env = tokens.get("environment", {})
    fig.text(
        0.01,
        0.005,
        f"Python {env.get('python', '?')}, {env.get('cpu', '?')}, commit {env.get('commit', '?')}",
        fontsize=7,
        color="#555555",
    )
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    args.output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.output, dpi=110)
    print(f"wrote {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
