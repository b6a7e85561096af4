"""Time get_factor_value over every instrument and the full history.

Compares the stream and quorbel.read_panel (the same rows as one DataFrame)
with reading the same rows one by one through the
handle's dataset view, which opens `data` with the library's default 1 MiB
chunk cache. Reports time per row and the read system calls (one per chunk
fetched and inflated) on Linux.

    PYTHONPATH=src python3 bench/range_reads.py [--rows 5800] [--cols 5550]
"""

import argparse
import os
import tempfile
import time

import numpy as np

import quorbel
import quorbel.detail as detail


def read_calls():
    try:
        with open("/proc/self/io") as f:
            return int(dict(line.split(": ") for line in f.read().splitlines())["syscr"])
    except OSError:
        return -1


def measure(label, rows, work):
    calls, start = read_calls(), time.perf_counter()
    work()
    seconds, calls = time.perf_counter() - start, read_calls() - calls
    print(f"{label:<28} {seconds * 1e3 / rows:8.3f} ms/row   {calls:>8} read calls")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=5800)
    parser.add_argument("--cols", type=int, default=5550)
    parser.add_argument("--read-rows", type=int, default=1000, help="rows the per-row baseline reads")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        f = detail.create_new_factor_h5(os.path.join(tmp, "bench.h5"), (args.rows, args.cols))
        rng = np.random.default_rng(0)
        start = time.perf_counter()
        step = 250
        for j in range(0, args.cols, step):
            width = min(step, args.cols - j)
            f["data"][:, j:j + width] = np.round(rng.normal(size=(args.rows, width)), 3)
        f.flush()
        print(f"matrix {args.rows} x {args.cols}, chunks {f['data'].chunks}, "
              f"written in {time.perf_counter() - start:.1f} s")

        detail._get_date_section_index = lambda s, e: (s, e)
        detail._get_all_instrument_index = lambda: {r: r for r in range(args.rows)}
        # read_panel labels its rows with the calendar's dates
        import pandas as pd

        detail.TRADING_DATES = [int(d.strftime("%Y%m%d")) for d in pd.bdate_range("2000-01-03", periods=args.cols)]
        detail._get_date_by_index = lambda s, e: (detail.TRADING_DATES[s], detail.TRADING_DATES[e])

        def stream():
            for _ in detail.get_factor_value(f, range(args.rows), 0, args.cols):
                pass

        def panel():
            quorbel.read_panel(f, range(args.rows), 0, args.cols)

        def default_cache():
            view = f["data"]
            for r in range(args.read_rows):
                view[r, :]

        measure("stream, all rows", args.rows, stream)
        measure("read_panel, all rows", args.rows, panel)
        measure("default cache, per row", args.read_rows, default_cache)
        f.close()


if __name__ == "__main__":
    main()
