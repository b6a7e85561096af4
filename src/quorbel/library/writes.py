"""Writes over many factors: their arguments checked and converted before any
file is touched, one task per file on a thread pool, and the report of every
factor's outcome.

Each factor is written through ``get_h5(path, write=True)`` and
``put_factor_value`` or ``put_factor_packs``, so every rule of those holds
per factor. Names that reach one file share a task: two tasks on one file
would find each other's write in progress.
"""

from __future__ import annotations

import collections
import functools
import os
import sys
import types
from collections.abc import Iterable, Mapping
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from typing import Any

import numpy as np

from .. import _extras, detail
from ..progress import progress_display
from .arguments import date_code
from .catalog import _existing_path, _factor_path, check_hdf5_signature
from .collector_pause import _collector_paused
from .frames import packs_of_mapping
from .history_writes import history_at_creation
from .skip_counts import DateLookup, counted_write
from .write_details import log_skips

__all__ = ["WriteReport", "FactorWriteError"]

# How often a write's progress display is brought up to date.
PROGRESS_SECONDS = 0.25


class WriteReport(dict):
    """The outcome of a write over many factors: ``{name: None or the exception}``.

    Every factor of the call is a key, in the order the call gave them; its
    value is None when its write succeeded, else the exception it raised.
    Made as any dict is. A write's report also says, in `details`, what each
    factor's write stored and what it skipped.

    Attributes
    ----------
    details : dict
        ``{name: WriteDetails}`` of the factors of a write (empty for a
        rewrite): the dates and values stored, and those skipped by reason
        with a few examples. A factor whose write raised has none, as which
        of its dates were stored is not known; a factor that stored nothing
        (a ``NothingStoredError``) has its details.

    See Also
    --------
    FactorWriteError : Raised with a report in which some factor failed.
    WriteDetails : What one factor's write stored and skipped.

    Examples
    --------
    >>> report = WriteReport({"alpha": None, "beta": OSError("disk full")})
    >>> report.ok
    False
    >>> report.failed
    {'beta': OSError('disk full')}
    """

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.details = {}

    @property
    def failed(self) -> dict:
        """The factors whose write failed.

        Returns
        -------
        dict
            ``{name: exception}``, in the report's order; empty when every
            write succeeded.

        Examples
        --------
        >>> WriteReport({"alpha": None}).failed
        {}
        """
        return {name: error for name, error in self.items() if error is not None}

    @property
    def ok(self) -> bool:
        """Whether every factor's write succeeded.

        Returns
        -------
        bool

        Examples
        --------
        >>> WriteReport({"alpha": None, "beta": None}).ok
        True
        """
        return not self.failed

    @property
    def skipped(self) -> dict:
        """What the write skipped, for the factors that skipped anything.

        Returns
        -------
        dict
            ``{name: {reason: Skipped}}``, in the report's order; empty when
            nothing was skipped. The reasons are those of
            ``WriteDetails.skipped``.

        Examples
        --------
        >>> WriteReport({"alpha": None}).skipped
        {}
        """
        return {name: details.skipped for name, details in self.details.items() if details.skipped}


class FactorWriteError(Exception):
    """Raised after a write over many factors in which some failed.

    Every factor was attempted first; the message names each one that
    failed and why.

    Parameters
    ----------
    report : WriteReport
        The outcome of every factor of the call.

    Attributes
    ----------
    report : WriteReport
        The outcome of every factor of the call.
    failures : dict
        ``{name: exception}`` of the factors that failed (``report.failed``).

    Examples
    --------
    >>> error = FactorWriteError(WriteReport({"alpha": None, "junk": OSError("not a factor file")}))
    >>> str(error)
    '1 of 2 factor writes failed: junk: OSError: not a factor file'
    >>> list(error.failures)
    ['junk']
    """

    def __init__(self, report: WriteReport):
        self.report = report
        self.failures = report.failed
        details = "; ".join(f"{name}: {type(e).__name__}: {e}" for name, e in self.failures.items())
        super().__init__(f"{len(self.failures)} of {len(report)} factor writes failed: {details}")

    def __reduce__(self):
        # Made again from its report, so that it crosses to another process
        # (multiprocessing, a Dask worker) whole.
        return type(self), (self.report,)


# ---- arguments ----------------------------------------------------------------

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
    if isinstance(packs, Mapping):
        _refuse_repeated_dates(packs, where)
        packs = packs_of_mapping(packs)
    if isinstance(packs, (str, bytes)) or not isinstance(packs, Iterable):
        raise TypeError(f"{where}: packs must be a collection of packs with date and values, or a mapping "
                        f"{{date: values}}, not {type(packs).__name__}")
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


def _refuse_repeated_dates(packs: Mapping, where: str) -> None:
    """Two keys of one date ("2024-01-02" and 20240102) leave it unsaid which is meant."""
    first_key = {}
    for key in packs:
        code = date_code(key, f"{where}: date")
        if code in first_key:
            raise ValueError(f"{where}: date {code} is given twice, as {first_key[code]!r} and {key!r}; "
                             f"say which values are meant")
        first_key[code] = key


