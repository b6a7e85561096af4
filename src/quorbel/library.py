"""A folder of factor files used as one library.

A factor's name is its path relative to the library's root without ".h5"
("style/momentum_20d"). Reads gather many factors into one cube
(factor x date x instrument) in a single pass of the engine over all the
files, on every core; writes store one date, or many, into many factors at
once, one task per file, and report every factor that failed. With Dask
installed (quorbel[dask]) a read can be lazy, one task per factor and block
of dates, and writes can run on a dask.distributed cluster.
"""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import datetime
import functools
import gc
import math
import os
import pickle
import stat
import sys
import threading
import types
import uuid
from collections.abc import Iterable, Mapping
from concurrent.futures import ThreadPoolExecutor, as_completed
from typing import Any, Optional

import numpy as np

from . import _extras
from . import detail

__all__ = ["FactorLibrary", "FactorInfo", "WriteReport", "FactorWriteError", "FactorBlocks"]

SUFFIX = ".h5"
# Files a read keeps open at once. Larger selections are read group by group
# (each file is then opened twice: once to plan the cube, once to fill it).
OPEN_AT_ONCE = 256
_HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
# Lazy reads: a block of one factor holds about this many bytes (dates x
# instruments x 8), and never more than BLOCK_BYTES_MAX unless one step of
# the common chunk width alone is larger.
BLOCK_BYTES = 64 << 20
BLOCK_BYTES_MAX = 128 << 20
# Files a progress-reporting read fills at a time: enough to keep the
# engine's threads busy, few enough for the bar to move.
PROGRESS_BATCH = 8


@dataclasses.dataclass(frozen=True)
class FactorInfo:
    """What `FactorLibrary.info` tells about one factor file."""

    name: str
    path: str
    shape: tuple            # (rows, columns) of the matrix
    cursor_col: Optional[int]
    cursor_date: Optional[int]       # the date code of cursor_col
    last_value_col: Optional[int]    # the last column holding any value
    last_value_date: Optional[int]
    size: int               # bytes on disk


class WriteReport(dict):
    """Factor name -> None when its write succeeded, else the exception it raised."""

    @property
    def failed(self) -> dict:
        return {name: error for name, error in self.items() if error is not None}

    @property
    def ok(self) -> bool:
        return not self.failed


class FactorWriteError(Exception):
    """Raised after a write over many factors in which some failed; every
    factor was attempted. `report` holds the outcome of each one."""

    def __init__(self, report: WriteReport):
        self.report = report
        self.failures = report.failed
        details = "; ".join(f"{name}: {type(e).__name__}: {e}" for name, e in self.failures.items())
        super().__init__(f"{len(self.failures)} of {len(report)} factor writes failed: {details}")


def _import_dask(keyword: str):
    try:
        import dask
        import dask.array
    except ImportError as e:
        raise ImportError(f"{keyword} needs Dask: install quorbel[dask] (dask[array] and distributed)") from e
    return dask


def _progress(label: str, enabled: bool):
    from .progress import progress_display

    return progress_display(label, enabled)


