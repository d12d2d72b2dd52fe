"""How close dumps runs to the floor of a writer held to the stable ABI.

bench/floor_walk.cpp, compiled by this script into build/bench/ on first run (again
whenever the source is newer), reads an object graph through the limited API alone:
"walk" visits every value the way any writer must (PyDict_Next, PyList_GetItem,
PyUnicode_AsUTF8AndSize, PyLong_AsLongLongAndOverflow, PyFloat_AsDouble) and writes
nothing; "naive" does the same walk and writes JSON into one growing buffer, with no
escaping, ints by a digit loop and every float as 0.0, then makes the str with
PyUnicode_DecodeUTF8. Neither is a correct writer: walk is the cost of reading the
graph, naive that plus the cheapest writing and the str.

The same for readers: "build" makes the graph from a binary tape (tape() below: no text
to parse, repeated keys as references) with the limited API's constructors alone. Beside
it, loads reads plav's text of the graph and marshal.loads its own binary form, which
makes the objects through CPython's internal calls; loads/build is how far the reader is
from what any stable-ABI reader must spend creating the objects.

Each file is loaded once with json.load and plav.dumps, orjson.dumps,
orjson.dumps(x).decode(), walk and naive run on the same object, interleaved, in one
process; the medians of the repeats are printed in µs with dumps/walk, dumps/naive and
orjson/walk (dumps/walk of 1 would be a writer as fast as reading its input). The
default cases are twitter, citm_catalog, canada, github_events, the small message and
the 100,000-row table of bench_dumps.py, which plav writes as a Mox Grid.

    .venv/bin/python bench/bench_floor.py [--repeat N] [--files a,b]

--files takes file stems of the corpus, "small" and "table". The compiler is g++,
against the headers of the running Python.
"""

import argparse
import importlib
import json
import marshal
import os
import struct
import subprocess
import sys
import sysconfig
import tempfile

from _common import DATA as SHARED_DATA
from _common import ROOT, SMALL_MESSAGE, orjson
from bench_dumps import environment, measure, table

import plav

DATA = SHARED_DATA / "json"
DEFAULT_FILES = ["twitter", "citm_catalog", "canada", "github_events", "small", "table"]
SOURCE = ROOT / "bench" / "floor_walk.cpp"
BUILD = ROOT / "build" / "bench"
MODULE = "floor_walk"


def build_floor():
    """The path of the compiled floor_walk extension, compiled when missing or older
    than its source."""
    target = BUILD / f"{MODULE}.abi3.so"
    if target.is_file() and target.stat().st_mtime >= SOURCE.stat().st_mtime:
        return target
    BUILD.mkdir(parents=True, exist_ok=True)
    include = sysconfig.get_paths()["include"]
    # Written next to the target and moved into place, so that a process that finds the
    # file never loads half of it.
    fd, partial = tempfile.mkstemp(dir=BUILD, suffix=".so.tmp")
    os.close(fd)
    cmd = [
        "g++",
        "-O2",
        "-shared",
        "-fPIC",
        "-DPy_LIMITED_API=0x030C0000",
        f"-I{include}",
        str(SOURCE),
        "-o",
        partial,
    ]
    try:
        subprocess.run(cmd, check=True)
        os.replace(partial, target)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    return target


def load_floor():
    """The floor_walk module, compiled first if needed."""
    target = build_floor()
    sys.path.insert(0, str(target.parent))
    return importlib.import_module(MODULE)


def tape(obj):
    """The binary form floor_walk.build reads: a tag byte per value, then an int64,
    a double, or a u32 length, count or key index (little-endian)."""
    out = bytearray()
    keys = {}

    def text(tag, s):
        b = s.encode()
        out.extend(tag + struct.pack("<I", len(b)) + b)

    def put(v):
        if v is None:
            out.extend(b"n")
        elif v is True or v is False:
            out.extend(b"t" if v else b"f")
        elif type(v) is int:
            out.extend(b"i" + struct.pack("<q", v))
        elif type(v) is float:
            out.extend(b"d" + struct.pack("<d", v))
        elif type(v) is str:
            text(b"s", v)
        elif type(v) is list:
            out.extend(b"l" + struct.pack("<I", len(v)))
            for item in v:
                put(item)
        elif type(v) is dict:
            out.extend(b"m" + struct.pack("<I", len(v)))
            for k, item in v.items():
                if k in keys:
                    out.extend(b"r" + struct.pack("<I", keys[k]))
                else:
                    keys[k] = len(keys)
                    text(b"k", k)
                put(item)
        else:
            raise TypeError(f"no tape form for {type(v).__name__}")

    put(obj)
    return bytes(out)


def micros(seconds):
    us = seconds * 1e6
    return f"{us:.3f}" if us < 10 else f"{us:.1f}"


def print_header(names, ratios):
    print(
        f"{'case':<24}"
        + "".join(f"{n + ' µs':>14}" for n in names)
        + "".join(f"{a + '/' + b:>15}" for a, b in ratios)
    )


def print_row(name, med, names, ratios):
    print(
        f"{name:<24}"
        + "".join(f"{micros(med[n]):>14}" for n in names)
        + "".join(f"{med[a] / med[b]:>15.2f}" for a, b in ratios),
        flush=True,
    )


def cases(wanted):
    """(name, object) for each wanted case, in the order asked."""
    for name in wanted:
        if name == "small":
            yield "small_message", SMALL_MESSAGE
        elif name == "table":
            yield "table_100k_rows (grid)", table(100_000)
        else:
            with open(DATA / f"{name}.json", encoding="utf-8") as f:
                yield name, json.load(f)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--files", default=",".join(DEFAULT_FILES))
    args = ap.parse_args()

    floor = load_floor()
    writers = [("dumps", plav.dumps)]
    if orjson:
        writers.append(("orjson", orjson.dumps))
        writers.append(("orjson_str", lambda o: orjson.dumps(o).decode()))
    writers += [("walk", floor.walk), ("naive", floor.naive)]
    names = [n for n, _ in writers]

    print(environment())
    objects = list(cases(args.files.split(",")))
    ratios = [("dumps", "walk"), ("dumps", "naive")] + ([("orjson", "walk")] if orjson else [])
    print_header(names, ratios)
    for name, obj in objects:
        print_row(name, measure(writers, obj, args.repeat), names, ratios)

    print()
    readers = ["loads", "marshal", "build"]
    ratios = [("loads", "marshal"), ("loads", "build"), ("marshal", "build")]
    print_header(readers, ratios)
    for name, obj in objects:
        inputs = {
            "loads": (plav.loads, plav.dumps(obj)),
            "marshal": (marshal.loads, marshal.dumps(obj)),
            "build": (floor.build, tape(obj)),
        }
        assert floor.build(inputs["build"][1]) == obj
        calls = [(n, lambda _, f=f, x=x: f(x)) for n, (f, x) in inputs.items()]
        print_row(name, measure(calls, None, args.repeat), readers, ratios)
    return 0


if __name__ == "__main__":
    sys.exit(main())
