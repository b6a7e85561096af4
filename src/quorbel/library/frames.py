"""Frames and cubes made into blocks: the arrays that the engine's block
write takes (``detail._put_factor_block``), for ``FactorLibrary.write_frame``
and ``write_cube``.

A block holds a factor's dates (codes, sorted), its instruments and its
values: dense for a wide frame or a cube (a dates x instruments matrix whose
every cell is written, NaN included) or sparse for a long frame (per date,
the (instrument, value) pairs it has). Nothing here makes a Python object
per cell: labels are converted once each, values as whole arrays.

Duplicate dates, or an instrument twice on one date, are refused here,
naming them, before any file is touched: which of two values was meant is
the caller's to say, never a silent last-wins.
"""

from __future__ import annotations

import sys
from collections.abc import Mapping
from typing import Any

import numpy as np

from .arguments import date_code

# The columns of a long frame.
DATE, INSTRUMENT, VALUE = "date", "order_book_id", "value"
# Duplicates named in an error, at most.
NAMED_AT_MOST = 5


class Block:
    """One factor's dates, instruments and values, ready for the engine.

    `values` may be a view into the caller's frame or cube; `order`, when
    given, sorts its dates and is applied only when the block is written, so
    that blocks of many factors do not all hold a sorted copy at once.
    """

    __slots__ = ("dates", "ids", "values", "positions", "offsets", "order")

    def __init__(self, dates, ids, values, positions=None, offsets=None, order=None):
        self.dates, self.ids, self.values = dates, ids, values
        self.positions, self.offsets, self.order = positions, offsets, order

    def __len__(self):
        return len(self.dates)

    def arguments(self) -> tuple:
        """(dates, ids, values, positions, offsets) as the engine takes them."""
        values = np.asarray(self.values, dtype=np.float64)
        if self.order is not None:
            values = values[self.order]
        return self.dates, self.ids, values, self.positions, self.offsets


# ---- labels ---------------------------------------------------------------------


def _codes_of_labels(labels, where: str) -> np.ndarray:
    """The date codes of an array of dates, each distinct label converted once."""
    labels = np.asarray(labels)
    if labels.dtype.kind == "M":
        labels = labels.astype("datetime64[D]")
        if np.isnat(labels).any():
            raise ValueError(f"{where}: a date is missing (NaT)")
    if labels.dtype == object:
        import pandas

        inverse, distinct = pandas.factorize(labels)
        if (inverse < 0).any():
            raise ValueError(f"{where}: a date is missing (None or NaN)")
    else:
        distinct, inverse = np.unique(labels, return_inverse=True)
    codes = np.array([date_code(label, f"{where}: date") for label in distinct], dtype=np.int64)
    return codes[inverse.reshape(-1)] if len(codes) else np.zeros(0, dtype=np.int64)


def _instruments(labels, where: str) -> list:
    instruments = list(labels)
    for label in instruments:
        if not isinstance(label, str):
            raise TypeError(f"{where}: order_book_id {label!r} is {type(label).__name__}, not str")
    return instruments


def _refuse_repeats(labels: list, where: str, what: str) -> None:
    seen, repeated = set(), []
    for label in labels:
        if label in seen and label not in repeated:
            repeated.append(label)
        seen.add(label)
    if repeated:
        shown = ", ".join(repr(label) for label in repeated[:NAMED_AT_MOST])
        more = f" and {len(repeated) - NAMED_AT_MOST} more" if len(repeated) > NAMED_AT_MOST else ""
        raise ValueError(f"{where}: {what} given more than once: {shown}{more}; "
                         f"each may appear once, say which value is meant")


def _float_matrix(values, where: str) -> np.ndarray:
    """Values as float64 by the writers' rule (None is NaN, numeric text is
    parsed, bool is 0 or 1); a value without one is named."""
    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        pass
    flat = np.asarray(values, dtype=object).reshape(-1)
    for value in flat:
        try:
            float(np.nan if value is None else value)
        except (TypeError, ValueError) as error:
            raise type(error)(f"{where}: value {value!r} is no number") from None
    return np.array([np.nan if v is None else float(v) for v in flat]).reshape(np.shape(values))


def _dense(codes: np.ndarray, ids: list, values, where: str) -> Block:
    _refuse_repeats(ids, where, "instruments")
    _refuse_repeats(codes.tolist(), where, "dates")
    order = np.argsort(codes, kind="stable")
    if (np.diff(order) == 1).all():
        order = None
    dates = codes.tolist() if order is None else codes[order].tolist()
    return Block(dates, ids, values, order=order)


def _sparse(codes: np.ndarray, id_codes: np.ndarray, ids: list, values: np.ndarray, where: str) -> Block:
    """A long frame's rows, sorted by date (stable within a date), with a
    repeated (date, instrument) refused."""
    order = np.lexsort((id_codes, codes))
    codes, id_codes, values = codes[order], id_codes[order], values[order]
    same = (codes[1:] == codes[:-1]) & (id_codes[1:] == id_codes[:-1])
    if same.any():
        pairs = list(dict.fromkeys((int(codes[i]), ids[id_codes[i]]) for i in np.flatnonzero(same)))
        shown = ", ".join(f"{instrument!r} on {day}" for day, instrument in pairs[:NAMED_AT_MOST])
        more = f" and {len(pairs) - NAMED_AT_MOST} more" if len(pairs) > NAMED_AT_MOST else ""
        raise ValueError(f"{where}: an instrument appears more than once on one date: {shown}{more}; "
                         f"each may appear once a date, say which value is meant")
    dates, starts = np.unique(codes, return_index=True)
    offsets = np.append(starts, len(codes)).astype(np.int64)
    return Block(dates.tolist(), ids, np.ascontiguousarray(values), id_codes.astype(np.int64), offsets)