def date_code(value: Any, what: str = "date") -> int:
    """A date code (20180102) from a date code, a datetime.date, a NumPy or
    pandas timestamp, or a text "20180102" / "2018-01-02"."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be a date code such as 20180102 or a date, not bool")
    if isinstance(value, (int, np.integer)):
        code = int(value)
    elif isinstance(value, np.datetime64):
        return date_code(value.astype("datetime64[D]").item(), what)
    elif isinstance(value, datetime.date):
        code = value.year * 10000 + value.month * 100 + value.day
    elif isinstance(value, str):
        text = value.strip().replace("-", "")
        if len(text) != 8 or not text.isdigit():
            raise ValueError(f"{what} {value!r} is not a date such as '20180102' or '2018-01-02'")
        code = int(text)
    else:
        raise TypeError(f"{what} must be a date code such as 20180102 or a date, not {type(value).__name__}")
    year, month, day = code // 10000, code // 100 % 100, code % 100
    try:
        datetime.date(year, month, day)
    except ValueError:
        raise ValueError(f"{what} {value!r} is not a date code (year * 10000 + month * 100 + day)") from None
    return code


def _date_labels(codes: list):
    import pandas as pd

    return pd.DatetimeIndex(pd.to_datetime(np.asarray(codes, dtype=np.int64).astype(str), format="%Y%m%d"),
                            name="date").astype("datetime64[ns]")


def check_hdf5_signature(path: str) -> None:
    """OSError naming `path` unless it starts like an HDF5 file (the signature
    at 0 or at a power of two from 512 on). Saves get_h5's retries, meant for
    locked files, on a file that can never open."""
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            offset = 0
            while offset + len(_HDF5_SIGNATURE) <= size:
                f.seek(offset)
                if f.read(len(_HDF5_SIGNATURE)) == _HDF5_SIGNATURE:
                    return
                offset = 512 if offset == 0 else offset * 2
    except OSError as e:
        raise OSError(e.errno, f"cannot read factor file {path}: {e.strerror}") from e
    raise OSError(f"not a factor file (no HDF5 signature): {path}")


# The value item every write hands the engine, (order_book_id, float): a
# tuple, made straight from the pair (in the engine when the values are
# checked, from a pair on a cluster worker), since a date of every
# instrument is thousands.
_ValueItem = collections.namedtuple("_ValueItem", ["order_book_id", "value"])
_value_item_of_pair = functools.partial(tuple.__new__, _ValueItem)


def _value_items(values: Any, where: str) -> list:
    """The value items of one date as a list of `_ValueItem` holding floats,
    from items with `order_book_id` and `value` or a mapping / pandas Series
    {order_book_id: value}. Every value is converted as the writers convert
    it (None is NaN, numeric text is parsed, bool is 0 or 1): one that does
    not convert raises its ValueError or TypeError here, naming `where`, the
    instrument and the value, before any file is touched."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(values, pandas.Series):
        return _extras._items_of_pairs(_ValueItem, _python_scalars(values.index), _python_scalars(values), where)
    if isinstance(values, Mapping):
        return _extras._items_of_pairs(_ValueItem, list(values.keys()), list(values.values()), where)
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"{where}: values must be a collection of items with order_book_id and value, "
                        f"or a mapping {{order_book_id: value}}, not {type(values).__name__}")
    return _extras._items_of_objects(_ValueItem, list(values), where)


def _python_scalars(labels_or_values) -> list:
    """What iterating a pandas Index or Series yields (Python scalars for
    NumPy data), in one pass: element by element it costs ten times as much."""
    if isinstance(labels_or_values.dtype, np.dtype):
        return labels_or_values.tolist()
    return list(labels_or_values)


def _packs(packs: Any, where: str) -> list:
    if isinstance(packs, (str, bytes, Mapping)) or not isinstance(packs, Iterable):
        raise TypeError(f"{where}: packs must be a collection of packs with date and values, "
                        f"not {type(packs).__name__}")
    checked = []
    for position, pack in enumerate(packs):
        if not (hasattr(pack, "date") and hasattr(pack, "values")):
            raise TypeError(f"{where}: pack {position} ({type(pack).__name__}) has no date and values")
        code = date_code(pack.date, f"{where}: date of pack {position}")
        items = _value_items(pack.values, f"{where}, pack {position} (date {code})")
        checked.append(types.SimpleNamespace(date=code, values=items))
    if not checked:
        raise ValueError(f"{where}: no packs to write")
    return checked


