"""Token counts of JSON, TOON and PLAV layouts, exact, with tiktoken offline.

Every file of ../shared/data/tokens and ../shared/data/json is written as JSON pretty
(indent 2), JSON compact, TOON (the toon-format package, if installed) and PLAV under
each option set of `plav stats`; each text is counted in o200k_base and cl100k_base
tokens. Prints one table per encoding (counts of JSON compact, the others as % of it)
and a summary; --json PATH saves everything for bench/plot.py.

    .venv/bin/python bench/bench_tokens.py [--json bench/results/tokens.json]
"""

from __future__ import annotations

import argparse
import json
import platform
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import plav
from plav import LEAN, _tokens
from plav.cli import OPTION_SETS, json_compact, json_pretty, reads_back

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"
CORPORA = ("tokens", "json")

# Short column names for the tables, in column order.
SHORT = {
    "JSON pretty (indent 2)": "JSON pretty",
    "JSON compact": "JSON compact",
    "TOON": "TOON",
    "TOON tab": "TOON tab",
    "PLAV (defaults)": "PLAV",
    "PLAV --bare-strings": "P bs",
    "PLAV --bare-strings --implicit-null": "P bs in",
    "PLAV --bare-strings --implicit-null --unquoted-keys": "P bs in uk",
    "PLAV --bare-strings --implicit-null --delimiter tab": "P bs in tab",
    "PLAV --bare-strings --implicit-null --unquoted-keys --delimiter tab": "P bs in uk tab",
    "PLAV --lean --delimiter comma": "P lean ,",
    "PLAV --lean": "P lean tab",
}

# plav.LEAN with either delimiter: "the lean set" counts the cheaper of the two per file.
LEAN_LABELS = [o.label for o in OPTION_SETS if o.options in (LEAN, {**LEAN, "delimiter": "comma"})]
# Where the lean set must take at most TOON's tokens.
LEAN_VS_TOON = [
    "tabular-employees",
    "analytics-timeseries",
    "github-repos-top100",
    "nested-orders",
    "deep-nested-config",
    "semi-uniform-event-logs",
]


def environment() -> dict[str, Any]:
    """Python, CPU, commit and package versions, for the record."""
    flags: list[str] = []
    model = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags") and not flags:
                wanted = ("avx2", "avx512f", "avx512bw", "bmi2", "pclmulqdq")
                flags = [f for f in line.split(":", 1)[1].split() if f in wanted]
            elif line.startswith("model name") and not model:
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    try:
        commit = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"],
            cwd=ROOT,
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    versions = {"plav": plav.__version__, "simd": plav.__simd__}
    for name in ("tiktoken", "toon_format"):
        try:
            module = __import__(name)
            versions[name] = getattr(module, "__version__", "installed")
        except ImportError:
            versions[name] = "not installed"
    return {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "cpu": model,
        "cpu_flags": flags,
        "commit": commit,
        "versions": versions,
    }


def writers() -> dict[str, Callable[[Any], str]]:
    """Label → function writing the document in that layout."""
    table: dict[str, Callable[[Any], str]] = {
        "JSON pretty (indent 2)": json_pretty,
        "JSON compact": json_compact,
    }
    try:
        import toon_format
    except ImportError:
        print("toon-format is not installed: TOON columns left out", file=sys.stderr)
    else:
        table["TOON"] = toon_format.encode
        table["TOON tab"] = lambda obj: toon_format.encode(obj, delimiter="\t")
    for option_set in OPTION_SETS:
        table[option_set.label] = lambda obj, o=option_set.options: plav.dumps(obj, **o)
    return table


def measure_file(
    path: Path, table: dict[str, Callable[[Any], str]], counters: _tokens.TokenCounters
) -> dict[str, Any]:
    raw = path.read_bytes()
    obj = json.loads(raw)
    results: dict[str, dict[str, Any]] = {}
    for label, write in table.items():
        try:
            text = write(obj)
        except Exception as exc:  # a peer failing on a file is a result, not a crash
            results[label] = {"error": f"{type(exc).__name__}: {exc}"}
            continue
        entry: dict[str, Any] = {"bytes": len(text.encode("utf-8"))}
        for name, count in counters.counters.items():
            entry[name] = count(text)
        if label.startswith("PLAV"):
            try:
                entry["reads_back"] = reads_back(obj, plav.loads(text))
            except ValueError:
                entry["reads_back"] = False
        results[label] = entry
    return {"file": f"{path.parent.name}/{path.name}", "bytes": len(raw), "results": results}


def best_plav(file_result: dict[str, Any], unit: str) -> tuple[str, int] | None:
    """The PLAV layout with the fewest `unit` that reads back equal."""
    found = [
        (entry[unit], label)
        for label, entry in file_result["results"].items()
        if label.startswith("PLAV") and entry.get("reads_back") and unit in entry
    ]
    if not found:
        return None
    count, label = min(found)
    return label, count


