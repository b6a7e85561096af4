"""A folder of factor files used as one library.

A factor's name is its path relative to the library's root without ".h5"
("style/momentum_20d"). Reads gather many factors into one cube
(factor x date x instrument) in a single pass of the engine over all the
files, on every core; writes store one date, or many, into many factors at
once, one task per file, and report every factor that failed.
"""

from __future__ import annotations

import dataclasses
import datetime
import os
import sys
import types
from collections.abc import Iterable, Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Optional

import numpy as np

from . import _extras
from . import detail

__all__ = ["FactorLibrary", "FactorInfo", "WriteReport", "FactorWriteError"]

SUFFIX = ".h5"
# Files a read keeps open at once. Larger selections are read group by group
# (each file is then opened twice: once to plan the cube, once to fill it).
OPEN_AT_ONCE = 256
_HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


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


def _not_yet(feature: str, keyword: str) -> NotImplementedError:
    return NotImplementedError(f"{keyword}: {feature} is not available yet")


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


def _value_items(values: Any, where: str) -> list:
    """The value items of one date as a list: items with `order_book_id` and
    `value`, or a mapping / pandas Series {order_book_id: value}."""
    pandas = sys.modules.get("pandas")
    if isinstance(values, Mapping) or pandas is not None and isinstance(values, pandas.Series):
        return [types.SimpleNamespace(order_book_id=k, value=v) for k, v in values.items()]
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"{where}: values must be a collection of items with order_book_id and value, "
                        f"or a mapping {{order_book_id: value}}, not {type(values).__name__}")
    items = list(values)
    for position, item in enumerate(items):
        if not (hasattr(item, "order_book_id") and hasattr(item, "value")):
            raise TypeError(f"{where}: item {position} ({type(item).__name__}) has no order_book_id and value")
        try:
            hash(item.order_book_id)
        except TypeError:
            raise TypeError(f"{where}: item {position} has an unhashable order_book_id "
                            f"({type(item.order_book_id).__name__})") from None
    return items


