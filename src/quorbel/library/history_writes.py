"""Recording a library's history: starting it, moving a cursor, pruning.

A factor file keeps a history when ``<file>.history`` stands beside it; the
engine then records every write to the file there, whoever makes it. A
library records in ``<root>/.quorbel/history.json`` that its history is on,
so that a factor it creates later keeps one from its first write on.
Snapshot labels (``<root>/.quorbel/snapshots.json``, label -> ns) are what
pruning must keep readable.
"""

from __future__ import annotations

import json
import os

from .. import detail
from ..history_times import to_ns
from .arguments import date_code
from .atomic_files import write_text_atomically
from .catalog import _existing_path, _factor_names, _factor_path, check_hdf5_signature
from .instrument_snapshot import FOLDER
from .skip_counts import DateLookup
from .write_details import REASON_WORDS

__all__ = ["HistoryWrites", "enable_history", "history_marker_path", "snapshot_times", "history_at_creation"]

MARKER = "history.json"
MARKER_FORMAT = "quorbel history"
SNAPSHOTS = "snapshots.json"


def history_marker_path(root: str) -> str:
    """``<root>/.quorbel/history.json``."""
    return os.path.join(root, FOLDER, MARKER)


def _enable_file(path: str) -> bool:
    check_hdf5_signature(path)
    with detail.get_h5(path, write=True) as h5:
        return detail._enable_history(h5)


def _enable_library(root: str) -> list:
    """The marker first, so that a factor created while the existing ones
    are enabled gets its history at creation."""
    marker = history_marker_path(root)
    if not os.path.exists(marker):
        write_text_atomically(marker, json.dumps({"format": MARKER_FORMAT, "version": 1}, sort_keys=True),
                              ".history-")
    started = []
    for name in _factor_names(root):
        path = _factor_path(root, name)
        if _enable_file(path):
            started.append(path)
    return started


def enable_history(path: "str | os.PathLike") -> list:
    """Start recording the history of a factor file, or of a whole library.

    For a file, its history is started (``<file>.history``, with a baseline
    of what it holds now). For a library's folder, every factor's history is
    started and the library records that its history is on, so that
    factors it creates later keep one from their first write.

    Parameters
    ----------
    path : str or os.PathLike
        A factor file, or a library's root folder.

    Returns
    -------
    list of str
        The files whose history this call started; files that kept one
        already are left as they are.

    Raises
    ------
    FileNotFoundError
        When nothing is at `path`.
    OSError
        When a file is no factor file or cannot be written (the files
        before it keep their new history).

    Examples
    --------
    >>> from quorbel.library.history_writes import enable_history
    >>> enable_history("/data/factors")
    ['/data/factors/style/momentum_20d.h5', '/data/factors/value/bp.h5']
    """
    path = os.path.abspath(os.fspath(path))
    if os.path.isdir(path):
        return _enable_library(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"no factor file or library folder at {path}")
    return [path] if _enable_file(path) else []


def history_at_creation(path: str, h5) -> bool:
    """Starts the history of a factor file just created, when the library
    it lies in records that its history is on: the nearest folder above it
    that holds ``.quorbel`` is that library's root. False otherwise."""
    folder = os.path.dirname(os.path.abspath(path))
    while True:
        if os.path.isdir(os.path.join(folder, FOLDER)):
            return os.path.exists(history_marker_path(folder)) and detail._enable_history(h5)
        parent = os.path.dirname(folder)
        if parent == folder:
            return False
        folder = parent


def snapshot_times(root: str) -> dict:
    """{label: ns} of the library's snapshots; {} when it has none."""
    path = os.path.join(root, FOLDER, SNAPSHOTS)
    try:
        with open(path, encoding="utf-8") as f:
            content = json.load(f)
    except FileNotFoundError:
        return {}
    except json.JSONDecodeError as error:
        raise ValueError(f"{path}: the library's snapshot labels are no JSON ({error}); restore the file "
                         "from a backup") from None
    if isinstance(content, dict) and isinstance(content.get("snapshots"), dict):
        content = content["snapshots"]
    if not isinstance(content, dict) or not all(
            isinstance(t, int) and not isinstance(t, bool) for t in content.values()):
        raise ValueError(f"{path}: not the library's snapshot labels (a JSON object label -> nanoseconds)")
    return content


