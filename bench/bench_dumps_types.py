"""dumps of datetimes, dates, UUIDs, Enums and Decimals against orjson and msgspec.

Each case is a list of 10,000 values (or of records holding them), written by every
library on the same objects, interleaved; the median of the repeats is reported per
value, with the ratio of each peer's time to plav's (above 1: plav is faster).
orjson writes no Decimal; such cells show "-".

    .venv/bin/python bench/bench_dumps_types.py [--repeat N]
"""

import argparse
import datetime as dt
import decimal
import enum
import gc
import platform
import random
import time
import uuid

from _common import commit, cpu_flags, msgspec, orjson

import plav

N = 10_000


class Status(enum.Enum):
    OPEN = "open"
    CLOSED = "closed"


def cases():
    r = random.Random(1)
    ist = dt.timezone(dt.timedelta(hours=5, minutes=30))

    def when():
        return dt.datetime(
            2026,
            1 + r.randrange(12),
            1 + r.randrange(28),
            r.randrange(24),
            r.randrange(60),
            r.randrange(60),
            r.randrange(10**6),
        )

    return {
        "datetime, naive": [when() for _ in range(N)],
        "datetime, aware": [when().replace(tzinfo=ist) for _ in range(N)],
        "date": [when().date() for _ in range(N)],
        "time": [when().time() for _ in range(N)],
        "UUID": [uuid.UUID(int=r.getrandbits(128)) for _ in range(N)],
        "Enum": [r.choice(list(Status)) for _ in range(N)],
        "Decimal": [decimal.Decimal(r.randrange(10**7)).scaleb(-2) for _ in range(N)],
        "records": [
            {
                "id": uuid.UUID(int=r.getrandbits(128)),
                "at": when(),
                "status": r.choice(list(Status)),
                "n": i,
            }
            for i in range(N)
        ],
    }


def writers():
    found = [("plav", plav.dumps)]
    if orjson is not None:
        found.append(("orjson", orjson.dumps))
    if msgspec is not None:
        found.append(("msgspec", msgspec.json.Encoder().encode))
    return found


def median_time(fn, data, number, repeat):
    samples = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        for _ in range(number):
            fn(data)
        samples.append((time.perf_counter() - start) / number)
    return sorted(samples)[len(samples) // 2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args, _ = parser.parse_known_args()  # ./dev.sh bench passes every script its options
    print(
        f"python {platform.python_version()}  plav {plav.__version__} ({plav.__simd__})  "
        f"commit {commit()}  cpu flags: {cpu_flags()}"
    )
    libs = writers()
    names = [name for name, _ in libs]
    header = f"{'case':18}" + "".join(f"{n + ' ns':>14}" for n in names)
    header += "".join(f"{n + '/plav':>14}" for n in names[1:])
    print(header)
    for case, data in cases().items():
        times = {}
        for name, fn in libs:
            try:
                fn(data)
            except TypeError:
                continue
            times[name] = median_time(fn, data, 5, args.repeat) / N * 1e9
        row = f"{case:18}" + "".join(
            f"{times[n]:>14.0f}" if n in times else f"{'-':>14}" for n in names
        )
        row += "".join(
            f"{times[n] / times['plav']:>14.2f}" if n in times else f"{'-':>14}" for n in names[1:]
        )
        print(row)


if __name__ == "__main__":
    main()
