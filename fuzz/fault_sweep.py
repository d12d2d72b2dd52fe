"""Allocation-failure sweep of loads and dumps.

The n-th interpreter allocation of each call fails (and the four from the n-th), n = 0,
1, 2, ... until the call runs clean, thinning out past the dense range; on a test build
the module's own allocations are swept too. A trial returns the right value or raises
MemoryError or a failed-creation message, and the next call is right again. --leaks
repeats the sweep and checks the interpreter's block count; --quick samples, --full
sweeps everything.
"""

from __future__ import annotations

import _testcapi
import ctypes
import gc
import math
import pathlib
import sys
import time

from harness import same

import plav_core


def own_allocation_hook():
    """The test build's fail(start, stop) hook (start -1: none); None on a release build."""
    try:
        fn = ctypes.CDLL(plav_core.__file__).plav_testing_fail_allocations
    except AttributeError:
        return None
    fn.argtypes, fn.restype = [ctypes.c_int64, ctypes.c_int64], ctypes.c_int64
    return fn


ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"

CREATED = ["float", "dict", "list", "row dict", "integer", "large integer", "string"]
MODULE_MESSAGES = {f"Failed to create {what}" for what in CREATED} | {
    "List append failed",
    "Dict insertion failed",
    "Row dict insertion failed",
    "Failed to encode string as UTF-8",
    "Failed to read float value",
    "Failed to read bytes value",
}


class Model:
    def __init__(self, payload):
        self.payload = payload

    def model_dump(self):
        return dict(self.payload)  # a new dict: its allocations are swept too


def cases(full: bool):
    """(name, callable) pairs; each callable is deterministic."""
    loads, dumps = plav_core.loads, plav_core.dumps
    docs = {
        "grid": b"[3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]",
        "grid escapes": b'[: a, b; x\\;y, "q;r" ]',
        "grid nested": b'[: a; [1, 2]; {"k": [: x; 1 ]} ]',
        "grid tab": b"[: id\tname; 1\tAlice; 2\tBob ]",
        "grid pipe short rows": b"[4: a | b | c; 1 | x; ; 2 | y | 3.5; 4 ]",
        "numbers": b"[0, -1, 1.5, 1e300, NaN, -Infinity, 18446744073709551616, "
        + b"9" * 400
        + b", 3.141592653589793, -0.0]",
        "strings": '["plain", "esc\\n\\t\\"", "\\ud83d\\ude00", "é ü", "\\u00e9"]'.encode(),
        "object keys": b'{"id": 1, name: "x", "k\\u00e9y": [true, false, null], "id": 2}',
        "deep": b"[" * 40 + b"{}" + b"]" * 40,
        "json test suite": (
            DATA / "jsontestsuite" / "test_parsing" / "y_object_basic.json"
        ).read_bytes(),
    }
    if full:
        names = "twitter_api_response repeat google_maps_api_response tree-pretty"
        for name in (names + " twitter_timeline github_events numbers").split():
            docs[name] = (DATA / "json" / f"{name}.json").read_bytes()
        grid = plav_core.dumps(plav_core.loads((DATA / "json" / "github_events.json").read_bytes()))
        docs["github events as grids"] = grid.encode()
    out = []
    for name, doc in docs.items():
        out.append((f"loads bytes {name}", lambda d=doc: loads(d)))
        text = doc.decode()
        out.append((f"loads str {name}", lambda t=text: loads(t)))
    out.append(("loads schema", lambda: loads(b'[{"x": 1, "y": [2]}, {"p": "q"}, {}]', ["a", "b"])))
    out.append(("loads schema grid", lambda: loads(b'[: k; {"p": 1}; {"q": 2} ]', schema=["a"])))
    rows = [{"id": i, "name": f"n{i}", "score": i / 3} for i in range(12)]
    objects = {
        "scalars": [None, True, 0, -5, 2**63, 2**64, -(2**70), 1.5, 1e-7, math.nan, "é", b"\0"],
        "grid rows": rows,
        "nested": {"a": [1, (2, 3), {"b": {"c": [rows[:2]]}}], "k\u00e9": 'v\n"x"'},
        # No dataclasses: CPython 3.12's own dataclasses.asdict crashes the interpreter
        # when one of its allocations fails (a pure-Python loop shows it too).
        "models": [Model({"a": 1, "b": "x"}), Model({"a": 2, "b": "y"})],
        "single model": Model({"m": [Model({"n": None})]}),
        "big int": 10**400,
        "non-str keys": {1: "one", None: 2, 2.5: [3], (1, 2): 4},
        "long string": "x" * 5000 + "\u2028\t",
    }
    for name, obj in objects.items():
        out.append((f"dumps {name}", lambda o=obj: dumps(o)))
        if name == "models":
            continue  # a failed lookup writes a plain array, and indented grids are not read back
        out.append((f"dumps indented {name}", lambda o=obj: dumps(o, indent=2, unquoted_keys=True)))
    grid_options = dict(bare_strings=True, implicit_null=True, delimiter="pipe", row_count=False)
    out.append(("dumps grid options", lambda: dumps(rows, **grid_options)))
    out.append(("dumps multiline", lambda: dumps(rows, multiline_mox=True, delimiter="tab")))
    out.append(("dumps then loads", lambda: loads(dumps(rows))))
    return out


def equivalent(got, want) -> bool:
    """Equal, or dumps text that reads back the same (a failed lookup gives a plain array)."""
    if same(got, want):
        return True
    if type(got) is str and type(want) is str:
        try:
            return same(plav_core.loads(got), plav_core.loads(want))
        except ValueError:
            return False
    return False


