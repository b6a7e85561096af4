"""The scenarios as a careful Python user writes them with h5py and NumPy and
their defaults: the file's own chunks (h5py's automatic ones), the default
chunk cache, one column read-modify-write and flush per date, one row read
per instrument, and a rewrite that reads everything and writes it into a new
file made with the same settings."""

import bisect
import os

import h5py
import numpy as np

NAME = "baseline"

# Empty unless the run asks for another chunk cache than h5py's default.
file_options = {}


def prepare(market, options):
    if options.get("baseline_cache_bytes"):
        file_options["rdcc_nbytes"] = options["baseline_cache_bytes"]
    _, slots, nbytes, _ = h5py.h5p.create(h5py.h5p.FILE_ACCESS).get_cache()
    nbytes = file_options.get("rdcc_nbytes", nbytes)
    return {"chunk_cache_bytes": nbytes, "hdf5": h5py.version.hdf5_version, "h5py": h5py.version.version}


def open_factor(path, mode):
    return h5py.File(path, mode, **file_options)


def column_of(calendar, date):
    col = bisect.bisect_left(calendar, date)
    if col == len(calendar) or calendar[col] != date:
        raise KeyError(f"{date} is not a trading date")
    return col


def rows_and_values(index, items):
    listed = [(index[item.order_book_id], item.value) for item in items if item.order_book_id in index]
    rows = np.fromiter((row for row, _ in listed), dtype=np.int64, count=len(listed))
    values = np.fromiter((value for _, value in listed), dtype=np.float64, count=len(listed))
    return rows, values


def write_date(data, col, index, items):
    """One read-modify-write of the date's column."""
    if col >= data.shape[1]:
        data.resize((data.shape[0], col + 250))
    rows, values = rows_and_values(index, items)
    column = data[:, col]
    column[rows] = values
    data[:, col] = column
    if col > data.attrs.get("cursor_col", -1):
        data.attrs["cursor_col"] = np.int64(col)


def put_value(path, market, date, items):
    col = column_of(market.calendar, date)
    with open_factor(path, "r+") as f:
        write_date(f["data"], col, market.index, items)
        f.flush()


def put_packs(path, market, packs):
    with open_factor(path, "r+") as f:
        data = f["data"]
        for pack in packs:
            write_date(data, column_of(market.calendar, pack.date), market.index, pack.values)
            f.flush()


def read(path, market, ids, start_date, end_date):
    first = bisect.bisect_left(market.calendar, start_date)
    end = bisect.bisect_right(market.calendar, end_date)
    with open_factor(path, "r") as f:
        data = f["data"]
        for order_book_id in ids:
            row = market.index.get(order_book_id)
            if row is not None:
                yield order_book_id, data[row, first:end]


def rewrite(path, market):
    with open_factor(path, "r") as old:
        data = old["data"]
        matrix = data[...]
        attributes = {name: data.attrs[name] for name in data.attrs}
        settings = dict(dtype=data.dtype, chunks=data.chunks, maxshape=data.maxshape, fillvalue=data.fillvalue,
                        compression=data.compression, compression_opts=data.compression_opts)
    fresh = path + ".new"
    with h5py.File(fresh, "w-") as new:
        copy = new.create_dataset("data", data=matrix, **settings)
        for name, value in attributes.items():
            copy.attrs[name] = value
    os.replace(fresh, path)


def read_block(path, cols):
    with open_factor(path, "r") as f:
        return f["data"][:, cols.start:cols.stop]
