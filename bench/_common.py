"""What the benchmark and leak scripts share: where the data is, the facts a result
must carry to be reproduced (commit, CPU flags), the results file that bench/plot.py
reads, and the resident set size."""

from __future__ import annotations

import json
import pathlib
import resource
import subprocess

# The peers, where installed; a missing one is left out of the tables.
try:
    import orjson
except ImportError:
    orjson = None
try:
    import msgspec
    import msgspec.json
except ImportError:
    msgspec = None

# A small message, such as a tool call: what many calls carry one at a time, where
# the cost of each call counts more than the cost per byte.
SMALL_MESSAGE = {
    "id": "call_17",
    "name": "get_weather",
    "arguments": {"city": "Paris", "unit": "celsius", "days": 3},
    "ok": True,
}

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"


def commit() -> str:
    try:
        out = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True
        ).stdout.strip()
    except OSError:
        out = ""
    return out or "unknown"


def cpu_flags() -> str:
    """The vector features that decide plav's code paths, as /proc/cpuinfo lists them."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    have = set(line.split(":", 1)[1].split())
                    wanted = ("avx2", "avx512f", "avx512bw", "bmi2")
                    return " ".join(w for w in wanted if w in have)
    except OSError:
        pass
    return "unknown"


def save_results(path: str | pathlib.Path, op: str, rows: list[dict]) -> None:
    """Merges this run's medians for `op` into the results file at `path`:
    {"results": [{"op", "file", "library", "median_s"}, ...]}, replacing earlier
    entries of the same operation and keeping the others."""
    target = pathlib.Path(path)
    record: dict = {"results": []}
    if target.is_file():
        record = json.loads(target.read_text(encoding="utf-8"))
    kept = [r for r in record.get("results", []) if r.get("op") != op]
    record["results"] = kept + rows
    target.write_text(json.dumps(record, indent=1) + "\n", encoding="utf-8")


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (resource.getpagesize() // 1024)
