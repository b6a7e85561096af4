"""quorbel.read_panel: one factor file's values as a table, its dates read by
the package's one date parser (quorbel.dates) before the engine's read."""

from __future__ import annotations

from typing import Any

from . import _extras
from .dates import date_span

__all__ = ["read_panel"]


def read_panel(h5_or_path: Any, order_book_ids: Any, start_date: Any, end_date: Any, check: bool = False,
               as_numpy: bool = False, as_of: Any = None):
    """One factor's values for many instruments over a date range, as a DataFrame.

    The section's rows are read once each, in row order, so every chunk
    involved is inflated once, and all from one committed state of the file.
    Dates outside the trading calendar are clipped to it, as
    ``get_factor_value`` clips them.

    Parameters
    ----------
    h5_or_path : FactorFile or str or os.PathLike
        An open factor file (as ``quorbel.detail.get_h5`` returns it), or the
        path of one, which is opened read-only through ``get_h5`` (with its
        retries) and closed again.
    order_book_ids : iterable of str
        The instruments, in the order of the columns. Identifiers the
        instrument index does not list are dropped; duplicates are repeated;
        a listed instrument whose row the matrix does not have yet gets a
        column of NaN.
    start_date, end_date : int, str, datetime.date, numpy.datetime64 or pandas.Timestamp
        The first and last date, both inclusive: a date code ``20240102``,
        a text ``"20240102"`` or ``"2024-01-02"``, or a date or timestamp
        (its day is taken), as :func:`quorbel.dates.date_code` reads them.
    check : bool, default False
        True ends the section at ``cursor_col``, the last column any write
        has reached (a file without ``cursor_col`` is not cut).
    as_numpy : bool, default False
        True returns plain arrays instead of a DataFrame.
    as_of : str, datetime, pandas.Timestamp, numpy.datetime64 or int, optional
        Read the file as it was at this time, from its history (``<file>.history``):
        a timestamp (one with a time zone is converted, a naive one is this
        machine's local time) or UTC nanoseconds. ``check`` then cuts at
        the cursor of that time. Snapshot labels belong to a library:
        ``FactorLibrary.read`` takes them.

    Returns
    -------
    pandas.DataFrame or tuple
        One row per trading date of the section (a ``DatetimeIndex`` named
        ``date``), one float64 column per instrument, NaN where there is no
        value. Empty when (with ``check``) the section starts past
        ``cursor_col``. The section is clipped to the matrix's columns.
        With ``as_numpy=True``: ``(dates, ids, matrix)``, the date codes as
        an int64 array, the list of ids and a float64 matrix of dates x ids.

    Raises
    ------
    FileNotFoundError
        When no file is at the path.
    OSError
        Naming the file, when it is no factor file or cannot be read.
    TypeError
        When a date is of no date type.
    ValueError
        When a date is no calendar day (``231201``, ``20230230``), when
        `start_date` lies after `end_date` (naming both), when the
        handle is closed, or (with `as_of`) when the file has no history or
        its history cannot rebuild that time.

    See Also
    --------
    quorbel.detail.get_factor_value : the same rows, one instrument at a time.
    quorbel.library.FactorLibrary.read : many factors at once, as a cube.

    Examples
    --------
    >>> import types
    >>> import quorbel
    >>> import quorbel.detail as qd
    >>> item = types.SimpleNamespace(order_book_id="600000.XSHG", value=1.5)
    >>> with qd.get_h5("panel.h5", write=True) as h5:
    ...     qd.put_factor_value(h5, 20240102, [item])
    >>> quorbel.read_panel("panel.h5", ["600000.XSHG", "000001.XSHE"], "2024-01-02", 20240103)
                600000.XSHG  000001.XSHE
    date
    2024-01-02          1.5          NaN
    2024-01-03          NaN          NaN
    """
    start, end = date_span(start_date, end_date)
    if as_of is not None:
        from .history_times import to_ns
        from .library.history_reads import read_panel_as_of

        return read_panel_as_of(h5_or_path, order_book_ids, start, end, bool(check), bool(as_numpy), to_ns(as_of))
    return _extras.read_panel(h5_or_path, order_book_ids, start, end, check=check, as_numpy=as_numpy)