class FactorLibrary:
    """The factor files under one folder. See the README's "Factor library"."""

    def __init__(self, root: "str | os.PathLike"):
        root = os.fspath(root)
        if not os.path.isdir(root):
            raise NotADirectoryError(f"factor library root is not a directory: {root}")
        self.root = os.path.abspath(root)

    def __repr__(self) -> str:
        return f"FactorLibrary({self.root!r})"

    # ---- names ---------------------------------------------------------------

    def names(self) -> list:
        """Every factor under the root, sorted, each file once.

        Hidden files and folders are not factors. Names that reach one file
        (through a symbolic or a hard link, told by the device and inode of
        the file reached) list it once: a name that is not a symbolic link is
        kept over one that is, and among equals the first in sorted order.

        Returns
        -------
        list of str
            Factor names such as ``"style/momentum_20d"``.
        """
        found = []
        for folder, dirs, files in os.walk(self.root):
            dirs[:] = [d for d in dirs if not d.startswith(".")]
            relative = os.path.relpath(folder, self.root)
            for file in files:
                if file.startswith(".") or not file.endswith(SUFFIX) or len(file) == len(SUFFIX):
                    continue
                name = file[: -len(SUFFIX)]
                found.append((name if relative == "." else f"{relative.replace(os.sep, '/')}/{name}",
                              os.path.join(folder, file)))
        kept = {}  # the file reached -> (name, path)
        for name, path in sorted(found):
            try:
                status = os.stat(path)
            except OSError:  # a dangling link, or a file gone since the walk
                continue
            if not stat.S_ISREG(status.st_mode):
                continue
            reached = (status.st_dev, status.st_ino)
            if reached not in kept or (os.path.islink(kept[reached][1]) and not os.path.islink(path)):
                kept[reached] = (name, path)
        return sorted(name for name, _ in kept.values())

    def __contains__(self, name: object) -> bool:
        try:
            return os.path.isfile(self.path(name))
        except (TypeError, ValueError):
            return False

    def path(self, name: str) -> str:
        """The file of a factor name (whether or not it exists)."""
        if not isinstance(name, str):
            raise TypeError(f"a factor name must be a str, not {type(name).__name__}")
        parts = name.split("/")
        if not name or any(p in ("", ".", "..") or p.startswith(".") or "\\" in p or "\0" in p for p in parts):
            raise ValueError(f"{name!r} is not a factor name (a relative path such as 'style/momentum_20d', "
                             "without '.h5', hidden parts, '.' or '..')")
        return os.path.join(self.root, *parts) + SUFFIX

    def _existing(self, name: str) -> str:
        path = self.path(name)
        if not os.path.isfile(path):
            raise KeyError(f"no factor {name!r} in the library at {self.root}")
        return path

    def _selection(self, names: Any) -> list:
        if names is None:
            return self.names()
        if isinstance(names, (str, bytes)) or not isinstance(names, Iterable):
            raise TypeError(f"names must be a list of factor names, not {type(names).__name__}")
        names = list(names)
        seen = set()
        for name in names:
            self._existing(name)
            if name in seen:
                raise ValueError(f"factor {name!r} is listed twice")
            seen.add(name)
        return names

    # ---- reads ---------------------------------------------------------------

    def info(self, name: str) -> FactorInfo:
        """Shape, cursor and its date, the last date holding a value and the
        file size of one factor. Finding the last value scans chunk columns
        back from the matrix's end until one holds a value."""
        path = self._existing(name)
        check_hdf5_signature(path)
        handle = detail.get_h5(path)
        if handle is None:
            raise FileNotFoundError(f"no factor file at {path}")
        with handle:
            rows, cols, cursor, last = _extras._factor_summary(handle)
        calendar = detail.get_all_trading_dates()

        def date_at(column):
            return calendar[column] if column is not None and 0 <= column < len(calendar) else None

        return FactorInfo(name, path, (rows, cols), cursor, date_at(cursor), last, date_at(last),
                          os.path.getsize(path))

    def _date_range(self, start: Any, end: Any) -> tuple:
        calendar = None
        if start is None or end is None:
            calendar = detail.get_all_trading_dates()
        start = date_code(start, "start") if start is not None else (calendar[0] if calendar else 0)
        end = date_code(end, "end") if end is not None else (calendar[-1] if calendar else 0)
        if start > end:
            raise ValueError(f"start {start} lies after end {end}")
        return start, end

    def read(self, names=None, ids=None, start=None, end=None, *, check=False, chunks=None, progress=False):
        """The factors' values as an xarray.DataArray (factor, date, instrument).

        Each factor's values are those `quorbel.read_panel(path, ids, start,
        end, check)` reads from its file; the date axis covers the dates any
        of them reads, NaN where a factor has none. `ids=None` is every
        instrument of the instrument index in row order; `names=None` every
        factor; `start`/`end` default to the whole calendar.

        `chunks="auto"` (or a number of dates per block) makes the cube lazy:
        Dask-backed, one task per factor and block of dates, computed where
        Dask computes (the active dask.distributed Client, if any).
        `progress=True` shows how many files an eager read has filled."""
        per_block = _chunks_argument(chunks)
        if per_block is not None:
            if progress:
                raise ValueError("progress=True: a lazy read reads when it is computed; show its progress "
                                 "with Dask's own display (dask.diagnostics.ProgressBar or distributed.progress)")
            _import_dask(f"chunks={chunks!r}")
        import xarray

        names, paths, id_list, rows, start, end = self._read_arguments(names, ids, start, end)
        if per_block is None:
            dates, cube = self._read_cube(paths, rows, start, end, bool(check), bool(progress))
        else:
            dates, cube = _lazy_cube(paths, rows, start, end, bool(check), per_block)
        return xarray.DataArray(cube, dims=("factor", "date", "instrument"),
                                coords={"factor": list(names), "date": _date_labels(dates),
                                        "instrument": np.asarray(id_list, dtype=object)},
                                name="value")

    def cross_section(self, date, names=None, ids=None, *, check=False):
        """One trading date as a pandas.DataFrame: index instrument, columns factor."""
        import pandas as pd

        code = date_code(date)
        if detail._get_date_index(code) is None:
            raise ValueError(f"{code} is not a trading date")
        # The cube itself, without the labelled array read() wraps it in.
        names, paths, id_list, rows, start, end = self._read_arguments(names, ids, code, code)
        dates, cube = self._read_cube(paths, rows, start, end, bool(check))
        if len(dates):
            values = cube[:, 0, :].T
        else:  # no factor's matrix reaches the date (or, with check, its cursor)
            values = np.full((len(id_list), len(names)), np.nan)
        return pd.DataFrame(values, index=pd.Index(np.asarray(id_list, dtype=object), name="instrument", dtype=object),
                            columns=pd.Index(list(names), name="factor", dtype=object))

    def _read_arguments(self, names, ids, start, end) -> tuple:
        """(names, their paths, instrument ids, their matrix rows, first and
        last date code) of a read, every argument checked."""
        names = self._selection(names)
        if ids is not None and (isinstance(ids, (str, bytes)) or not isinstance(ids, Iterable)):
            raise TypeError(f"ids must be a list of order_book_id, not {type(ids).__name__}")
        start, end = self._date_range(start, end)
        paths = [self._existing(n) for n in names]
        for path in paths:
            check_hdf5_signature(path)
        id_list, rows = _extras._cube_instruments(None if ids is None else list(ids))
        return names, paths, id_list, rows, start, end

    def _read_cube(self, paths: list, rows, start: int, end: int, check: bool, progress: bool = False):
        groups = [paths[i:i + OPEN_AT_ONCE] for i in range(0, len(paths), OPEN_AT_ONCE)]
        sections, kept = [], None
        try:
            for group in groups:
                handles = _open_for_reading(group)
                try:
                    sections.extend(_extras._cube_sections(handles, start, end, check))
                finally:
                    if len(groups) == 1:
                        kept = handles
                    else:
                        _close_all(handles)
            dates, first = _date_axis(sections)
            cube = np.empty((len(paths), len(dates), len(rows)))
            with _progress(f"reading {len(paths)} factors", progress) as shown:
                filled = 0

                def fill(handles, offset):
                    nonlocal filled
                    step = PROGRESS_BATCH if progress else max(len(handles), 1)
                    for i in range(0, len(handles), step):
                        part = handles[i:i + step]
                        _extras._fill_cube(part, sections[offset + i:offset + i + len(part)], rows, first,
                                           cube, offset + i)
                        filled += len(part)
                        shown(filled, len(paths))

                if kept is not None:
                    fill(kept, 0)
                else:
                    for number, group in enumerate(groups):
                        handles = _open_for_reading(group)
                        try:
                            fill(handles, number * OPEN_AT_ONCE)
                        finally:
                            _close_all(handles)
        finally:
            if kept is not None:
                _close_all(kept)
        return dates, cube

    # ---- rewrites --------------------------------------------------------------

    def rewrite(self, names=None, *, raise_errors=True, progress=False, max_workers=None) -> WriteReport:
        """Rewrites factor files into fresh copies (`rewrite_factor`).

        One task per file on a thread pool (default 2 at once: each holds its
        whole matrix in memory). Names that are one file through a symbolic
        link rewrite it once, through its real path, and share its outcome;
        hard links of one file are rewritten one after the other in one task,
        each name then holding a file of its own.

        Parameters
        ----------
        names : list of str, optional
            The factors to rewrite; every factor (`names()`) by default.
        raise_errors : bool
            Raise `FactorWriteError` when any rewrite failed.
        progress : bool
            Show how many files are done.
        max_workers : int, optional
            Rewrites at once (2 by default).

        Returns
        -------
        WriteReport
            ``{name: None or the exception}``.
        """
        names = self._selection(names)
        by_file = _tasks_by_file(names, self.path)

        def rewrite_file(_, group):
            # Through a symbolic link the real path is rewritten, once, so the
            # link stays a link. Hard links are paths of their own to one
            # file: each is rewritten in turn, each then a file of its own.
            outcome_of = {}
            for real in dict.fromkeys(os.path.realpath(self.path(name)) for name in group):
                try:
                    check_hdf5_signature(real)
                    detail.rewrite_factor(real)
                    outcome_of[real] = None
                except Exception as error:  # reported for every name of the file
                    outcome_of[real] = error
            return {name: outcome_of[os.path.realpath(self.path(name))] for name in group}

        with _progress(f"rewriting {len(names)} factors", progress) as shown:
            outcome = _run_on_threads(by_file, rewrite_file, max_workers or 2, shown, len(names))
        return _report(names, outcome, raise_errors)

    # ---- writes --------------------------------------------------------------

    def write(self, date, values, *, raise_errors=True, create=False, client=None, progress=False,
              max_workers=None) -> WriteReport:
        """Stores one date into many factors: `values` maps a factor name to
        that date's values as put_factor_value takes them (or a mapping
        {order_book_id: value}). See `write_packs` for errors and options."""
        _client_argument(client)
        code = date_code(date)
        jobs = self._converted(values, create, lambda payload, where: _value_items(payload, f"{where}, date {code}"))
        return self._run(jobs, "value", code, create, raise_errors, client, progress, max_workers)

    def write_packs(self, packs, *, raise_errors=True, create=False, client=None, progress=False,
                    max_workers=None) -> WriteReport:
        """Stores many dates into many factors: `packs` maps a factor name to
        its packs as put_factor_packs takes them.

        Every argument is checked before anything is written. Then each file
        is written by one task (files in parallel) through get_h5(path,
        write=True) and put_factor_packs; every factor is attempted. Returns
        a WriteReport; unless raise_errors is false, raises FactorWriteError
        naming every factor that failed. create=True makes missing factors.
        With `client` (a dask.distributed Client) the tasks run on its
        workers; `progress=True` shows factors done (on a cluster, Dask's
        own progress display)."""
        _client_argument(client)
        jobs = self._converted(packs, create, _packs)
        return self._run(jobs, "packs", None, create, raise_errors, client, progress, max_workers)

    def _converted(self, by_name: Any, create: bool, convert) -> dict:
        """{name: convert(its values or packs)}, every factor's checked before
        anything is written. Conversion makes a value item per instrument and
        date: the collector is paused meanwhile (see _CollectorPause)."""
        jobs = {}
        with _collector_paused():
            for name, payload in self._jobs(by_name, create):
                jobs[name] = convert(payload, f"factor {name!r}")
        return jobs

    def _jobs(self, by_name: Any, create: bool):
        if not isinstance(by_name, Mapping):
            raise TypeError(f"expected a mapping of factor name to values, not {type(by_name).__name__}")
        for name in by_name:
            if create:
                self.path(name)
            else:
                self._existing(name)
        return by_name.items()

    def _run(self, jobs: dict, kind: str, code, create: bool, raise_errors: bool, client, progress: bool,
             max_workers) -> WriteReport:
        tasks = _tasks_by_file(list(jobs), self.path)
        if client is not None:
            outcome = _run_on_cluster(client, tasks, {name: (self.path(name), jobs[name]) for name in jobs},
                                      kind, code, create, progress)
            return _report(list(jobs), outcome, raise_errors)

        def run(file, names):
            return {name: _attempt(_write_one, self.path(name), kind, code, jobs[name], create) for name in names}

        workers = max_workers or max(4, os.cpu_count() or 1)
        with _progress(f"writing {len(jobs)} factors", progress) as shown:
            outcome = _run_on_threads(tasks, run, workers, shown, len(jobs))
        return _report(list(jobs), outcome, raise_errors)


