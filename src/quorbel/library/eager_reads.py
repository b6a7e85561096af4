"""Eager reads: many factors gathered into one cube (factor x date x
instrument) in a single pass of the engine over all the files, on every core.

The cube is allocated once, as the NumPy array the result holds; the engine
plans each file's section of dates, then fills the cube without the GIL.
"""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np

from .. import _extras, detail
from ..progress import progress_display
from . import cube_plan
from .arguments import _date_range, date_code
from .catalog import _existing_path, _selection, check_hdf5_signature
from .cube_plan import _close_all, _date_axis, _open_for_reading
from .instrument_snapshot import cube_instruments

# Files a progress-reporting read fills at a time: enough to keep the
# engine's threads busy, few enough for the bar to move. Read at each call,
# through this module.
PROGRESS_BATCH = 8


def _read_arguments(root: str, names, ids, start, end, widen=None) -> tuple:
    """(names, their paths, instrument ids, their matrix rows, first and
    last date code) of a read, every argument checked. ``widen(names,
    paths)`` names more dates a read without bounds covers (or None)."""
    names = _selection(root, names)
    if ids is not None and (isinstance(ids, (str, bytes)) or not isinstance(ids, Iterable)):
        raise TypeError(f"ids must be a list of order_book_id, not {type(ids).__name__}")
    paths = [_existing_path(root, n) for n in names]
    for path in paths:
        check_hdf5_signature(path)
    start, end = _date_range(start, end, paths, None if widen is None else lambda: widen(names, paths))
    id_list, rows = cube_instruments(root, None if ids is None else list(ids))
    return names, paths, id_list, rows, start, end


def _read_cube(paths: list, rows, start: int, end: int, check: bool, progress: bool = False,
               after_fill=None) -> tuple:
    """(date codes, cube) of the files, filled in one pass of the engine.
    ``after_fill(handles, sections, first_column, cube, offset)`` runs after
    each fill, with those files still open (the as-of reads undo there)."""
    open_at_once = cube_plan.OPEN_AT_ONCE
    groups = [paths[i:i + open_at_once] for i in range(0, len(paths), open_at_once)]
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
        with progress_display(f"reading {len(paths)} factors", progress) as shown:
            filled = 0

            def fill(handles, offset):
                nonlocal filled
                step = PROGRESS_BATCH if progress else max(len(handles), 1)
                for i in range(0, len(handles), step):
                    part = handles[i:i + step]
                    _extras._fill_cube(part, sections[offset + i:offset + i + len(part)], rows, first,
                                       cube, offset + i)
                    if after_fill is not None:
                        after_fill(part, sections[offset + i:offset + i + len(part)], first, cube, offset + i)
                    filled += len(part)
                    shown(filled, len(paths))

            if kept is not None:
                fill(kept, 0)
            else:
                for number, group in enumerate(groups):
                    handles = _open_for_reading(group)
                    try:
                        fill(handles, number * open_at_once)
                    finally:
                        _close_all(handles)
    finally:
        if kept is not None:
            _close_all(kept)
    return dates, cube


def _date_labels(codes: list):
    import pandas as pd

    return pd.DatetimeIndex(pd.to_datetime(np.asarray(codes, dtype=np.int64).astype(str), format="%Y%m%d"),
                            name="date").astype("datetime64[ns]")


def _labelled_cube(names: list, id_list: list, dates: list, cube):
    """The cube, eager or lazy, as the DataArray a read returns."""
    import xarray

    return xarray.DataArray(cube, dims=("factor", "date", "instrument"),
                            coords={"factor": list(names), "date": _date_labels(dates),
                                    "instrument": np.asarray(id_list, dtype=object)},
                            name="value")


def _cross_section(root: str, date, names, ids, check: bool, as_of=None):
    """One trading date as a DataFrame (see FactorLibrary.cross_section)."""
    import pandas as pd

    code = date_code(date)
    if detail._get_date_index(code) is None:
        raise ValueError(f"{code} is not a trading date")
    # The cube itself, without the labelled array read() wraps it in.
    names, paths, id_list, rows, start, end = _read_arguments(root, names, ids, code, code)
    if as_of is None:
        dates, cube = _read_cube(paths, rows, start, end, bool(check))
    else:
        from .history_reads import as_of_time, read_cube_with_history

        dates, cube, _ = read_cube_with_history(names, paths, rows, start, end, bool(check), False,
                                                as_of_time(root, as_of), False)
    if len(dates):
        values = cube[:, 0, :].T
    else:  # no factor's matrix reaches the date (or, with check, its cursor)
        values = np.full((len(id_list), len(names)), np.nan)
    return pd.DataFrame(values, index=pd.Index(np.asarray(id_list, dtype=object), name="instrument", dtype=object),
                        columns=pd.Index(list(names), name="factor", dtype=object))