def best_lean(file_result: dict[str, Any], unit: str) -> int | None:
    """The lean set's count with the better delimiter for the file, when it reads back."""
    found = [
        file_result["results"][label][unit]
        for label in LEAN_LABELS
        if file_result["results"].get(label, {}).get("reads_back")
        and unit in file_result["results"][label]
    ]
    return min(found) if found else None


def lean_targets(files: list[dict[str, Any]], unit: str) -> list[str]:
    """The lean set against TOON and JSON compact, each target met or MISSED."""
    lines = []
    by_stem = {Path(fr["file"]).stem: fr for fr in files if fr["file"].startswith("tokens/")}
    for stem in LEAN_VS_TOON:
        fr = by_stem.get(stem)
        toon = fr["results"].get("TOON", {}).get(unit) if fr else None
        lean = best_lean(fr, unit) if fr else None
        if toon is None or lean is None:
            continue
        verdict = "met" if lean <= toon else "MISSED"
        lines.append(f"lean vs TOON on {stem}: {lean:,} vs {toon:,} {unit} ({verdict})")
    for corpus, goal in (("tokens", -20.0), ("json", -3.0)):
        group = [fr for fr in files if fr["file"].startswith(corpus + "/")]
        leans = [best_lean(fr, unit) for fr in group]
        if not group or None in leans:
            continue
        base = sum(fr["results"]["JSON compact"][unit] for fr in group)
        change = (sum(leans) - base) * 100 / base  # type: ignore[arg-type]
        verdict = "met" if change <= goal else "MISSED"
        lines.append(
            f"lean over the {len(group)} {corpus} files: {change:+.1f}% vs JSON compact "
            f"(target {goal:+.0f}%: {verdict})"
        )
    return lines


def pct(value: int, base: int) -> str:
    return f"{(value - base) * 100 / base:+.1f}%"


def print_table(files: list[dict[str, Any]], labels: list[str], unit: str) -> None:
    others = [label for label in labels if label != "JSON compact"]
    head = ["file", f"JSON compact ({unit})", *(SHORT.get(lb, lb) for lb in others), "best PLAV"]
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join(["---"] + ["---:"] * (len(head) - 1)) + "|")
    for fr in files:
        base = fr["results"]["JSON compact"][unit]
        cells = [fr["file"], f"{base:,}"]
        for label in others:
            entry = fr["results"].get(label, {})
            if unit not in entry:
                cells.append("error")
                continue
            mark = "" if entry.get("reads_back", True) else "†"
            cells.append(pct(entry[unit], base) + mark)
        best = best_plav(fr, unit)
        cells.append(pct(best[1], base) if best else "n/a")
        print("| " + " | ".join(cells) + " |")
    print()


def summarise(
    files: list[dict[str, Any]], labels: list[str], unit: str
) -> tuple[dict[str, Any], list[str]]:
    """Totals per corpus and the findings worth reporting, as data and as lines."""
    summary: dict[str, Any] = {}
    lines = []
    for corpus in CORPORA:
        group = [fr for fr in files if fr["file"].startswith(corpus + "/")]
        if not group:
            continue
        totals = {
            label: sum(fr["results"][label].get(unit, 0) for fr in group)
            for label in labels
            if all(unit in fr["results"].get(label, {}) for fr in group)
        }
        base = totals["JSON compact"]
        line = ", ".join(
            f"{SHORT.get(lb, lb)} {pct(v, base)}"
            for lb, v in totals.items()
            if lb != "JSON compact"
        )
        lines.append(
            f"{corpus} corpus, {unit}, sum over {len(group)} files: JSON compact {base:,}; {line}"
        )
        summary[corpus] = totals
    lean = next(o.label for o in OPTION_SETS if o.options == LEAN)
    above, lean_above, vs_toon = [], [], []
    for fr in files:
        best = best_plav(fr, unit)
        base = fr["results"]["JSON compact"][unit]
        if best is None or best[1] > base:
            above.append(fr["file"])
        lean_entry = fr["results"].get(lean, {})
        if not lean_entry.get("reads_back") or lean_entry.get(unit, base + 1) > base:
            lean_above.append(f"{fr['file']} ({pct(lean_entry.get(unit, 0), base)})")
        toon = fr["results"].get("TOON", {}).get(unit)
        if best and toon:
            vs_toon.append((best[1] - toon) * 100 / toon)
    if above:
        lines.append(f"best PLAV layout ABOVE JSON compact on: {', '.join(above)}")
    else:
        lines.append(f"best PLAV layout at or below JSON compact on all {len(files)} files")
    lines.append(
        f"--lean above JSON compact on {len(lean_above)} of {len(files)} files"
        + (f": {', '.join(lean_above)}" if lean_above else "")
    )
    if vs_toon:
        better = sum(1 for v in vs_toon if v < 0)
        lines.append(
            f"best PLAV vs TOON: fewer {unit} on {better} of {len(vs_toon)} files, "
            f"from {min(vs_toon):+.1f}% to {max(vs_toon):+.1f}%"
        )
    targets = lean_targets(files, unit)
    lines += targets
    summary["best_above_json_compact"] = above
    summary["lean_above_json_compact"] = lean_above
    summary["lean_targets"] = targets
    return summary, lines