def _tasks_by_file(names: list, path_of) -> dict:
    """{file: its names}, one task per file: names that reach one file, through
    a symbolic or a hard link, share a task, so that no two tasks ever change
    one file at once. A file is told by its (device, inode); a name that
    reaches no file yet (a write with create=True) is a file of its own."""
    tasks = {}
    for name in names:
        path = path_of(name)
        try:
            status = os.stat(path)
            reached = (status.st_dev, status.st_ino)
        except OSError:
            reached = os.path.realpath(path)
        tasks.setdefault(reached, []).append(name)
    return tasks


def _attempt(work, *args):
    """None when work(*args) succeeds, else the exception it raised."""
    try:
        work(*args)
    except Exception as error:  # reported per factor
        return error
    return None


def _write_one(path: str, kind: str, code, payload, create: bool) -> None:
    if os.path.lexists(path):
        check_hdf5_signature(path)
    elif not create:
        raise FileNotFoundError(f"factor file disappeared: {path}")
    else:
        os.makedirs(os.path.dirname(path), exist_ok=True)
    with detail.get_h5(path, write=True) as h5:
        if kind == "value":
            detail.put_factor_value(h5, code, payload)
        else:
            detail.put_factor_packs(h5, payload)


def _report(names: list, outcome: dict, raise_errors: bool) -> WriteReport:
    report = WriteReport((name, outcome[name]) for name in names)
    if raise_errors and report.failed:
        raise FactorWriteError(report)
    return report


