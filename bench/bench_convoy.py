"""Small calls beside a CPU-bound thread: does any call wait for the GIL?

A thread runs pure Python arithmetic for the whole run. The main thread times
2,000 calls each of loads and dumps on small inputs (under 1 KB), plav beside
orjson, and prints the median call, the worst call and the total. A call that
gives up the GIL hands it to the busy thread, which may keep it for a whole
switch interval (sys.getswitchinterval(), 5 ms by default): that shows as a worst
call of milliseconds. The timer brackets the call alone; the waits between calls
(the busy thread's turns) are not counted.

    .venv/bin/python bench/bench_convoy.py [--calls N] [--rounds R]
"""

import argparse
import sys
import threading
import time

from _common import SMALL_MESSAGE, commit, cpu_flags, orjson

import plav

SMALL_DOC = b'{"id": "call_17", "name": "get_weather", "arguments": {"city": "Paris", "days": 3}}'
MEDIUM_DOC = b"[" + b",".join(b'{"k": [1, 2.5, "v%d"]}' % i for i in range(40)) + b"]"


def busy(stop):
    x = 0
    while not stop.is_set():
        for i in range(1000):
            x += i * i


def run(fn, arg, calls):
    clock = time.perf_counter
    times = []
    for _ in range(calls):
        start = clock()
        fn(arg)
        times.append(clock() - start)
    return times


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
        f"{'calls > 1 ms':>14}"
    )
    worst_plav = 0.0
    for _ in range(args.rounds):
        stop = threading.Event()
        thread = threading.Thread(target=busy, args=(stop,), daemon=True)
        thread.start()
        try:
            for name, fn, arg in cases:
                size = len(arg) if isinstance(arg, bytes) else len(plav.dumps(arg).encode())
                times = sorted(run(fn, arg, args.calls))
                if name.startswith("plav"):
                    worst_plav = max(worst_plav, times[-1])
                slow = sum(t > 1e-3 for t in times)
                print(
                    f"{name:<14}{size:>9}{times[len(times) // 2] * 1e6:>11.2f}"
                    f"{times[-1] * 1e6:>10.1f}{sum(times) * 1e3:>10.2f}{slow:>14}"
                )
        finally:
            stop.set()
            thread.join()
    print(f"worst plav call: {worst_plav * 1e6:.1f} us (limit 1000 us)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
