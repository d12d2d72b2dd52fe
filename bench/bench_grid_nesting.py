"""Cost of grids nested in grids: reading must stay linear in the input size.

Each level is a grid whose rows hold a few numbers and, in the last row, the next
grid. Finding a grid's end and estimating its rows both look at the index; done per
grid over everything it encloses, k nested grids would cost O(k^2). Prints the time
at 1x and 10x size and their ratio (about 10 when linear).

    .venv/bin/python bench/bench_grid_nesting.py
"""

import statistics
import time

import plav_core


def chain(levels: int, rows: int) -> bytes:
    head = "[: a, b; " + "; ".join(f"{i}, {i}" for i in range(rows)) + "; 0, "
    return (head * levels + "1" + " ]" * levels).encode()


def siblings(count: int, rows: int) -> bytes:
    inner = "[: x; " + "; ".join(str(i) for i in range(rows)) + " ]"
    return ("[: a; " + "; ".join(inner for _ in range(count)) + " ]").encode()


def median_ms(data: bytes, repeat: int = 7) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        plav_core.loads(data)
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def main() -> None:
    for name, small, large in [
        (
            "chain of nested grids (100 vs 1000 levels, 50 rows each)",
            chain(100, 50),
            chain(1000, 50),
        ),
        (
            "chain of nested grids (100 vs 1000 levels, 500 rows each)",
            chain(100, 500),
            chain(1000, 500),
        ),
        ("grids as cells (1000 vs 10000 inner grids)", siblings(1000, 20), siblings(10000, 20)),
    ]:
        a, b = median_ms(small), median_ms(large)
        print(
            f"{name}: {len(small) / 1e6:.2f} MB {a:.2f} ms, {len(large) / 1e6:.2f} MB "
            f"{b:.2f} ms, ratio {b / a:.1f} (size ratio {len(large) / len(small):.1f})"
        )


if __name__ == "__main__":
    main()