def set_cursor(root: str, name: str, date) -> None:
    """``cursor_col`` of a factor set to the column of `date` (None: no date
    written), lower or higher; see FactorLibrary.set_cursor."""
    path = _existing_path(root, name)
    if date is None:
        column = -1
    else:
        code = date_code(date)
        reason = DateLookup().reason(code)
        if reason is not None:
            raise ValueError(f"cannot set the cursor of factor {name!r} to {code}: {REASON_WORDS[reason]}; "
                             "give a trading date of the calendar, or None for no date written")
        column = detail._get_date_index(code)
    check_hdf5_signature(path)
    with detail.get_h5(path, write=True) as h5:
        detail._set_cursor(h5, column)


def prune_history(root: str, before) -> int:
    """Drops old values from every factor history of the library; see
    FactorLibrary.prune_history. Returns the bytes freed."""
    snapshots = snapshot_times(root)
    before_ns = to_ns(before, snapshots=snapshots, what="before")
    kept = sorted(snapshots.values())
    freed = 0
    for name in _factor_names(root):
        path = _factor_path(root, name)
        if not os.path.exists(path + ".history"):
            continue
        check_hdf5_signature(path)
        with detail.get_h5(path, write=True) as h5:
            freed += detail._prune_history(h5, before_ns, kept)
    return freed


class HistoryWrites:
    """FactorLibrary's calls that start, move or prune a factor's history
    (mixed into FactorLibrary, whose `root` they use)."""

    root: str

    def enable_history(self) -> list:
        """Start recording the history of every factor of the library.

        Each factor file gets ``<file>.history`` beside it, starting with a
        baseline of what it holds now; from then on every write to it, by
        any writer, records the old values of the cells it changes, so the
        factor can be read as it was at any later time
        (``read(..., as_of=...)``). The library records in
        ``.quorbel/history.json`` that its history is on: factors it creates
        later keep one from their first write. The factor files themselves
        do not change. Calling it again starts only what is missing.

        Returns
        -------
        list of str
            The files whose history this call started.

        Raises
        ------
        OSError
            When a file is no factor file or cannot be written (the files
            before it keep their new history; call again once it is fixed).

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.enable_history()
        ['/data/factors/style/momentum_20d.h5', '/data/factors/value/bp.h5']
        >>> lib.enable_history()
        []
        """
        return _enable_library(self.root)

    def set_cursor(self, name: str, date) -> None:
        """Set a factor's ``cursor_col`` to a date's column, lower or higher.

        Writes only ever move ``cursor_col`` forward; a mistyped future
        date moves it far ahead. This puts it where it belongs, as one
        journalled write, recorded in the factor's history when it keeps one.

        Parameters
        ----------
        name : str
            The factor.
        date : date or None
            A trading date, as ``date_code`` takes it; None for "no date
            written" (the attribute is removed).

        Raises
        ------
        KeyError
            If the library holds no factor `name`.
        ValueError
            Before the file is touched: a date that is no date, not a
            trading date, or outside the calendar.
        IndexError
            When the date's column lies past the factor's matrix.
        OSError
            Naming the file, if it is no factor file or cannot be written.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.set_cursor("value/bp", 20240102)
        >>> lib.info("value/bp").cursor_date
        20240102
        """
        set_cursor(self.root, name, date)

    def prune_history(self, before) -> int:
        """Drop the old values of history records older than a time.

        Records before the cutoff keep their times, cursors and how many
        cells each date changed, but not the old values, so reads as of a
        time before the cutoff are refused from then on. The cutoff is
        `before`, or the earliest snapshot before it: every snapshot
        (``.quorbel/snapshots.json``) stays readable. Factors without a
        history are left alone.

        Parameters
        ----------
        before : str, datetime, pandas.Timestamp, numpy.datetime64 or int
            A snapshot label or a time, as ``quorbel.history_times.to_ns``
            takes it (a naive time is the machine's local time; an integer
            is nanoseconds since the epoch, UTC).

        Returns
        -------
        int
            Bytes freed over all the histories.

        Raises
        ------
        ValueError
            For a time that is none, or a damaged history or snapshot file
            (naming it).
        OSError
            When a history cannot be rewritten (it stays as it was).

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.prune_history("2023-01-01")
        1048576
        """
        return prune_history(self.root, before)
