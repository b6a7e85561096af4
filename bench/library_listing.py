"""Time `quorbel ls` of a large library: the span scan against the old full scan.

Makes a library of engine-shaped factor files (instruments + 500 rows by
calendar + 250 columns) whose values fill only the last few years of a long
calendar, as a library of a few years does in a calendar from 2005, then
lists it two ways:

- new: what `quorbel ls` does now, one span scan per file that stops at the
  first chunk column holding a value from each end (quorbel.cli_ls);
- old: what it did before, the layout and then every chunk of every file
  (_matrix_layout and _value_extent per file), on --old-sample files and
  scaled to the whole library.

Both must find the same first and last dates. Not a test; nothing asserts.
Timings on a shared machine are noisy: compare the two lines of one run.

    PYTHONPATH=src python3 bench/library_listing.py [--factors 1000] [--instruments 100] \\
        [--calendar 5343] [--held 750] [--old-sample 100] [--root DIR]
"""

import argparse
import os
import shutil
import tempfile
import time

import numpy as np
import pandas as pd

from common import use_source_tree

use_source_tree()

import quorbel.detail as detail  # noqa: E402
from quorbel import _extras, cli_ls  # noqa: E402
from quorbel.spans import date_of_column  # noqa: E402


def make_library(root, factors, instruments, calendar, held):
    rows, cols = instruments + detail.EXPAND_INSTRUMENT_LENGTH, len(calendar) + detail.EXPAND_TRADING_DATE_LENGTH
    rng = np.random.default_rng(0)
    block = np.round(rng.normal(size=(instruments, held)), 4)
    for k in range(factors):
        path = os.path.join(root, f"group_{k % 10}", f"factor_{k:04d}.h5")
        if os.path.exists(path):
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        f = detail.create_new_factor_h5(path, (rows, cols))
        try:
            f["data"][:instruments, len(calendar) - held:len(calendar)] = block + k
            f["data"].attrs["cursor_col"] = len(calendar) - 1
        finally:
            f.close()


def old_listing(root, names):
    """What `quorbel ls` did for each file before the span scan."""
    entries = []
    for name in names:
        path = os.path.join(root, *name.split("/")) + ".h5"
        layout = _extras._matrix_layout(path)
        extent = _extras._value_extent(path)
        entries.append((name, layout["rows"], date_of_column(extent["first"]), date_of_column(extent["last"])))
    return entries


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factors", type=int, default=1000)
    parser.add_argument("--instruments", type=int, default=100)
    parser.add_argument("--calendar", type=int, default=5343, help="trading dates in the calendar (2005 to 2026)")
    parser.add_argument("--held", type=int, default=750, help="the last dates holding values (three years)")
    parser.add_argument("--old-sample", type=int, default=100, help="files the old way reads, scaled to all")
    parser.add_argument("--root", help="keep the library here and reuse it on the next run")
    args = parser.parse_args()

    calendar = [int(d.strftime("%Y%m%d")) for d in pd.bdate_range("2005-01-04", periods=args.calendar)]
    detail.get_all_trading_dates = lambda: calendar
    detail.TRADING_DATES = None
    detail._get_all_instrument_index = lambda: {f"I{r:05d}": r for r in range(args.instruments)}

    root = args.root or tempfile.mkdtemp(prefix="quorbel-listing-")
    try:
        started = time.perf_counter()
        make_library(root, args.factors, args.instruments, calendar, args.held)
        size = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(root) for f in files)
        print(f"{args.factors} factors of {args.instruments} instruments, values on the last {args.held} of "
              f"{args.calendar} dates, {size / 2**20:.0f} MiB; ready in {time.perf_counter() - started:.1f} s; "
              f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}")

        started, cpu = time.perf_counter(), time.process_time()
        entries = cli_ls.factor_entries(root)
        new_seconds, new_cpu = time.perf_counter() - started, time.process_time() - cpu
        sample = [e["name"] for e in entries[:args.old_sample]]
        started = time.perf_counter()
        old = old_listing(root, sample)
        old_seconds = (time.perf_counter() - started) * len(entries) / max(len(sample), 1)
        same = all((e["first_value_date"], e["last_value_date"]) == (first, last)
                   for e, (_, _, first, last) in zip(entries, old))
        errors = sum("error" in e for e in entries)
        print(f"new (span scan)   {new_seconds:6.2f} s for {len(entries)} factors ({errors} errors), "
              f"{new_cpu:.2f} s of CPU")
        print(f"old (every chunk) {old_seconds:6.2f} s for {len(entries)} factors, from {len(sample)} read "
              f"({old_seconds / max(new_seconds, 1e-9):.0f}x the new); same dates: {same}")
        print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    finally:
        if not args.root:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