def _run_on_threads(tasks: dict, run, workers: int, shown, total: int) -> dict:
    """run(key, names) -> {name: outcome} for every task on a thread pool;
    the progress display is driven from this thread only."""
    outcome = {}
    shown(0, total)
    if tasks:
        with ThreadPoolExecutor(max_workers=min(workers, len(tasks)), thread_name_prefix="quorbel-write") as pool:
            futures = [pool.submit(run, key, names) for key, names in tasks.items()]
            for future in as_completed(futures):
                outcome.update(future.result())
                shown(len(outcome), total)
    return outcome


def _open_for_reading(paths: list) -> list:
    handles = []
    try:
        for path in paths:
            handle = detail.get_h5(path)
            if handle is None:
                raise FileNotFoundError(f"no factor file at {path}")
            handles.append(handle)
    except BaseException:
        _close_all(handles)
        raise
    return handles


def _close_all(handles: list) -> None:
    for handle in handles:
        try:
            handle.close()
        except Exception:  # a read-only handle has nothing to lose
            pass


def _date_axis(sections: list) -> tuple:
    """(date codes, first column) of the cube that holds every section."""
    read = [(first, stop) for first, stop in sections if stop > first]
    first = min((f for f, _ in read), default=0)
    stop = max((s for _, s in read), default=0)
    dates = []
    if stop > first:
        detail._get_date_by_index(first, stop - 1)  # refreshes the snapshot when it falls short
        dates = list(detail.TRADING_DATES[first:stop])
    return dates, first


