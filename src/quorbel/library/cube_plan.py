"""What eager and lazy reads share: opening a read's files in groups, and the
date axis of a cube that holds every file's section."""

from __future__ import annotations

from .. import detail

# Files a read keeps open at once. Larger selections are read group by group
# (each file is then opened twice: once to plan the cube, once to fill it).
# Read at each call, through this module.
OPEN_AT_ONCE = 256


def _open_for_reading(paths: list) -> list:
    """Read-only handles of every path, or none: one that fails closes those opened."""
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
