"""Time FactorLibrary.read of many factors against a loop of read_panel.

Makes a library of engine-made factor files (get_h5's shape: instruments +
500 by dates + 250, every instrument and date filled) under a temporary
folder, with an injected calendar and instrument index, then reads every
instrument over the whole history (and over the last 250 dates) both ways:
one lib.read of all factors, and read_panel(..., as_numpy=True) per factor.
Reports the median wall and CPU time of each and checks that both read the same values.
Not a test; nothing asserts.

    PYTHONPATH=src python3 bench/library_reads.py [--factors 24] [--instruments 2000] [--dates 1250] [--runs 3]
"""

import argparse
import os
import statistics
import tempfile
import time

import numpy as np
import pandas as pd

import quorbel
import quorbel.detail as detail


def fill(path, instruments, dates, seed):
    rng = np.random.default_rng(seed)
    f = detail.create_new_factor_h5(path, (instruments + detail.EXPAND_INSTRUMENT_LENGTH,
                                           dates + detail.EXPAND_TRADING_DATE_LENGTH))
    try:
        step = 250
        for j in range(0, dates, step):
            width = min(step, dates - j)
            block = np.round(rng.normal(size=(instruments, width)), 4)
            block[rng.random(block.shape) < 0.03] = np.nan
            f["data"][:instruments, j:j + width] = block
        f["data"].attrs["cursor_col"] = dates - 1
    finally:
        f.close()


def timed(work, runs):
    """Median wall time, median CPU time of the process (all threads) and the last result."""
    times, cpu, result = [], [], None
    for _ in range(runs):
        result = None
        start, start_cpu = time.perf_counter(), time.process_time()
        result = work()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(times), statistics.median(cpu), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factors", type=int, default=24)
    parser.add_argument("--instruments", type=int, default=2000)
    parser.add_argument("--dates", type=int, default=1250)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    calendar = [int(d.strftime("%Y%m%d")) for d in pd.bdate_range("2010-01-04", periods=args.dates)]
    index = {f"I{r:05d}": r for r in range(args.instruments)}
    detail.get_all_trading_dates = lambda: calendar
    detail.TRADING_DATES = None
    detail._get_all_instrument_index = lambda: index
    ids = list(index)

    with tempfile.TemporaryDirectory() as root:
        start = time.perf_counter()
        for k in range(args.factors):
            fill(os.path.join(root, f"factor_{k:03d}.h5"), args.instruments, args.dates, k)
        lib = quorbel.FactorLibrary(root)
        names = lib.names()
        size = sum(os.path.getsize(lib.path(n)) for n in names)
        print(f"{len(names)} factors of {args.instruments} instruments x {args.dates} dates, "
              f"chunks {detail.get_h5(lib.path(names[0]))['data'].chunks}, {size / 2**20:.0f} MiB on disk, "
              f"made in {time.perf_counter() - start:.1f} s; {os.cpu_count()} cores")

        for label, first in [("full history", calendar[0]), ("last 250 dates", calendar[-min(250, len(calendar))])]:
            last = calendar[-1]

            def loop():
                return [quorbel.read_panel(lib.path(n), ids, first, last, as_numpy=True)[2] for n in names]

            def cube():
                return lib.read(names, ids, first, last)

            loop_time, loop_cpu, panels = timed(loop, args.runs)
            cube_time, cube_cpu, result = timed(cube, args.runs)
            same = all(np.array_equal(p, result.values[i], equal_nan=True) for i, p in enumerate(panels))
            cells = result.size
            del panels, result
            print(f"{label:<15} read_panel loop {loop_time * 1e3:7.0f} ms (cpu {loop_cpu * 1e3:5.0f})   "
                  f"lib.read {cube_time * 1e3:7.0f} ms (cpu {cube_cpu * 1e3:5.0f})   "
                  f"speed-up {loop_time / cube_time:5.2f}x   {cells / 1e6:.0f} M cells   same values: {same}")
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
