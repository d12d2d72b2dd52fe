"""Small calls beside a CPU-bound thread: does any call wait for the GIL?

A thread runs pure Python arithmetic for the whole run. The main thread times
2,000 calls each of loads and dumps on small inputs (under 1 KB), plav beside
orjson, and prints the median call, the worst call and the total. A call that
gives up the GIL hands it to the busy thread, which may keep it for a whole
switch interval (sys.getswitchinterval(), 5 ms by default): that shows as a worst
call of milliseconds. The timer brackets the call alone (see run); the waits
between calls (the busy thread's turns) are not counted.

On a loaded host the operating system also takes the CPU away in the middle of
calls, for any library. So the table also counts the calls during which the busy
thread ran ("handed over": the call gave up the GIL), and the calls over 1 ms in
which the thread waited of its own accord ("blocked", from getrusage's voluntary
context switches) rather than being switched out by the scheduler.

    .venv/bin/python bench/bench_convoy.py [--calls N] [--rounds R]
"""

import argparse
import resource
import sys
import threading
import time
from itertools import count, starmap
from operator import call

from _common import SMALL_MESSAGE, commit, cpu_flags, orjson

import plav

SMALL_DOC = b'{"id": "call_17", "name": "get_weather", "arguments": {"city": "Paris", "days": 3}}'
MEDIUM_DOC = b"[" + b",".join(b'{"k": [1, 2.5, "v%d"]}' % i for i in range(40)) + b"]"


def busy(stop, counter):
    x = 0
    for i in counter:  # the count moves only while this thread holds the GIL
        x += i * i
        if not i & 0x3FF and stop.is_set():
            break


def run(fn, arg, calls, counter):
    """Per call: (seconds, voluntary switches, whether the busy thread ran).

    The clock, a look at the busy thread's count, the call, the count and the
    clock again run as one chain of C calls (itertools.starmap over
    operator.call), with no bytecode between them: the interpreter hands the GIL
    to a waiting thread only between bytecodes, so the count can move, and a wait
    for the GIL can fall in the timed window, only if the call gives up the GIL.
    """
    chain = [
        (time.perf_counter,),
        (repr, counter),
        (fn, arg),
        (repr, counter),
        (time.perf_counter,),
    ]
    usage = resource.getrusage
    who = resource.RUSAGE_THREAD
    out = []
    for _ in range(calls):
        before = usage(who).ru_nvcsw
        start, seen, _, seen_after, end = list(starmap(call, chain))
        out.append((end - start, usage(who).ru_nvcsw - before, seen != seen_after))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=1, help="repeat the whole run R times")
    args, _ = ap.parse_known_args()  # `./dev.sh bench` passes every script the same options

    cases = [
        ("plav.loads", plav.loads, SMALL_DOC),
        ("plav.loads", plav.loads, MEDIUM_DOC),
        ("plav.dumps", plav.dumps, SMALL_MESSAGE),
    ]
    if orjson:
        cases[1:1] = [
            ("orjson.loads", orjson.loads, SMALL_DOC),
            ("orjson.loads", orjson.loads, MEDIUM_DOC),
        ]
        cases.append(("orjson.dumps", orjson.dumps, SMALL_MESSAGE))
    print(
        f"commit {commit()}  cpu flags: {cpu_flags()}  switch interval "
        f"{sys.getswitchinterval() * 1e3:g} ms  {args.calls} calls per row, a CPU-bound "
        "thread alongside"
    )
    print(
        f"{'call':<14}{'input B':>9}{'median us':>11}{'worst us':>10}{'total ms':>10}"
        f"{'> 1 ms':>8}{'blocked':>9}{'handed over':>13}"
    )
    worst = {}  # library: worst call
    for _ in range(args.rounds):
        stop, counter = threading.Event(), count()
        thread = threading.Thread(target=busy, args=(stop, counter), daemon=True)
        thread.start()
        try:
            for name, fn, arg in cases:
                size = len(arg) if isinstance(arg, bytes) else len(plav.dumps(arg).encode())
                calls = run(fn, arg, args.calls, counter)
                times = sorted(t for t, _, _ in calls)
                slow = [c for c in calls if c[0] > 1e-3]
                blocked = sum(1 for _, vol, _ in slow if vol)
                handed = sum(1 for _, _, ran in calls if ran)
                lib = name.split(".")[0]
                worst[lib] = max(worst.get(lib, 0.0), times[-1])
                print(
                    f"{name:<14}{size:>9}{times[len(times) // 2] * 1e6:>11.2f}"
                    f"{times[-1] * 1e6:>10.1f}{sum(times) * 1e3:>10.2f}{len(slow):>8}"
                    f"{blocked:>9}{handed:>13}"
                )
        finally:
            stop.set()
            thread.join()
    for lib, w in worst.items():
        print(f"{lib}: worst call {w * 1e6:.1f} us (limit 1000 us)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
