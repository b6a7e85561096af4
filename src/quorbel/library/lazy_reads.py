"""Lazy reads with Dask (quorbel[dask]): the cube of an eager read, backed by
a Dask array of one task per factor and block of dates.

The graph is planned from the files once, when the read is called: each
file's section of dates and the common chunk width. Its blocks come from
:class:`FactorBlocks`, plain data that travels to any worker, which opens the
file read-only for a block and closes it before the block is returned.
"""

from __future__ import annotations

import math
import os
from typing import Any

import numpy as np

from .. import _extras, detail
from . import cube_plan
from .catalog import check_hdf5_signature
from .cube_plan import _close_all, _date_axis, _open_for_reading

__all__ = ["FactorBlocks"]

# A block of one factor holds about this many bytes (dates x instruments x
# 8), and never more than BLOCK_BYTES_MAX unless one step of the common chunk
# width alone is larger. Read at each call, through this module.
BLOCK_BYTES = 64 << 20
BLOCK_BYTES_MAX = 128 << 20


def _import_dask(keyword: str):
    try:
        import dask
        import dask.array
    except ImportError as e:
        raise ImportError(f"{keyword} needs Dask: install quorbel[dask] (dask[array] and distributed)") from e
    return dask


def _chunks_argument(chunks: Any):
    """None (eager), "auto", or a number of dates per block."""
    if chunks is None:
        return None
    if isinstance(chunks, str):
        if chunks == "auto":
            return "auto"
        raise ValueError(f"chunks={chunks!r}: give 'auto' or a number of dates per block")
    if isinstance(chunks, (bool, np.bool_)) or not isinstance(chunks, (int, np.integer)):
        raise TypeError(f"chunks must be 'auto' or a number of dates per block, not {type(chunks).__name__}")
    if chunks < 1:
        raise ValueError(f"chunks={chunks!r}: a block holds at least one date")
    return int(chunks)


def _lazy_option(chunks: Any, progress: bool):
    """The blocks a read asks for: None for an eager read, else "auto" or a
    number of dates per block, with Dask at hand."""
    per_block = _chunks_argument(chunks)
    if per_block is not None:
        if progress:
            raise ValueError("progress=True: a lazy read reads when it is computed; show its progress "
                             "with Dask's own display (dask.diagnostics.ProgressBar or distributed.progress)")
        _import_dask(f"chunks={chunks!r}")
    return per_block