def _packs(packs: Any, where: str) -> list:
    if isinstance(packs, (str, bytes, Mapping)) or not isinstance(packs, Iterable):
        raise TypeError(f"{where}: packs must be a collection of packs with date and values, "
                        f"not {type(packs).__name__}")
    checked = []
    for position, pack in enumerate(packs):
        if not (hasattr(pack, "date") and hasattr(pack, "values")):
            raise TypeError(f"{where}: pack {position} ({type(pack).__name__}) has no date and values")
        code = date_code(pack.date, f"{where}: date of pack {position}")
        items = _value_items(pack.values, f"{where}, pack {position}")
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
        """Every factor under the root, sorted; hidden files and folders are not factors."""
        found = []
        for folder, dirs, files in os.walk(self.root):
            dirs[:] = [d for d in dirs if not d.startswith(".")]
            relative = os.path.relpath(folder, self.root)
            for file in files:
                if file.startswith(".") or not file.endswith(SUFFIX) or len(file) == len(SUFFIX):
                    continue
                if not os.path.isfile(os.path.join(folder, file)):
                    continue
                name = file[: -len(SUFFIX)]
                found.append(name if relative == "." else f"{relative.replace(os.sep, '/')}/{name}")
        return sorted(found)

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
        factor; `start`/`end` default to the whole calendar."""
        if chunks is not None:
            raise _not_yet("lazy (Dask-backed) reads", f"chunks={chunks!r}")
        if progress:
            raise _not_yet("progress reporting", "progress=True")
        import xarray

        names = self._selection(names)
        if ids is not None and (isinstance(ids, (str, bytes)) or not isinstance(ids, Iterable)):
            raise TypeError(f"ids must be a list of order_book_id, not {type(ids).__name__}")
        start, end = self._date_range(start, end)
        paths = [self._existing(n) for n in names]
        for path in paths:
            check_hdf5_signature(path)
        id_list, rows = _extras._cube_instruments(None if ids is None else list(ids))
        dates, cube = self._read_cube(paths, rows, start, end, bool(check))
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
        cube = self.read(names, ids, code, code, check=check)
        if cube.sizes["date"]:
            values = cube.values[:, 0, :].T
        else:  # no factor's matrix reaches the date (or, with check, its cursor)
            values = np.full((cube.sizes["instrument"], cube.sizes["factor"]), np.nan)
        return pd.DataFrame(values, index=pd.Index(cube["instrument"].values, name="instrument", dtype=object),
                            columns=pd.Index(cube["factor"].values, name="factor", dtype=object))

    def _read_cube(self, paths: list, rows, start: int, end: int, check: bool):
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
            read = [(first, stop) for first, stop in sections if stop > first]
            first = min((f for f, _ in read), default=0)
            stop = max((s for _, s in read), default=0)
            dates = []
            if stop > first:
                detail._get_date_by_index(first, stop - 1)  # refreshes the snapshot when it falls short
                dates = list(detail.TRADING_DATES[first:stop])
            cube = np.empty((len(paths), len(dates), len(rows)))
            if kept is not None:
                _extras._fill_cube(kept, sections, rows, first, cube, 0)
            else:
                for number, group in enumerate(groups):
                    handles = _open_for_reading(group)
                    try:
                        offset = number * OPEN_AT_ONCE
                        _extras._fill_cube(handles, sections[offset:offset + len(group)], rows, first, cube, offset)
                    finally:
                        _close_all(handles)
        finally:
            if kept is not None:
                _close_all(kept)
        return dates, cube

    # ---- writes --------------------------------------------------------------

    def write(self, date, values, *, raise_errors=True, create=False, client=None, progress=False,
              max_workers=None) -> WriteReport:
        """Stores one date into many factors: `values` maps a factor name to
        that date's values as put_factor_value takes them (or a mapping
        {order_book_id: value}). See `write_packs` for errors and options."""
        self._no_write_hooks(client, progress)
        code = date_code(date)
        jobs = {}
        for name, items in self._jobs(values, create):
            jobs[name] = _value_items(items, f"factor {name!r}")
        return self._run(jobs, lambda h5, items: detail.put_factor_value(h5, code, items), create,
                         raise_errors, max_workers)

    def write_packs(self, packs, *, raise_errors=True, create=False, client=None, progress=False,
                    max_workers=None) -> WriteReport:
        """Stores many dates into many factors: `packs` maps a factor name to
        its packs as put_factor_packs takes them.

        Every argument is checked before anything is written. Then each file
        is written by one task (files in parallel) through get_h5(path,
        write=True) and put_factor_packs; every factor is attempted. Returns
        a WriteReport; unless raise_errors is false, raises FactorWriteError
        naming every factor that failed. create=True makes missing factors."""
        self._no_write_hooks(client, progress)
        jobs = {}
        for name, factor_packs in self._jobs(packs, create):
            jobs[name] = _packs(factor_packs, f"factor {name!r}")
        return self._run(jobs, detail.put_factor_packs, create, raise_errors, max_workers)

    @staticmethod
    def _no_write_hooks(client, progress):
        if client is not None:
            raise _not_yet("writes on a dask.distributed cluster", "client=")
        if progress:
            raise _not_yet("progress reporting", "progress=True")

    def _jobs(self, by_name: Any, create: bool):
        if not isinstance(by_name, Mapping):
            raise TypeError(f"expected a mapping of factor name to values, not {type(by_name).__name__}")
        for name in by_name:
            if create:
                self.path(name)
            else:
                self._existing(name)
        return by_name.items()

    def _run(self, jobs: dict, store, create: bool, raise_errors: bool, max_workers) -> WriteReport:
        # One task per file: names that are one file (links) run in one task.
        tasks = {}
        for name in jobs:
            path = self.path(name)
            tasks.setdefault(os.path.realpath(path), []).append(name)
        outcome = {}

        def run(names):
            for name in names:
                try:
                    self._write_one(self.path(name), jobs[name], store, create)
                except Exception as error:  # reported per factor
                    outcome[name] = error
                else:
                    outcome[name] = None

        if tasks:
            workers = max_workers or max(4, os.cpu_count() or 1)
            with ThreadPoolExecutor(max_workers=min(workers, len(tasks)), thread_name_prefix="quorbel-write") as pool:
                for future in [pool.submit(run, names) for names in tasks.values()]:
                    future.result()
        report = WriteReport((name, outcome[name]) for name in jobs)
        if raise_errors and report.failed:
            raise FactorWriteError(report)
        return report

    @staticmethod
    def _write_one(path: str, payload, store, create: bool) -> None:
        if os.path.lexists(path):
            check_hdf5_signature(path)
        elif not create:
            raise FileNotFoundError(f"factor file disappeared: {path}")
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
        with detail.get_h5(path, write=True) as h5:
            store(h5, payload)


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