# Failed attribute lookups are discarded on purpose (an object whose model_dump
# lookup fails is treated as having none), so under memory pressure a model can be
# refused as not serializable. Counted and shown, not failed.
TOLERATED = ("is not JSON serializable",)


class Sweep:
    def __init__(self, stride: int, dense: int):
        self.stride, self.dense, self.trials = stride, dense, 0
        self.failures: list[str] = []
        self.tolerated: dict[str, int] = {}

    def trial(self, fn, start: int, stop: int):
        _testcapi.set_nomemory(start, stop)
        try:
            result = fn()
        except BaseException as exc:  # noqa: BLE001 - classified below
            _testcapi.remove_mem_hooks()
            return False, exc
        _testcapi.remove_mem_hooks()  # before anything else allocates
        return True, result

    def check(self, name: str, fn, want) -> None:
        clean_run = start = 0
        while clean_run < 30:
            # One failing allocation, and a run of four. (Failing every allocation from
            # n on would also fail the sweep's own code after the call returns.)
            for stop in (start + 1, start + 4):
                self.trials += 1
                ok, got = self.trial(fn, start, stop)
                where = f"{name}: allocations {start}..{stop - 1}"
                if ok:
                    if not equivalent(got, want):
                        self.failures.append(f"{where}: wrong result {str(got)[:80]!r}")
                elif type(got) is TypeError and str(got).endswith(TOLERATED):
                    self.tolerated[name] = self.tolerated.get(name, 0) + 1
                elif not acceptable(got):
                    self.failures.append(f"{where}: {type(got).__name__}: {str(got)[:120]}")
                if stop == start + 1:
                    clean_run = clean_run + 1 if ok else 0
                # the thread must work normally again right away
                again = fn()
                if not same(again, want):
                    self.failures.append(f"{where}: the next call returned {str(again)[:80]!r}")
            start += 1 if start < self.dense else max(self.stride, start // 128)

    def check_own(self, name: str, fn, want, hook) -> int:
        """Fails each own allocation of one call (and the four from each); returns the count."""
        hook(1 << 62, 0)  # a schedule that never fires: the call allocates afresh
        fn()
        count = hook(-1, 0)
        positions = (
            range(count)
            if self.stride == 1
            else sorted({*range(min(count, 16)), *range(16, count, self.stride)})
        )
        for start in positions:
            for stop in (start + 1, start + 4):
                self.trials += 1
                hook(start, stop)
                try:
                    got, exc = fn(), None
                except BaseException as e:  # noqa: BLE001 - classified below
                    got, exc = None, e
                hook(-1, 0)
                where = f"{name}: own allocations {start}..{stop - 1} of {count}"
                if exc is None:
                    if not equivalent(got, want):
                        self.failures.append(f"{where}: wrong result {str(got)[:80]!r}")
                elif type(exc) is not MemoryError:
                    self.failures.append(f"{where}: {type(exc).__name__}: {str(exc)[:120]}")
                again = fn()
                if not same(again, want):
                    self.failures.append(f"{where}: the next call returned {str(again)[:80]!r}")
        return count


def acceptable(exc: BaseException) -> bool:
    # (loads reports a failed number creation as a DecodeError, a ValueError; an empty
    # list that cannot be created is reported with the internal-failure type)
    return (
        isinstance(exc, MemoryError)
        or (isinstance(exc, (ValueError, RuntimeError)) and str(exc) in MODULE_MESSAGES)
        or (type(exc).__name__ == "InternalFailure" and str(exc) == "Failed to create list")
    )


def main() -> int:
    full, leaks = "--full" in sys.argv, "--leaks" in sys.argv
    selected = cases(full) if full else cases(full)[::3]  # a sample: every third case
    sweep = Sweep(stride=1, dense=4096) if full else Sweep(stride=7, dense=64)
    t0 = time.perf_counter()
    wants = [(name, fn, fn()) for name, fn in selected]
    hook = own_allocation_hook()
    own_trials = 0
    for name, fn, want in wants:
        before = sweep.trials
        sweep.check(name, fn, want)
        line = f"{name}: {sweep.trials - before} trials"
        if hook:
            before = sweep.trials
            count = sweep.check_own(name, fn, want, hook)
            own_trials += sweep.trials - before
            line += f", own allocations {count}: {sweep.trials - before} trials"
        print(line, flush=True)
    if hook:
        print(f"own allocations swept: {own_trials} trials")
    else:
        print("own allocations not swept: a release build has no allocation-failure hook")
    if leaks:
        # A second sweep must not leave more interpreter blocks behind than the first.
        gc.collect()
        blocks0 = sys.getallocatedblocks()
        for name, fn, want in wants:
            sweep.check(name, fn, want)
            if hook:
                sweep.check_own(name, fn, want, hook)
        gc.collect()
        blocks1 = sys.getallocatedblocks()
        print(f"allocated blocks before/after a repeated sweep: {blocks0} / {blocks1}")
        if blocks0 and blocks1 - blocks0 > 200:
            sweep.failures.append(f"{blocks1 - blocks0} blocks more after a repeated sweep")
    for name, count in sweep.tolerated.items():
        print(f"tolerated: {name}: {count} trials refused the model after a failed lookup")
    for f in sweep.failures[:50]:
        print("FINDING", f)
    if sweep.failures:
        print(f"sweep failed: {len(sweep.failures)} findings in {sweep.trials} trials")
        return 1
    print(f"sweep passed: {sweep.trials} trials in {time.perf_counter() - t0:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