# ---- frames ---------------------------------------------------------------------


def _is_long(columns) -> bool:
    return INSTRUMENT in columns and VALUE in columns


def frame_block(frame: Any, where: str) -> Block:
    """The block of a wide or long frame (pandas or polars DataFrame, pyarrow Table)."""
    kind = type(frame).__module__.split(".")[0]
    block = None
    if kind == "pandas" and type(frame).__name__ == "DataFrame":
        block = _pandas_block(frame, where)
    elif kind == "polars" and type(frame).__name__ == "DataFrame":
        block = _arrow_block(frame.to_arrow(), where)
    elif kind == "pyarrow" and type(frame).__name__ == "Table":
        block = _arrow_block(frame, where)
    if block is not None:
        if not len(block):
            raise ValueError(f"{where}: the frame holds no dates to write")
        return block
    raise TypeError(f"{where}: a frame must be a pandas or polars DataFrame or a pyarrow Table, "
                    f"not {type(frame).__name__}")


def _pandas_block(frame, where: str) -> Block:
    import pandas

    if _is_long(frame.columns):
        if DATE not in frame.columns:
            raise ValueError(f"{where}: a long frame needs the columns {DATE!r}, {INSTRUMENT!r} and {VALUE!r}")
        id_codes, ids = pandas.factorize(frame[INSTRUMENT])
        if (id_codes < 0).any():
            raise ValueError(f"{where}: an order_book_id is missing (None or NaN)")
        try:
            values = frame[VALUE].to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            values = _float_matrix(frame[VALUE].to_numpy(dtype=object), where)
        return _sparse(_codes_of_labels(frame[DATE].to_numpy(), where), id_codes, _instruments(ids, where),
                       values, where)
    ids = _instruments(frame.columns, where)
    if all(isinstance(dtype, np.dtype) and dtype == np.float64 for dtype in frame.dtypes):
        values = frame.to_numpy()  # one float64 block: a view, no copy
    else:
        try:  # numbers of any width, nullable types, numeric text
            values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            values = _float_matrix(frame.to_numpy(dtype=object), where)
    return _dense(_codes_of_labels(frame.index.to_numpy(), where), ids, values, where)


def _arrow_block(table, where: str) -> Block:
    import pyarrow
    import pyarrow.compute as compute

    names = table.column_names
    if DATE not in names:
        raise ValueError(f"{where}: a polars or pyarrow frame needs a {DATE!r} column")

    def floats(column):
        try:
            return compute.cast(column, pyarrow.float64()).to_numpy(zero_copy_only=False)
        except (pyarrow.ArrowInvalid, pyarrow.ArrowNotImplementedError) as error:
            raise ValueError(f"{where}: values that are no numbers: {error}") from None

    codes = _codes_of_labels(_arrow_labels(table.column(DATE)), where)
    if _is_long(names):
        encoded = table.column(INSTRUMENT).combine_chunks().dictionary_encode()
        if encoded.null_count:
            raise ValueError(f"{where}: an order_book_id is missing (null)")
        ids = _instruments(encoded.dictionary.to_pylist(), where)
        return _sparse(codes, encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64), ids,
                       floats(table.column(VALUE)), where)
    ids = _instruments([name for name in names if name != DATE], where)
    values = np.empty((table.num_rows, len(ids)), dtype=np.float64)
    for position, name in enumerate(ids):
        values[:, position] = floats(table.column(name))
    return _dense(codes, ids, values, where)


def _arrow_labels(column):
    """A date column as NumPy: dates and timestamps as datetime64, numbers
    as numbers, text as the distinct texts' objects."""
    import pyarrow

    column = column.combine_chunks()
    if pyarrow.types.is_string(column.type) or pyarrow.types.is_large_string(column.type):
        encoded = column.dictionary_encode()
        distinct = np.array(encoded.dictionary.to_pylist() + [None], dtype=object)
        return distinct[encoded.indices.fill_null(len(distinct) - 1).to_numpy(zero_copy_only=False)]
    return column.to_numpy(zero_copy_only=False)


# ---- cubes ----------------------------------------------------------------------


def cube_blocks(cube: Any) -> dict:
    """{factor name: its block} of a DataArray with dims factor, date and instrument."""
    xarray = sys.modules.get("xarray")
    if xarray is None or not isinstance(cube, xarray.DataArray):
        raise TypeError(f"a cube must be an xarray DataArray, not {type(cube).__name__}")
    dims = ("factor", "date", "instrument")
    if set(cube.dims) != set(dims):
        raise ValueError(f"a cube must have the dims {dims}, not {tuple(cube.dims)}")
    cube = cube.transpose(*dims)
    names = [str(name) for name in cube["factor"].values]
    _refuse_repeats(names, "cube", "factors")
    codes = _codes_of_labels(cube["date"].values, "cube")
    if not len(codes) or not len(names):
        raise ValueError(f"the cube holds no dates or no factors to write: its shape is {cube.shape}")
    ids = _instruments(cube["instrument"].values.tolist(), "cube")
    if cube.dtype.kind not in "fiub":
        raise TypeError(f"cube: values must be numbers, not {cube.dtype}")
    dense = _dense(codes, ids, None, "cube")
    return {name: Block(dense.dates, ids, cube.data[position], order=dense.order)
            for position, name in enumerate(names)}


# ---- packs given as mappings ------------------------------------------------------


def packs_of_mapping(payload: Mapping) -> list:
    """Packs of ``{date: Series or {order_book_id: value}}``, in the mapping's order."""
    import types

    return [types.SimpleNamespace(date=date, values=values) for date, values in payload.items()]
