"""A short tour of the engine.

Starts the local instrument index (what `quorbel index serve` runs, a
MongoDB wire-protocol server on 127.0.0.1) holding 5,000 instruments of the
Shanghai and Shenzhen markets, creates a factor file,
writes a year of daily values (first one date at a time, then the same year
again as one batch), and reads a few instruments back.
"""

import logging
import os
import shutil
import tempfile
import time
import types

import numpy as np

import quorbel.detail as qd
from quorbel.index_server import IndexServer, demo_instruments, seed_collection

INSTRUMENTS = 5000
YEAR = (20230101, 20231231)


def value_items(ids, values):
    return [types.SimpleNamespace(order_book_id=i, value=float(v)) for i, v in zip(ids, values)]


def main():
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(message)s")
    workdir = tempfile.mkdtemp(prefix="quorbel-demo-")
    try:
        tour(os.path.join(workdir, "momentum_20d.h5"))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def tour(path):
    with IndexServer() as server:
        seed_collection(server.uri, demo_instruments(INSTRUMENTS))
        os.environ["QUORBEL_MONGODB_URI"] = server.uri
        qd._get_all_instrument_index.cache_clear()
        index = qd._get_all_instrument_index()
        ids = sorted(index, key=index.get)
        s, e = qd._get_date_section_index(*YEAR)
        dates = [qd._get_date_by_index(c, c)[0] for c in range(s, e)]
        print(f"instrument index  {len(index)} instruments from MongoDB, e.g. {ids[0]}, {ids[1]}, {ids[2]}")
        print(f"trading calendar  {len(qd.TRADING_DATES)} dates, {qd.TRADING_DATES[0]} to {qd.TRADING_DATES[-1]}")

        with qd.get_h5(path, write=True) as h5:
            data = h5["data"]
            print(f"factor file       {h5.filename}")
            print(f"matrix            {data.shape} {data.dtype}, chunks {data.chunks}, "
                  f"{data.compression} level {data.compression_opts}, fill {data.fillvalue}")

            rng = np.random.default_rng(2023)
            year = {d: rng.normal(size=len(ids)) for d in dates}
            started = time.perf_counter()
            for d in dates:
                qd.put_factor_value(h5, d, value_items(ids, year[d]))
            one_by_one = time.perf_counter() - started
            packs = [types.SimpleNamespace(date=d, values=value_items(ids, year[d])) for d in dates]
            started = time.perf_counter()
            qd.put_factor_packs(h5, packs)
            batch = time.perf_counter() - started
            cursor = int(data.attrs["cursor_col"])
            print(f"wrote {len(dates)} dates x {len(ids)} values: one date at a time {one_by_one:.1f} s, "
                  f"as one batch {batch:.1f} s; written up to {qd._get_date_by_index(cursor, cursor)[0]}")

        print(f"size on disk      {os.path.getsize(path) / 2**20:.1f} MiB")
        with qd.get_h5(path) as h5:
            wanted = [ids[0], ids[1], ids[2500], "NOT.LISTED"]
            print(f"read back over the last five trading dates of the year, {dates[-5]} to {dates[-1]}:")
            for order_book_id, row in qd.get_factor_value(h5, wanted, dates[-5], YEAR[1]):
                expected = np.array([year[d][index[order_book_id]] for d in dates[-5:]])
                assert np.array_equal(row, expected), order_book_id
                print(f"  {order_book_id:12s} {np.array2string(row, precision=4)}")
    print("every value read back equals what was written")


if __name__ == "__main__":
    main()
