"""Tidy tables of many factors: one row per (date, instrument), one column per
factor, as pyarrow, polars or pandas, for FactorLibrary.read_table.

The table is made from the cube of an eager read (factor x date x
instrument, C order) with NumPy alone: a factor's column is its slice of the
cube flattened (a view when no row is left out), the date and instrument
columns are positions into the short lists of dates and ids. Arrow takes the
float columns without copying them; polars takes the Arrow table as it is.
"""

from __future__ import annotations

import numpy as np

from .eager_reads import _read_arguments, _read_cube

__all__ = ["FORMATS", "read_table"]

FORMATS = ("arrow", "polars", "pandas")
DATE, INSTRUMENT = "date", "order_book_id"
# The most text one chunk of the order_book_id column holds: an Arrow string
# array's offsets are 32-bit.
STRING_CHUNK_BYTES = 2**31 - 1


def _format_argument(format) -> str:
    if not isinstance(format, str):
        raise TypeError(f"format must be one of {', '.join(map(repr, FORMATS))}, not {type(format).__name__}")
    if format not in FORMATS:
        raise ValueError(f"format {format!r} is none of {', '.join(map(repr, FORMATS))}")
    return format


def _import_frames(format: str):
    """pyarrow (and polars for format "polars"); ImportError naming the extra."""
    try:
        import pyarrow
        polars = None
        if format == "polars":
            import polars
    except ImportError as e:
        raise ImportError(f"read_table(format={format!r}) needs pyarrow and polars: install quorbel[frames]") from e
    return pyarrow, polars


def _days(codes: list) -> np.ndarray:
    """Date codes as datetime64[D]."""
    text = [f"{c // 10000:04d}-{c // 100 % 100:02d}-{c % 100:02d}" for c in codes]
    return np.array(text, dtype="datetime64[D]").reshape(len(codes))


def _kept_cells(cube: np.ndarray, dropna: bool):
    """Positions in a factor's flattened (date x instrument) slice of the rows
    the table keeps; None for every row."""
    if not dropna:
        return None
    kept = np.zeros(cube.shape[1:], dtype=bool)
    for values in cube:  # one date x instrument slice at a time: no factor-sized temporaries
        np.logical_or(kept, ~np.isnan(values), out=kept)
    return np.flatnonzero(kept)


def _columns(cube: np.ndarray, dates: list, ids: list, dropna: bool):
    """(date positions, instrument positions, one float64 array per factor) of the table's rows."""
    factors, count_dates, count_ids = cube.shape
    cells = _kept_cells(cube, dropna)
    if cells is None:
        date_at = np.repeat(np.arange(count_dates, dtype=np.intp), count_ids)
        id_at = np.tile(np.arange(count_ids, dtype=np.intp), count_dates)
        values = [cube[f].reshape(-1) for f in range(factors)]
    else:
        date_at, id_at = np.divmod(cells, max(count_ids, 1))
        values = [cube[f].reshape(-1)[cells] for f in range(factors)]
    return date_at, id_at, values


def _arrow_table(pa, names, dates, ids, date_at, id_at, values):
    date_column = pa.array(_days(dates)[date_at], type=pa.date32())
    # Built from the ids once each: Arrow's take copies the text, with no
    # Python string per row. A string array addresses 2 GiB of text, so a
    # longer column is made of several.
    distinct = pa.array(list(ids), type=pa.string())
    longest = max((len(i.encode("utf-8")) for i in ids), default=0)
    per_chunk = max(1, STRING_CHUNK_BYTES // max(longest, 1))
    id_column = pa.chunked_array(
        [distinct.take(pa.array(id_at[i:i + per_chunk], type=pa.int64())) for i in range(0, len(id_at), per_chunk)],
        type=pa.string())
    # NaN is the engine's "no value"; Arrow says it with null, which its
    # aggregates (and polars') skip where a NaN would spread.
    columns = [pa.array(v, type=pa.float64(), from_pandas=True) for v in values]
    return pa.Table.from_arrays([date_column, id_column, *columns], names=[DATE, INSTRUMENT, *names])


def _pandas_frame(names, dates, ids, date_at, id_at, values):
    import pandas as pd

    frame = {DATE: _days(dates)[date_at].astype("datetime64[ns]"),
             INSTRUMENT: np.asarray(list(ids), dtype=object)[id_at]}
    frame.update(zip(names, values))
    return pd.DataFrame(frame, copy=False)


def read_table(root: str, names, ids, start, end, check: bool, format: str, dropna: bool, as_of=None):
    """The tidy table of a read (see FactorLibrary.read_table)."""
    from .history_reads import as_of_time, read_cube_with_history, widened

    format = _format_argument(format)
    if format != "pandas":
        pa, pl = _import_frames(format)
    as_of = as_of_time(root, as_of)
    widen = None if as_of is None else widened(as_of)
    names, paths, id_list, rows, start, end = _read_arguments(root, names, ids, start, end, widen=widen)
    reserved = [n for n in names if n in (DATE, INSTRUMENT)]
    if reserved:
        raise ValueError(f"factor {reserved[0]!r} has the name of the table's own column {reserved[0]!r}; "
                         "read it with read() instead, or rename its file")
    if as_of is None:
        dates, cube = _read_cube(paths, rows, start, end, bool(check))
    else:
        dates, cube, _ = read_cube_with_history(names, paths, rows, start, end, bool(check), False, as_of, False)
    date_at, id_at, values = _columns(cube, dates, id_list, bool(dropna))
    if format == "pandas":
        return _pandas_frame(names, dates, id_list, date_at, id_at, values)
    table = _arrow_table(pa, names, dates, id_list, date_at, id_at, values)
    return table if format == "arrow" else pl.from_arrow(table)
