"""Dates as reads and writes take them: one rule for every call of the library."""

from __future__ import annotations

import datetime
from typing import Any

import numpy as np

from .. import detail

__all__ = ["date_code"]


def date_code(value: Any, what: str = "date") -> int:
    """The date code (``20180102``) of a date given in any form the library takes.

    Parameters
    ----------
    value : int, datetime.date, numpy.datetime64, pandas.Timestamp or str
        A date code such as ``20180102``, a date or timestamp (its day is
        taken), or a text ``"20180102"`` or ``"2018-01-02"``.
    what : str, default "date"
        What the value is, for error messages (``"start"``, ``"end"``, ...).

    Returns
    -------
    int
        ``year * 10000 + month * 100 + day``.

    Raises
    ------
    TypeError
        If `value` is a bool or of a type that is no date.
    ValueError
        If `value` is text in neither form, or names no calendar day (such
        as ``20230230``).

    Examples
    --------
    >>> date_code("2018-01-02")
    20180102
    >>> import datetime
    >>> date_code(datetime.date(2018, 1, 2))
    20180102
    >>> date_code(20230230)
    Traceback (most recent call last):
        ...
    ValueError: date 20230230 is not a date code (year * 10000 + month * 100 + day)
    """
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


def _date_range(start: Any, end: Any) -> tuple:
    """(first, last) date code of a read; a bound not given is the calendar's own."""
    calendar = None
    if start is None or end is None:
        calendar = detail.get_all_trading_dates()
    start = date_code(start, "start") if start is not None else (calendar[0] if calendar else 0)
    end = date_code(end, "end") if end is not None else (calendar[-1] if calendar else 0)
    if start > end:
        raise ValueError(f"start {start} lies after end {end}")
    return start, end