# ---- lazy reads ---------------------------------------------------------------


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


def _lazy_cube(paths: list, rows, start: int, end: int, check: bool, per_block):
    import dask.array as da
    from dask.base import tokenize

    tokens = [_file_token(path) for path in paths]
    sections, widths = [], []
    for at in range(0, len(paths), OPEN_AT_ONCE):
        handles = _open_for_reading(paths[at:at + OPEN_AT_ONCE])
        try:
            sections.extend(_extras._cube_sections(handles, start, end, check))
            widths.extend(_extras._chunk_columns(handles))
        finally:
            _close_all(handles)
    dates, first = _date_axis(sections)
    if per_block == "auto":
        per_block = _auto_block(widths, len(rows))
    source = FactorBlocks(paths, tokens, sections, rows, first, len(dates))
    blocks = ((1,) * len(paths) or (0,), _block_sizes(first, first + len(dates), per_block), (len(rows),))
    array = da.from_array(source, chunks=blocks, name="quorbel-read-" + tokenize(source, blocks),
                          meta=np.empty((0, 0, 0)), fancy=False)
    return dates, array


class FactorBlocks:
    """The source of a lazy cube's blocks, as plain data: the files' paths
    and tokens (size, mtime), each file's column section planned when the
    graph was built, the matrix row of each instrument (-1 for none) and the
    column of the first date. Indexing reads: each file is opened read-only
    for the block and closed before the block is returned."""

    dtype = np.dtype("f8")
    ndim = 3

    def __init__(self, paths, tokens, sections, rows, first_column: int, dates: int):
        self.paths = tuple(os.fspath(p) for p in paths)
        self.tokens = tuple(tuple(t) for t in tokens)
        self.sections = tuple((int(f), int(s)) for f, s in sections)
        self.rows = np.ascontiguousarray(rows, dtype=np.int64)
        self.first_column = int(first_column)
        self.shape = (len(self.paths), int(dates), len(self.rows))
        if not len(self.tokens) == len(self.sections) == len(self.paths):
            raise ValueError("one token and one section per file are needed")

    def __dask_tokenize__(self):
        return ("quorbel.FactorBlocks", self.paths, self.tokens, self.sections, self.rows.tobytes(),
                self.first_column, self.shape)

    def __repr__(self) -> str:
        return f"FactorBlocks({len(self.paths)} factors, shape={self.shape})"

    def __getitem__(self, key):
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
                _read_block(self.paths[f], self.sections[f], rows, self.first_column + d_lo, out[f - f_lo:f - f_lo + 1])
        return out[tuple(local)]


