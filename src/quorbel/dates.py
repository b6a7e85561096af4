"""Dates as every reader of the package takes them: ``read_panel``, the
library and the command line parse a date here, so that one form means the
same everywhere and a typo fails loudly instead of reading from the
calendar's first date.

Examples
--------
>>> from quorbel.dates import date_code, date_span
>>> date_code("2023-12-01"), date_code(20231201)
(20231201, 20231201)
>>> date_span("2023-12-01", "2023-12-29")
(20231201, 20231229)
"""

from __future__ import annotations

import datetime
from typing import Any

import numpy as np

__all__ = ["date_code", "date_span"]

# Eight digits: a six-digit slip such as 231201 (meant as 2023-12-01) is a
# valid day of the year 23 to datetime, and would read from the calendar's start.
_FIRST_CODE, _LAST_CODE = 10000101, 99991231
_FORMS = "a date code such as 20180102, a text '20180102' or '2018-01-02', or a date"


def _text_code(value: str, what: str) -> int:
    text = value.strip()
    if len(text) == 10 and text[4] == "-" and text[7] == "-":
        text = text[:4] + text[5:7] + text[8:]
    if len(text) != 8 or not text.isascii() or not text.isdigit():
        raise ValueError(f"{what} {value!r} is not a date: write '20180102' or '2018-01-02'")
    return int(text)


def date_code(value: Any, what: str = "date") -> int:
    """The date code (``20180102``) of a date given in any form the package takes.

    Parameters
    ----------
    value : int, str, datetime.date, numpy.datetime64 or pandas.Timestamp
        An eight-digit date code such as ``20180102``, a text
        ``"20180102"`` or ``"2018-01-02"``, or a date or timestamp (its day
        is taken, whatever its time).
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
        If `value` names no calendar day: text in neither form, a code
        without eight digits (the typo ``231201``), a day that does not
        exist (``20230230``), or a missing timestamp (NaT).

    Examples
    --------
    >>> date_code("2018-01-02")
    20180102
    >>> import datetime
    >>> date_code(datetime.datetime(2018, 1, 2, 15, 0))
    20180102
    >>> date_code(231201, "start")
    Traceback (most recent call last):
        ...
    ValueError: start 231201 is not a date code: give eight digits, year * 10000 + month * 100 + day, such as 20180102
    >>> date_code(20230230)
    Traceback (most recent call last):
        ...
    ValueError: date 20230230 is not a date code: 2023-02-30 is no calendar day
    """
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be {_FORMS}, not bool")
    if isinstance(value, (int, np.integer)):
        code = int(value)
        shown = str(code)
    elif isinstance(value, np.datetime64):
        day = value.astype("datetime64[D]").item()
        if day is None:
            raise ValueError(f"{what} is NaT, not a date")
        return date_code(day, what)
    elif isinstance(value, datetime.date):
        # pandas.NaT is a datetime whose fields are NaN.
        if not isinstance(value.year, int):
            raise ValueError(f"{what} is NaT, not a date")
        return value.year * 10000 + value.month * 100 + value.day
    elif isinstance(value, str):
        code = _text_code(value, what)
        shown = repr(value)
    else:
        raise TypeError(f"{what} must be {_FORMS}, not {type(value).__name__}")
    if not _FIRST_CODE <= code <= _LAST_CODE:
        raise ValueError(f"{what} {shown} is not a date code: give eight digits, "
                         "year * 10000 + month * 100 + day, such as 20180102")
    try:
        datetime.date(code // 10000, code // 100 % 100, code % 100)
    except ValueError:
        raise ValueError(f"{what} {shown} is not a date code: {code // 10000}-{code // 100 % 100:02d}-"
                         f"{code % 100:02d} is no calendar day") from None
    return code


def date_span(start: Any, end: Any) -> tuple:
    """The date codes of a read's first and last date, checked against each other.

    Parameters
    ----------
    start, end : date
        In any form :func:`date_code` takes.

    Returns
    -------
    tuple of int
        ``(start, end)`` as date codes.

    Raises
    ------
    TypeError, ValueError
        As :func:`date_code` raises; ValueError naming both dates also when
        `start` lies after `end`.

    Examples
    --------
    >>> date_span(20231229, "2023-12-01")
    Traceback (most recent call last):
        ...
    ValueError: start 20231229 lies after end 20231201: give the earlier date first
    """
    first, last = date_code(start, "start"), date_code(end, "end")
    if first > last:
        raise ValueError(f"start {first} lies after end {last}: give the earlier date first")
    return first, last
