"""One engine operation in a process of its own, on a file system that runs
out of space: the child of tests/test_storage_faults.py.

    python full_disk_child.py '{"op": "put_value", "path": ..., "column": 5, "file_size_limit": 4096}'

`file_size_limit`, when given, is RLIMIT_FSIZE: the bytes the file at `path`
may still grow by (for "create" and "rewrite", the size the new file may
reach); writes beyond it fail with EFBIG, as writes to a full disk fail with
ENOSPC. Prints one JSON line: the error the operation raised (kind, errno,
text) or none, and how many HDF5 identifiers were still open once every
handle had been closed.
"""

import json
import os
import resource
import sys
import types

ROWS = 3000
COLUMNS = 300
CALENDAR = [20000101 + i for i in range(COLUMNS)]
INDEX = {f"I{i}": i for i in range(ROWS)}

# The market-data client is not needed: the calendar is injected below.
sys.modules["dravolc"] = types.ModuleType("dravolc")
sys.modules["dravolc"].init = lambda: None
sys.modules["dravolc"].get_trading_dates = lambda start, end: []

import numpy as np  # noqa: E402

import quorbel.detail as detail  # noqa: E402
from quorbel import _diagnostics  # noqa: E402

detail.get_all_trading_dates = lambda: CALENDAR
detail.TRADING_DATES = None
detail._get_all_instrument_index = lambda: INDEX
open_factor = detail.get_h5.__wrapped__  # without the retry wrapper's pauses


def column_values(column):
    """The values of date column `column`, the same in every process."""
    return np.random.default_rng(column).normal(size=ROWS)


def items(column):
    return [types.SimpleNamespace(order_book_id=k, value=float(v)) for k, v in zip(INDEX, column_values(column))]


def packs(columns):
    return [types.SimpleNamespace(date=CALENDAR[c], values=items(c)) for c in columns]


def limit_file_size(job, new_file=False):
    if job.get("file_size_limit") is None:
        return
    start = 0 if new_file else os.path.getsize(job["path"])
    limit = start + job["file_size_limit"]
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))


def space_returns(job):
    if job.get("filler"):
        os.remove(job["filler"])
    hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
    resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))


def run(job, handles):
    op, path, column = job["op"], job["path"], job.get("column")
    if op == "seed":  # a factor file with the dates `columns` written
        with detail.create_new_factor_h5(path, (ROWS, COLUMNS)) as h5:
            detail.put_factor_packs(h5, packs(job["columns"]))
        return
    if op == "create":
        limit_file_size(job, new_file=True)
        handles.append(detail.create_new_factor_h5(path, (ROWS, COLUMNS)))
        return
    if op == "open_for_writing":  # get_h5 with its retries, without their pauses
        import time

        time.sleep = lambda seconds: None
        limit_file_size(job, new_file=True)
        handles.append(detail.get_h5(path, True))
        return
    if op == "rewrite":
        limit_file_size(job, new_file=True)
        detail.rewrite_factor(path)
        return
    h5 = open_factor(path, True, 0, 1)
    handles.append(h5)
    limit_file_size(job)
    if op == "put_value":
        detail.put_factor_value(h5, CALENDAR[column], items(column))
    elif op == "put_packs":
        detail.put_factor_packs(h5, packs(range(column, column + job.get("count", 3))))
    elif op == "view_write_flush":  # through the handle's matrix view, then the handle's flush
        h5["data"][:, column] = column_values(column)
        h5.flush()
    elif op == "attribute_flush":  # a change held in HDF5's metadata cache until the flush
        h5["data"].attrs["note"] = "x" * 20000
        h5.flush()
    elif op == "view_changes_after_a_failed_one":
        # Each change is tried on the full disk, then again once space has
        # returned; the errors (or None) are reported in that order.
        report = []
        for attempt in ("full", "full", "space"):
            if attempt == "space":
                space_returns(job)
            try:
                h5["data"].attrs["note"] = "x" * 20000
                h5["data"][:, column] = column_values(column)
                report.append(None)
            except OSError as e:
                report.append(e.errno)
        print(json.dumps({"attempts": report}), flush=True)
    elif op == "write_after_space_returns":
        # The first write may fit the chunks' slots and succeed; when it fails
        # it is undone, and the same handle writes again once space returns.
        try:
            detail.put_factor_value(h5, CALENDAR[column], items(column))
        except OSError:
            pass
        space_returns(job)
        later = job["later_column"]
        detail.put_factor_value(h5, CALENDAR[later], items(later))
    else:
        raise ValueError(op)


def main():
    job = json.loads(sys.argv[1])
    handles, report = [], {"error": None}
    try:
        run(job, handles)
    except Exception as e:  # noqa: BLE001 - the parent judges the kind
        report["error"] = {"kind": type(e).__name__, "is_oserror": isinstance(e, OSError),
                           "errno": getattr(e, "errno", None), "text": str(e)}
    if job.get("space_returns_before_close"):
        space_returns(job)
    for h5 in handles:
        h5.close()
    report["left_open"] = _diagnostics.open_hdf5_objects()
    print(json.dumps(report), flush=True)
    if report["left_open"]:
        # Known HDF5 1.10.8 defect: after a failed H5Fflush the file cannot be
        # closed, and HDF5's exit handler then crashes on it (SIGSEGV). The
        # report is out; leave without running that handler.
        os._exit(0)


if __name__ == "__main__":
    main()
