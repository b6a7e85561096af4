"""Reads of factors as they were at a past time, and when each date's values
first existed, from the history beside each factor file.

A read as of T fills its cube from the factor files as they are, then has the
engine undo, newest first, every commit of each file's history made after T
(``_extras._history_undo``): the cells first, the history after, so that a
commit landing in between only restores what the cells read already hold.
With ``check``, each factor is cut at its cursor as it was at T, which may lie
before or beyond the cursor it has now, so the cube is planned without the
cut and cut once the history has told the cursor.
"""

from __future__ import annotations

import os

import numpy as np

from .. import _extras, detail
from ..history_times import to_ns
from .snapshots import read_snapshots

__all__ = ["history_path", "as_of_time", "require_history", "cut_at_cursor", "read_cube_with_history",
           "known_index", "known_per_date", "widened", "plan_lazy_with_history", "read_with_history",
           "factor_known_at", "read_panel_as_of"]

_NAT = np.iinfo(np.int64).min


def history_path(path: str) -> str:
    """``<file>.history`` beside the file a path reaches (a symbolic link to a
    factor file has the history of the file it reaches)."""
    path = os.fspath(path)
    return (os.path.realpath(path) if os.path.islink(path) else path) + ".history"


def no_history_message(name: str) -> str:
    return f"{name} has no history: enable it with lib.enable_history() or `quorbel history enable`"


def require_history(names: list, paths: list) -> None:
    """ValueError naming the first factor without a history, before any file is read."""
    for name, path in zip(names, paths):
        if not os.path.exists(history_path(path)):
            raise ValueError(no_history_message(name))


def as_of_time(root, as_of, what: str = "as_of"):
    """UTC nanoseconds of an `as_of` argument, None for None; a library's
    snapshot labels count when `root` is given."""
    if as_of is None:
        return None
    return to_ns(as_of, snapshots=read_snapshots(root) if root is not None else None, what=what)


def cut_at_cursor(section: tuple, cursor) -> tuple:
    """A section of columns cut at a cursor as ``check`` cuts it: to the
    cursor's column at most, empty when it starts past the cursor."""
    first, stop = section
    if cursor is None:
        return first, stop
    return (first, min(stop, cursor + 1)) if first <= cursor else (first, first)


def known_index(times) -> "pd.DatetimeIndex":
    """First-known times (int64 ns, NaT as int64's least) as UTC Timestamps."""
    import pandas as pd

    values = np.asarray(times, dtype=np.int64).view("datetime64[ns]")
    return pd.DatetimeIndex(values, name="known").tz_localize("UTC")


def known_per_date(sections: list, times: list, times_first: int, first: int, width: int) -> np.ndarray:
    """Per date of the columns [first, first + width): the latest of the
    factors' first-known times there, each factor within its own section
    (`times[i]` covers columns from `times_first` on). A factor that never
    had a value at a date is left out: the date's row of the cube, as read,
    existed from that latest time on. NaT where no factor ever had a value."""
    latest = np.full(width, _NAT, dtype=np.int64)
    for (lo, hi), known in zip(sections, times):
        a, b = max(lo, first), min(hi, first + width)
        if known is None or b <= a:
            continue
        part = np.asarray(known, dtype=np.int64)[a - times_first:b - times_first]
        np.maximum(latest[a - first:b - first], part, out=latest[a - first:b - first])  # NaT is int64's least
    return latest