def _auto_block(widths: list, instruments: int) -> int:
    """Dates per block: a multiple of every file's chunk width when that
    common multiple fits in BLOCK_BYTES_MAX, else of the widest chunks (the
    narrower chunks that straddle a block edge are then read by two tasks)."""
    per_date = max(instruments, 1) * 8
    chunked = sorted({int(w) for w in widths if w > 0})
    step = 1
    if chunked:
        for width in chunked:
            step = step * width // math.gcd(step, width)
        if step * per_date > BLOCK_BYTES_MAX:
            step = chunked[-1]
    return max(step, BLOCK_BYTES // per_date // step * step)


def _block_sizes(first: int, stop: int, per_block: int) -> tuple:
    """Dates of each block of columns [first, stop), edges on multiples of per_block."""
    sizes = []
    at = first
    while at < stop:
        edge = min((at // per_block + 1) * per_block, stop)
        sizes.append(edge - at)
        at = edge
    return tuple(sizes) or (0,)


def _file_token(path: str) -> tuple:
    status = os.stat(path)
    return (status.st_size, status.st_mtime_ns)


def _lazy_plan(paths: list, start: int, end: int, check: bool) -> tuple:
    """(tokens, sections, chunk widths) of the files: what a lazy read's graph is planned from."""
    tokens = [_file_token(path) for path in paths]
    sections, widths = [], []
    open_at_once = cube_plan.OPEN_AT_ONCE
    for at in range(0, len(paths), open_at_once):
        handles = _open_for_reading(paths[at:at + open_at_once])
        try:
            sections.extend(_extras._cube_sections(handles, start, end, check))
            widths.extend(_extras._chunk_columns(handles))
        finally:
            _close_all(handles)
    return tokens, sections, widths


def _lazy_graph(paths: list, tokens: list, sections: list, widths: list, rows, per_block, as_of=None,
                names=None) -> tuple:
    """(date codes, Dask array) of a planned lazy read."""
    import dask.array as da
    from dask.base import tokenize

    dates, first = _date_axis(sections)
    if per_block == "auto":
        per_block = _auto_block(widths, len(rows))
    source = FactorBlocks(paths, tokens, sections, rows, first, len(dates), as_of=as_of, names=names)
    blocks = ((1,) * len(paths) or (0,), _block_sizes(first, first + len(dates), per_block), (len(rows),))
    array = da.from_array(source, chunks=blocks, name="quorbel-read-" + tokenize(source, blocks),
                          meta=np.empty((0, 0, 0)), fancy=False)
    return dates, array


def _lazy_cube(paths: list, rows, start: int, end: int, check: bool, per_block) -> tuple:
    """(date codes, Dask array) of the files: the graph of a lazy read."""
    tokens, sections, widths = _lazy_plan(paths, start, end, check)
    return _lazy_graph(paths, tokens, sections, widths, rows, per_block)


class FactorBlocks:
    """The source of a lazy cube's blocks, as plain data that pickles small.

    ``FactorLibrary.read(..., chunks=...)`` makes one and hands it to
    ``dask.array.from_array``. Indexing it reads: each file is opened
    read-only for the block and closed before the block is returned, so it
    works on any Dask worker that sees the files at the same paths.

    Parameters
    ----------
    paths : sequence of str or os.PathLike
        The factor files, one per position on the factor axis.
    tokens : sequence of tuple
        A token of each file, ``(size, mtime_ns)`` when the graph was built:
        part of the Dask name, so that a changed file makes a new graph.
    sections : sequence of (int, int)
        Each file's section of matrix columns ``[first, stop)``, planned
        when the graph was built.
    rows : array_like of int
        The matrix row of each instrument on the instrument axis; -1 for an
        instrument the index does not hold (its values are NaN).
    first_column : int
        The matrix column of the cube's first date.
    dates : int
        Dates on the date axis.
    as_of : int, optional
        Read each file as it was at this time (UTC nanoseconds): the block
        is read from the file, then every commit of its history after that
        time is undone on it. None reads the files as they are.
    names : sequence of str, optional
        The factors' names, for the errors of an `as_of` read; the paths by
        default.

    Attributes
    ----------
    shape : tuple of int
        ``(factors, dates, instruments)``.
    dtype : numpy.dtype
        Always float64.
    ndim : int
        Always 3.

    Raises
    ------
    ValueError
        If `paths`, `tokens`, `sections` and `names` differ in length.

    Examples
    --------
    A lazy read's cube holds one:

    >>> lib = FactorLibrary("/data/factors")
    >>> cube = lib.read(["style/momentum_20d", "value/bp"], start=20230101, end=20231231, chunks="auto")
    >>> cube.data.name.startswith("quorbel-read-")
    True

    Made by hand, it reads the first 250 columns of one file, for the
    instruments of rows 0 and 1 and one the index does not hold:

    >>> source = FactorBlocks([lib.path("style/momentum_20d")], tokens=[(0, 0)],
    ...                       sections=[(0, 250)], rows=[0, 1, -1], first_column=0, dates=250)
    >>> source
    FactorBlocks(1 factors, shape=(1, 250, 3))
    >>> source[0, :5].shape
    (5, 3)
    """

    dtype = np.dtype("f8")
    ndim = 3

    def __init__(self, paths, tokens, sections, rows, first_column: int, dates: int, as_of=None, names=None):
        self.paths = tuple(os.fspath(p) for p in paths)
        self.tokens = tuple(tuple(t) for t in tokens)
        self.sections = tuple((int(f), int(s)) for f, s in sections)
        self.rows = np.ascontiguousarray(rows, dtype=np.int64)
        self.first_column = int(first_column)
        self.shape = (len(self.paths), int(dates), len(self.rows))
        self.as_of = None if as_of is None else int(as_of)
        self.names = self.paths if names is None else tuple(str(n) for n in names)
        if not len(self.tokens) == len(self.sections) == len(self.paths) == len(self.names):
            raise ValueError("one token, one section and one name per file are needed")

    def __dask_tokenize__(self):
        return ("quorbel.FactorBlocks", self.paths, self.tokens, self.sections, self.rows.tobytes(),
                self.first_column, self.shape, self.as_of)

    def __repr__(self) -> str:
        return f"FactorBlocks({len(self.paths)} factors, shape={self.shape})"

    def __getitem__(self, key):
        """Reads the block `key` selects from the files.

        Parameters
        ----------
        key : int, slice, Ellipsis or tuple of them
            At most one index per axis (factor, date, instrument), as NumPy
            takes them; slices may step, and an integer drops its axis.

        Returns
        -------
        numpy.ndarray
            The selected values as float64, NaN where a file holds none.

        Raises
        ------
        IndexError
            If there are more than three indices, or an integer lies
            outside its axis.
        TypeError
            If an index is neither an integer nor a slice (lists and arrays
            are not taken).
        OSError
            Naming the file, if a file is no factor file or cannot be read.
        FileNotFoundError
            If a file has disappeared since the graph was built.
        """
        key = key if isinstance(key, tuple) else (key,)
        if any(k is Ellipsis for k in key):
            at = key.index(Ellipsis)
            key = key[:at] + (slice(None),) * (3 - len(key) + 1) + key[at + 1:]
        if len(key) > 3:
            raise IndexError(f"too many indices for a cube of 3 dimensions: {key!r}")
        key = key + (slice(None),) * (3 - len(key))
        spans, local = [], []
        for index, size in zip(key, self.shape):
            if isinstance(index, (int, np.integer)) and not isinstance(index, (bool, np.bool_)):
                position = int(index) + size if index < 0 else int(index)
                if not 0 <= position < size:
                    raise IndexError(f"index {index} is out of bounds for an axis of {size}")
                spans.append((position, position + 1))
                local.append(0)
            elif isinstance(index, slice):
                lo, hi, step = index.indices(size)
                picked = range(lo, hi, step)
                if not picked:
                    spans.append((0, 0))
                    local.append(slice(0, 0))
                    continue
                low, high = min(picked[0], picked[-1]), max(picked[0], picked[-1]) + 1
                spans.append((low, high))
                local.append(slice(0, None, step) if step > 0 else slice(high - 1 - low, None, step))
            else:
                raise TypeError(f"a factor cube block is read by integers and slices, not {type(index).__name__}")
        (f_lo, f_hi), (d_lo, d_hi), (i_lo, i_hi) = spans
        out = np.empty((f_hi - f_lo, d_hi - d_lo, i_hi - i_lo))  # the fill writes every cell, NaN where none
        if out.size:
            rows = np.ascontiguousarray(self.rows[i_lo:i_hi])
            for f in range(f_lo, f_hi):
                _read_block(self.paths[f], self.sections[f], rows, self.first_column + d_lo, out[f - f_lo:f - f_lo + 1],
                            self.as_of, self.names[f])
        return out[tuple(local)]


def _read_block(path: str, section: tuple, rows, first_column: int, out, as_of=None, name=None) -> None:
    check_hdf5_signature(path)
    handle = detail.get_h5(path)
    if handle is None:
        raise FileNotFoundError(f"factor file disappeared: {path}")
    try:
        _extras._fill_cube([handle], [section], rows, first_column, out, 0)
        if as_of is not None:
            # The cells first, the history after (see history_reads).
            _extras._history_undo([handle], [name or path], [section], rows, first_column, out, 0, as_of, False)
    finally:
        handle.close()