def _read_block(path: str, section: tuple, rows, first_column: int, out) -> None:
    check_hdf5_signature(path)
    handle = detail.get_h5(path)
    if handle is None:
        raise FileNotFoundError(f"factor file disappeared: {path}")
    try:
        _extras._fill_cube([handle], [section], rows, first_column, out, 0)
    finally:
        handle.close()


# ---- writes on a cluster ---------------------------------------------------------


def _client_argument(client) -> None:
    if client is None:
        return
    try:
        import distributed
    except ImportError as e:
        raise ImportError("client= needs Dask: install quorbel[dask] (dask[array] and distributed)") from e
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed Client, not {type(client).__name__}")


def _portable(kind: str, payload):
    """The payload as plain lists, so that any value items travel."""
    if kind == "value":
        return [item.order_book_id for item in payload], [item.value for item in payload]
    return [(pack.date, [i.order_book_id for i in pack.values], [i.value for i in pack.values]) for pack in payload]


def _rebuilt(kind: str, portable):
    def items(ids, values):
        return list(map(_value_item_of_pair, zip(ids, values)))

    if kind == "value":
        return items(*portable)
    return [types.SimpleNamespace(date=date, values=items(ids, values)) for date, ids, values in portable]


def _portable_error(error):
    if error is None:
        return None
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")
    return error


