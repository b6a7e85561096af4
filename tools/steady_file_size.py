"""File size in steady daily use against the same data compacted.

Writes a history of HISTORY dates for 5,300 instruments (listings spread over
the years, about 3% scattered NaN), compacts it with rewrite_factor, then
writes DAILY more dates one per session (open for writing, put_factor_value,
close), and compares the file with a compacted copy of it.

    python3 tools/steady_file_size.py [HISTORY [DAILY]]    # default 3000 400
"""

import os
import shutil
import sys
import tempfile
import time
import types

import numpy as np

import quorbel.detail as d

INSTRUMENTS = 5300


def main():
    history = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    daily = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    calendar = list(range(20000000, 20000000 + history + daily))
    ids = [f"S{i}" for i in range(INSTRUMENTS)]
    index = {k: i for i, k in enumerate(ids)}
    d._get_all_instrument_index = lambda: index
    d.get_all_trading_dates = lambda: calendar
    d.TRADING_DATES = None
    rng = np.random.default_rng(1)
    listing = rng.integers(0, history + daily, size=INSTRUMENTS)

    def values(j):
        v = rng.normal(size=INSTRUMENTS)
        v[listing > j] = np.nan
        v[rng.random(INSTRUMENTS) < 0.03] = np.nan
        return [types.SimpleNamespace(order_book_id=k, value=float(x)) for k, x in zip(ids, v)]

    workdir = tempfile.mkdtemp(prefix="quorbel-steady-")
    path = os.path.join(workdir, "factor.h5")
    try:
        with d.get_h5(path, True) as h5:
            for start in range(0, history, 250):
                d.put_factor_packs(h5, [types.SimpleNamespace(date=calendar[j], values=values(j))
                                        for j in range(start, min(history, start + 250))])
        d.rewrite_factor(path)
        sessions = []
        for j in range(history, history + daily):
            items = values(j)
            started = time.perf_counter()
            with d.get_h5(path, True) as h5:
                d.put_factor_value(h5, calendar[j], items)
            sessions.append(time.perf_counter() - started)
        compacted = path + ".compacted"
        shutil.copy(path, compacted)
        d.rewrite_factor(compacted)
        size, compact = os.path.getsize(path), os.path.getsize(compacted)
        print(f"{history} dates compacted, then {daily} daily sessions: {size / 2**20:.1f} MiB, "
              f"compacted {compact / 2**20:.1f} MiB, {100 * (size / compact - 1):.1f}% more; "
              f"median session {1000 * float(np.median(sessions)):.0f} ms")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