def _converted(root: str, by_name: Any, create: bool, convert) -> dict:
    """{name: convert(its values or packs)}, every factor's checked before
    anything is written. Conversion makes a value item per instrument and
    date: the collector is paused meanwhile (see _CollectorPause)."""
    jobs = {}
    with _collector_paused():
        for name, payload in _jobs(root, by_name, create):
            jobs[name] = convert(payload, f"factor {name!r}")
    return jobs


def _jobs(root: str, by_name: Any, create: bool):
    if not isinstance(by_name, Mapping):
        raise TypeError(f"expected a mapping of factor name to values, not {type(by_name).__name__}")
    for name in by_name:
        if create:
            _factor_path(root, name)
        else:
            _existing_path(root, name)
    return by_name.items()


# ---- tasks ----------------------------------------------------------------------


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


def _write_one(path: str, kind: str, code, payload, create: bool, on_dates=None) -> None:
    """Writes one factor: a date of values ("value"), packs ("packs") or a
    block of arrays ("block"); `on_dates(done)` hears how many of a block's
    dates are done."""
    existed = os.path.lexists(path)
    if existed:
        check_hdf5_signature(path)
    elif not create:
        raise FileNotFoundError(f"factor file disappeared: {path}")
    else:
        os.makedirs(os.path.dirname(path), exist_ok=True)
    with detail.get_h5(path, write=True) as h5:
        if not existed:
            history_at_creation(path, h5)
        if kind == "value":
            detail.put_factor_value(h5, code, payload)
        elif kind == "block":
            detail._put_factor_block(h5, *payload.arguments(), on_dates)
        else:
            detail.put_factor_packs(h5, payload)


def _report(names: list, outcome: dict, raise_errors: bool) -> WriteReport:
    report = WriteReport((name, outcome[name]) for name in names)
    if raise_errors and report.failed:
        raise FactorWriteError(report)
    return report


def _write_report(names: list, outcome: dict, raise_errors: bool) -> WriteReport:
    """The report of a write whose outcome is {name: (None or the exception,
    details or None)}; one WARNING sums up what the call skipped."""
    report = WriteReport((name, outcome[name][0]) for name in names)
    report.details = {name: outcome[name][1] for name in names if outcome[name][1] is not None}
    log_skips(report.details, len(names))
    if raise_errors and report.failed:
        raise FactorWriteError(report)
    return report


def _run_on_threads(tasks: dict, run, workers: int, shown, total: int, done=None) -> dict:
    """run(key, names) -> {name: outcome} for every task on a thread pool;
    the progress display is driven from this thread only, with `done()` (the
    steps done so far, read a few times a second) or the tasks' names done."""
    outcome = {}
    shown(0, total)
    if tasks:
        with ThreadPoolExecutor(max_workers=min(workers, len(tasks)), thread_name_prefix="quorbel-write") as pool:
            pending = {pool.submit(run, key, names) for key, names in tasks.items()}
            while pending:
                finished, pending = wait(pending, timeout=PROGRESS_SECONDS, return_when=FIRST_COMPLETED)
                for future in finished:
                    outcome.update(future.result())
                shown(done() if done else len(outcome), total)
    return outcome


def _write_on_threads(tasks: dict, jobs: dict, path_of, kind: str, code, create: bool, progress: bool,
                      max_workers) -> dict:
    """{name: (None or the exception, details or None)} of a write's tasks,
    run on a thread pool. A write of many dates counts its progress in dates;
    one date into many factors counts factors."""
    dates_done = dict.fromkeys(jobs, 0)  # every key made here: threads only change values
    dates = DateLookup()

    def run(file, names):
        outcome = {}
        for name in names:
            def on_dates(done, name=name):
                dates_done[name] = done  # one writer per name: no lock needed
            outcome[name] = counted_write(_write_one, name, path_of(name), kind, code, jobs[name], create, dates,
                                          on_dates)
            dates_done[name] = len(jobs[name]) if kind != "value" else 0
        return outcome

    workers = max_workers or max(4, os.cpu_count() or 1)
    if kind == "value":
        with progress_display(f"writing {len(jobs)} factors", progress) as shown:
            return _run_on_threads(tasks, run, workers, shown, len(jobs))
    total = sum(len(payload) for payload in jobs.values())
    with progress_display(f"writing {len(jobs)} factors", progress, unit="dates") as shown:
        return _run_on_threads(tasks, run, workers, shown, total, lambda: sum(dates_done.values()))


def _rewrite_on_threads(names: list, path_of, progress: bool, max_workers) -> dict:
    """{name: None or the exception} of rewriting each factor's file (see
    FactorLibrary.rewrite), one task per file on a thread pool."""
    by_file = _tasks_by_file(names, path_of)

    def rewrite_file(_, group):
        # Through a symbolic link the real path is rewritten, once, so the
        # link stays a link. Hard links are paths of their own to one
        # file: each is rewritten in turn, each then a file of its own.
        outcome_of = {}
        for real in dict.fromkeys(os.path.realpath(path_of(name)) for name in group):
            try:
                check_hdf5_signature(real)
                detail.rewrite_factor(real)
                outcome_of[real] = None
            except Exception as error:  # reported for every name of the file
                outcome_of[real] = error
        return {name: outcome_of[os.path.realpath(path_of(name))] for name in group}

    with progress_display(f"rewriting {len(names)} factors", progress) as shown:
        return _run_on_threads(by_file, rewrite_file, max_workers or 2, shown, len(names))