def _cluster_write(key: str, blob: bytes) -> tuple:
    """A write task on a worker: (its claim, {name: None or the exception})
    for the factors of one file. Calendar and instrument index come from the
    worker's own settings. Dask runs a task again when the worker that ran it
    is lost. The first run takes the claim `key` on the scheduler before it
    writes and stores its outcome in the variable `key` once done; a later
    run finds the claim taken, so a finished write is reported as it went and
    an interrupted one as failed, never redone: no two runs ever write one
    file, even when the lost worker is only cut off and still writing."""
    from distributed import MultiLock, Variable

    kind, code, create, work = pickle.loads(blob)
    claim = MultiLock([key])
    if not claim.acquire(blocking=False):  # one round trip, taken or refused at once
        return None, _earlier_outcome(Variable(key), work)
    with _collector_paused():
        outcome = {name: _portable_error(_attempt(_write_one, path, kind, code, _rebuilt(kind, payload), create))
                   for name, path, payload in work}
    Variable(key).set(pickle.dumps(outcome))
    return claim.id, outcome


class _CollectorPause:
    """Python's cyclic garbage collector off while value items are made.
    A write makes a small item per instrument and date, thousands per factor
    (the caller converting mappings and Series, a Dask worker rebuilding what
    it was sent); in a process whose heap is large, as a worker's or a
    research session's is, their allocations set off full collections that
    cost two to four times the making itself, or about a tenth of a write on
    a worker. The items hold no cycles. Pauses on several threads overlap:
    the first one in turns the collector off, the last one out turns it back
    on (when it was on before the first came in)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._running = 0
        self._was_enabled = False

    @contextlib.contextmanager
    def __call__(self):
        with self._lock:
            if self._running == 0:
                self._was_enabled = gc.isenabled()
                gc.disable()
            self._running += 1
        try:
            yield
        finally:
            with self._lock:
                self._running -= 1
                if self._running == 0 and self._was_enabled:
                    gc.enable()


_collector_paused = _CollectorPause()


def _earlier_outcome(finished, work) -> dict:
    try:
        return pickle.loads(finished.get(timeout=2))
    except TimeoutError:
        lost = RuntimeError("the Dask worker writing this factor was lost during the write; it was not "
                            "retried (each date of the write is in the file whole, or not at all)")
        return {name: lost for name, _, _ in work}


def _run_on_cluster(client, tasks: dict, jobs: dict, kind: str, code, create: bool, progress: bool) -> dict:
    import distributed

    # Everything is serialised before the first task is sent: a value that
    # cannot travel fails the call with nothing written.
    blobs = []
    for names in tasks.values():
        work = [(name, jobs[name][0], _portable(kind, jobs[name][1])) for name in names]
        try:
            blobs.append((names, pickle.dumps((kind, code, create, work), protocol=pickle.HIGHEST_PROTOCOL)))
        except Exception as e:
            raise TypeError(f"factor {names[0]!r}: its values cannot be sent to the cluster: {e}") from e
    run = uuid.uuid4().hex
    submitted, claims = [], []
    try:
        for number, (names, blob) in enumerate(blobs):
            key = f"quorbel-write-{run}-{number}"
            submitted.append((key, names, client.submit(_cluster_write, key, blob, key=key, retries=0)))
        if progress and _is_terminal(sys.stdout):
            distributed.progress([future for _, _, future in submitted])
        outcome = {}
        for key, names, future in submitted:
            try:
                claim, written = future.result()
                claims.append(claim)
                outcome.update(written)
            except Exception as error:  # the task itself failed: a worker lost too often, a cancel
                outcome.update({name: error for name in names})
        return outcome
    finally:
        _forget_on_scheduler(client, [key for key, _, _ in submitted], [c for c in claims if c is not None])


def _forget_on_scheduler(client, keys: list, claims: list) -> None:
    """Drops the calls' outcomes and claims from the scheduler, all at once.
    A claim whose run was lost with its worker is unknown here and stays: a
    few bytes on the scheduler for each worker lost mid-write."""
    import asyncio

    import distributed

    async def release():
        await asyncio.gather(*(client.scheduler.multi_lock_release(id=claim) for claim in claims),
                             return_exceptions=True)

    try:
        for key in keys:
            distributed.Variable(key, client=client).delete()  # sent without waiting for an answer
        client.sync(release)
    except Exception:  # a closed client: the scheduler's state goes with it
        pass


def _is_terminal(stream) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False