def print_summary(files: list[dict[str, Any]], labels: list[str], unit: str) -> None:
    print("\n".join(summarise(files, labels, unit)[1]) + "\n")


def print_readme_table(files: list[dict[str, Any]], units: list[str]) -> None:
    """The token table of README.md: the token corpus file by file, both corpora summed."""
    shown = ["JSON pretty (indent 2)", "TOON", "PLAV (defaults)", "lean"]
    unit = units[0]
    print(
        f"{unit} tokens; JSON compact as a count, the others as change against it; "
        "`plav.LEAN`: the lean set with the better of comma and tab for that file; "
        "best PLAV: the option set with the fewest tokens for that file.\n"
    )
    print("| dataset | JSON compact | JSON pretty | TOON | PLAV | `plav.LEAN` | best PLAV |")
    print("|---|---:|---:|---:|---:|---:|---:|")

    def cells(results: dict[str, Any], best: int | None) -> list[str]:
        base = results["JSON compact"][unit]
        out = [f"{base:,}"]
        for label in shown:
            value = results.get(label, {}).get(unit)
            out.append(pct(value, base) if value is not None else "n/a")
        out.append(pct(best, base) if best is not None else "n/a")
        return out

    def with_lean(fr: dict[str, Any]) -> dict[str, Any]:
        lean = best_lean(fr, unit)
        return {**fr["results"], "lean": {unit: lean} if lean is not None else {}}

    for fr in files:
        if fr["file"].startswith("tokens/"):
            best = best_plav(fr, unit)
            row = cells(with_lean(fr), best[1] if best else None)
            print(f"| {Path(fr['file']).stem} | " + " | ".join(row) + " |")
    for corpus in CORPORA:
        group = [fr for fr in files if fr["file"].startswith(corpus + "/")]
        if not group:
            continue
        totals = {
            label: {unit: sum(with_lean(fr).get(label, {}).get(unit) or 0 for fr in group)}
            for label in ["JSON compact", *shown]
        }
        best_sum = sum((best_plav(fr, unit) or ("", 0))[1] for fr in group)
        row = cells(totals, best_sum)
        print(f"| **all {len(group)} files of {corpus}/** | " + " | ".join(row) + " |")
    print()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=DATA, help="folder holding tokens/ and json/")
    parser.add_argument(
        "--tokenizers", default=str(DATA / "tokenizers"), help="folder of the tiktoken rank files"
    )
    parser.add_argument("--corpus", choices=(*CORPORA, "all"), default="all")
    parser.add_argument("--json", type=Path, metavar="PATH", help="save the results as JSON")
    parser.add_argument("--readme", action="store_true", help="print only the README table")
    args = parser.parse_args()

    counters = _tokens.load_counters(_tokens.tokenizer_dir(args.tokenizers))
    if not counters.counters:
        print(f"measuring BYTES only, no token counts: {counters.reason}", file=sys.stderr)
    units = [*counters.names] or ["bytes"]
    table = writers()
    corpora = CORPORA if args.corpus == "all" else (args.corpus,)
    paths = [p for corpus in corpora for p in sorted((args.data / corpus).glob("*.json"))]
    if not paths:
        print(f"no JSON files under {args.data}", file=sys.stderr)
        return 1
    started = time.perf_counter()
    files = []
    for path in paths:
        print(f"  {path.parent.name}/{path.name}", file=sys.stderr)
        files.append(measure_file(path, table, counters))
    print(f"measured {len(files)} files in {time.perf_counter() - started:.0f} s", file=sys.stderr)

    labels = list(table)
    if args.readme:
        print_readme_table(files, units)
    else:
        print_tables(files, labels, units)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        summaries = {unit: summarise(files, labels, unit)[0] for unit in units}
        record = {
            "environment": environment(),
            "units": units,
            "labels": labels,
            "files": files,
            "summary": summaries,
        }
        args.json.write_text(json.dumps(record, indent=1) + "\n")
        print(f"saved {args.json}", file=sys.stderr)
    return 0


def print_tables(files: list[dict[str, Any]], labels: list[str], units: list[str]) -> None:
    print(
        "Columns: % of the JSON compact count. P = PLAV; bs --bare-strings, in --implicit-null,"
        " uk --unquoted-keys, tab --delimiter tab; † does not read back equal.\n"
    )
    for unit in units:
        print_table(files, labels, unit)
        print_summary(files, labels, unit)


if __name__ == "__main__":
    sys.exit(main())