def read_cube_with_history(names: list, paths: list, rows, start: int, end: int, check: bool, progress: bool,
                           as_of, known: bool) -> tuple:
    """(date codes, cube, first-known times per date or None): the eager
    read, undone back to `as_of` (UTC ns, or None for the files as they are)."""
    from .cube_plan import _date_axis
    from .eager_reads import _read_cube

    require_history(names, paths)
    outcomes = [None] * len(paths)
    filled_from = []

    def after_fill(handles, sections, first_column, cube, offset):
        filled_from.append(first_column)
        results = _extras._history_undo(handles, names[offset:offset + len(handles)], sections, rows, first_column,
                                        cube, offset, as_of, known)
        for k, (cursor, times) in enumerate(results):
            outcomes[offset + k] = (tuple(sections[k]), cursor, times)

    # As of a past time the cursor is that time's, which the history tells after the fill.
    cut_later = check and as_of is not None
    dates, cube = _read_cube(paths, rows, start, end, check and not cut_later, progress, after_fill=after_fill)
    origin = filled_from[0] if filled_from else 0
    width = len(dates)
    sections = [o[0] if o is not None else (origin, origin) for o in outcomes]

    def positions(lo, hi):
        return min(max(lo - origin, 0), width), min(max(hi - origin, 0), width)

    if cut_later:
        cut = [cut_at_cursor(s, o[1] if o is not None else None) for s, o in zip(sections, outcomes)]
        for i, ((_, hi), (_, cut_hi)) in enumerate(zip(sections, cut)):
            lo_at, hi_at = positions(cut_hi, hi)
            cube[i, lo_at:hi_at] = np.nan
        kept, first = _date_axis(cut)
        cube = np.ascontiguousarray(cube[:, first - origin:first - origin + len(kept)]) if kept else cube[:, :0]
        dates, sections = kept, cut
    else:
        first = origin
    if not known:
        return dates, cube, None
    times = [o[2] if o is not None else None for o in outcomes]
    return dates, cube, known_per_date(sections, times, origin, first, len(dates))


def _facts(names: list, paths: list, as_of, first_column: int = 0, end_column: int = 0) -> list:
    """_history_facts of every file, opened read-only in groups."""
    from . import cube_plan
    from .cube_plan import _close_all, _open_for_reading

    facts = []
    step = cube_plan.OPEN_AT_ONCE
    for at in range(0, len(paths), step):
        handles = _open_for_reading(paths[at:at + step])
        try:
            facts.extend(_extras._history_facts(handles, names[at:at + step], as_of, first_column, end_column))
        finally:
            _close_all(handles)
    return facts


def widened(as_of):
    """What a read without one of its bounds covers beyond the dates holding
    values now: dates whose values commits after `as_of` changed."""
    def widen(names, paths):
        require_history(names, paths)
        calendar = detail.get_all_trading_dates()
        columns = [c for f in _facts(names, paths, as_of) for c in f["held"] if c < len(calendar)]
        return (calendar[min(columns)], calendar[max(columns)]) if columns else None
    return widen


def plan_lazy_with_history(names: list, paths: list, sections: list, as_of, check: bool, known: bool) -> tuple:
    """(sections, first-known times per date or None) of a lazy read: its
    sections cut at the cursors of `as_of` when `check`, from the histories
    alone (the blocks undo their cells when they are read)."""
    from .cube_plan import _date_axis

    require_history(names, paths)
    spread = [s for s in sections if s[1] > s[0]]
    lo = min((s[0] for s in spread), default=0)
    hi = max((s[1] for s in spread), default=0)
    facts = _facts(names, paths, as_of, lo, hi)
    if check and as_of is not None:
        sections = [cut_at_cursor(tuple(s), f["cursor"]) for s, f in zip(sections, facts)]
    if not known:
        return sections, None
    dates, first = _date_axis(sections)
    return sections, known_per_date(sections, [f["known"] for f in facts], lo, first, len(dates))


