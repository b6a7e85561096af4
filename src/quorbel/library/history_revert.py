"""Undoing commits: a factor put back as it was at a past time, as one new
commit of its own (so that the revert can be reverted in turn)."""

from __future__ import annotations

import dataclasses
from typing import Optional

import numpy as np

from .. import _extras, detail
from ..history_times import from_ns
from .catalog import _existing_path
from .history_reads import as_of_time, require_history

__all__ = ["RevertReport", "revert_factor"]


@dataclasses.dataclass(frozen=True)
class RevertReport:
    """What :meth:`FactorLibrary.revert` changed.

    Parameters
    ----------
    name : str
        The factor.
    to : pandas.Timestamp
        The time it was put back to, in UTC.
    dates : list of int
        The dates (date codes) whose values changed, ascending.
    cells : int
        How many cells changed.
    cursor_before, cursor_after : int or None
        The date of ``cursor_col`` before and after the revert (None when
        absent or beyond the calendar).

    Examples
    --------
    >>> lib = FactorLibrary("/data/factors")
    >>> report = lib.revert("value/bp", to="before-fix")
    >>> report.dates, report.cells
    ([20240104], 2)
    """

    name: str
    to: object
    dates: list
    cells: int
    cursor_before: Optional[int]
    cursor_after: Optional[int]

    @property
    def changed(self) -> bool:
        """Whether the revert committed anything."""
        return bool(self.dates) or self.cursor_before != self.cursor_after


def _date_of(column):
    from ..spans import date_of_column

    return date_of_column(column)


def _differing(now: np.ndarray, then: np.ndarray) -> np.ndarray:
    """Cells that differ bit for bit, every NaN alike (as the history counts them)."""
    same = (now.view(np.uint64) == then.view(np.uint64)) | (np.isnan(now) & np.isnan(then))
    return ~same


def revert_factor(root: str, name: str, to) -> RevertReport:
    """FactorLibrary.revert (see its docstring)."""
    when = as_of_time(root, to, "to")
    path = _existing_path(root, name)
    require_history([name], [path])
    # The write handle keeps other writers out from the read of the old
    # state to its commit, so no write lands between them unseen.
    handle = detail.get_h5(path, True)
    try:
        facts = _extras._history_facts([handle], [name], when, 0, 0)[0]
        attributes = handle["data"].attrs
        current = int(attributes["cursor_col"]) if "cursor_col" in attributes else None
        cursor = facts["cursor"]
        touched = np.asarray(facts["touched"], dtype=np.int64)
        rows, columns = handle["data"].shape
        touched = touched[touched < columns]
        changed, cells = [], 0
        if len(touched):
            lo, hi = int(touched.min()), int(touched.max()) + 1
            order = np.arange(rows, dtype=np.int64)
            now = np.empty((1, hi - lo, rows))
            _extras._fill_cube([handle], [(lo, hi)], order, lo, now, 0)
            then = now.copy()
            _extras._history_undo([handle], [name], [(lo, hi)], order, lo, then, 0, when, False)
            differ = _differing(now[0, touched - lo], then[0, touched - lo])
            per_column = differ.sum(axis=1)
            changed = [int(c) for c, n in zip(touched, per_column) if n]
            cells = int(per_column.sum())
        if changed or cursor != current:
            values = np.ascontiguousarray(then[0, np.asarray(changed, dtype=np.int64) - lo].T) if changed \
                else np.empty((rows, 0))
            detail._restore_columns(handle, changed, values, -1 if cursor is None else cursor)
    finally:
        handle.close()
    return RevertReport(name, from_ns(when), [_date_of(c) for c in changed], cells, _date_of(current),
                        _date_of(cursor))