def read_with_history(root: str, names, ids, start, end, check: bool, per_block, progress: bool, as_of,
                      known: bool):
    """FactorLibrary.read with `as_of` or `known` (see its docstring)."""
    from .eager_reads import _labelled_cube, _read_arguments
    from .lazy_reads import _lazy_graph, _lazy_plan

    as_of = as_of_time(root, as_of)
    widen = widened(as_of) if as_of is not None else None
    names, paths, id_list, rows, start, end = _read_arguments(root, names, ids, start, end, widen=widen)
    if per_block is None:
        dates, cube, times = read_cube_with_history(names, paths, rows, start, end, check, progress, as_of, known)
    else:
        cut_later = check and as_of is not None
        tokens, sections, widths = _lazy_plan(paths, start, end, check and not cut_later)
        sections, times = plan_lazy_with_history(names, paths, sections, as_of, check, known)
        dates, cube = _lazy_graph(paths, tokens, sections, widths, rows, per_block, as_of=as_of, names=names)
    labelled = _labelled_cube(names, id_list, dates, cube)
    return (labelled, known_index(times)) if known else labelled


def factor_known_at(root: str, name: str, dates=None):
    """FactorLibrary.known_at (see its docstring)."""
    import pandas as pd

    from .arguments import date_code
    from .catalog import _existing_path
    from .eager_reads import _date_labels

    path = _existing_path(root, name)
    require_history([name], [path])
    handle = detail.get_h5(path)
    if handle is None:
        raise FileNotFoundError(f"no factor file at {path}")
    try:
        columns = handle["data"].shape[1]
        facts = _extras._history_facts([handle], [name], None, 0, columns)[0]
    finally:
        handle.close()
    times = np.asarray(facts["known"], dtype=np.int64)
    calendar = detail.get_all_trading_dates()
    if dates is None:
        written = np.flatnonzero(times[:len(calendar)] != _NAT)
        wanted = list(range(written[0], written[-1] + 1)) if len(written) else []
        codes = [calendar[c] for c in wanted]
    else:
        if isinstance(dates, (str, bytes)) or not hasattr(dates, "__iter__"):
            raise TypeError(f"dates must be a list of dates, not {type(dates).__name__}")
        codes = [date_code(d, "dates") for d in dates]
        wanted = []
        for code in codes:
            column = detail._get_date_index(code)
            if column is None:
                raise ValueError(f"{code} is not a trading date")
            wanted.append(column)
    values = np.array([times[c] if c < len(times) else _NAT for c in wanted], dtype=np.int64)
    return pd.Series(pd.DatetimeIndex(values.view("datetime64[ns]")).tz_localize("UTC"), index=_date_labels(codes),
                     name=name)


def read_panel_as_of(h5_or_path, order_book_ids, start: int, end: int, check: bool, as_numpy: bool, as_of: int):
    """quorbel.read_panel with `as_of` (see its docstring): the panel as the
    cube of one factor, filled, undone and cut as a library read is."""
    import pandas as pd

    from .cube_plan import _date_axis

    if isinstance(h5_or_path, (str, bytes)) or hasattr(h5_or_path, "__fspath__"):
        path = os.fsdecode(os.fspath(h5_or_path))
        handle = detail.get_h5(path)
        if handle is None:
            raise FileNotFoundError(2, f"no factor file at {path}", path)
        owned = True
    else:
        handle, owned = h5_or_path, False
        path = handle.filename
    try:
        require_history([path], [path])
        ids, rows = _extras._cube_instruments(list(order_book_ids))
        [section] = _extras._cube_sections([handle], start, end, False)
        dates, first = _date_axis([section])
        cube = np.empty((1, len(dates), len(rows)))
        _extras._fill_cube([handle], [section], rows, first, cube, 0)
        [(cursor, _)] = _extras._history_undo([handle], [path], [section], rows, first, cube, 0, as_of, False)
    finally:
        if owned:
            handle.close()
    if check:
        lo, hi = cut_at_cursor(tuple(section), cursor)
        keep = slice(max(lo - first, 0), max(hi - first, 0)) if hi > lo else slice(0, 0)
        dates, cube = dates[keep], cube[:, keep]
    matrix = cube[0]
    if as_numpy:
        return np.asarray(dates, dtype=np.int64), list(ids), matrix
    from .eager_reads import _date_labels

    return pd.DataFrame(matrix, index=_date_labels(dates),
                        columns=pd.Index(list(ids), dtype="object"), copy=False)
