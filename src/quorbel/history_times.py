"""Points in time for history: ``as_of``, ``to`` and ``before`` arguments.

Every history call takes a time the same way, so that a backtest written
against one of them means the same instant in the others. A history stores
UTC nanoseconds; this module is the one place that turns what a user gives
into them.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Mapping

import numpy as np
import pandas as pd

__all__ = ["to_ns", "from_ns", "parses_as_time"]

# An integer below this is not a plausible nanosecond time (it falls in the
# first twelve days of 1970): most likely a date code such as 20230602.
_SMALLEST_NS = 10**15


def _naive_local_ns(stamp: pd.Timestamp) -> int:
    """A naive time is the machine's local time, as ``datetime.timestamp``
    takes it (with the daylight-saving rule of that date)."""
    whole = _dt.datetime(stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second)
    return int(whole.timestamp()) * 10**9 + stamp.microsecond * 1000 + stamp.nanosecond


def to_ns(when, *, snapshots: Mapping[str, int] | None = None, what: str = "as_of") -> int:
    """UTC nanoseconds for a point in time given as a user may give it.

    Parameters
    ----------
    when : str, datetime, pandas.Timestamp, numpy.datetime64 or int
        A snapshot label (looked up in `snapshots`), a timestamp (text such
        as ``"2023-06-02 09:00"``, a datetime or a Timestamp; one with a
        time zone is converted, a naive one is the machine's local time), a
        ``numpy.datetime64`` (UTC) or an integer count of nanoseconds since
        the epoch, UTC.
    snapshots : mapping of str to int, optional
        The library's snapshot labels and their times.
    what : str
        The argument's name, for error messages.

    Returns
    -------
    int
        Nanoseconds since 1970-01-01 UTC.

    Raises
    ------
    ValueError
        `when` names no snapshot and is no timestamp, or is an integer too
        small to be nanoseconds (a date code, say).
    TypeError
        `when` is of another type.
    """
    if isinstance(when, (bool, np.bool_)):
        raise TypeError(f"{what} must be a timestamp or a snapshot label, not {when!r}")
    if isinstance(when, (int, np.integer)):
        if int(when) < _SMALLEST_NS:
            raise ValueError(
                f"{what}={int(when)} is not a time: an integer is read as nanoseconds since 1970 UTC; "
                "give a timestamp such as '2023-06-02 09:00' for a date")
        return int(when)
    if isinstance(when, str):
        if snapshots and when in snapshots:
            return int(snapshots[when])
        try:
            stamp = pd.Timestamp(when)
        except (ValueError, TypeError) as error:
            known = f" (snapshots: {', '.join(sorted(snapshots))})" if snapshots else ""
            raise ValueError(f"{what}={when!r} is neither a snapshot label{known} nor a timestamp: {error}") from None
    elif isinstance(when, np.datetime64):
        stamp = pd.Timestamp(when).tz_localize("UTC")
    elif isinstance(when, (_dt.datetime, pd.Timestamp)):
        stamp = pd.Timestamp(when)
    elif isinstance(when, _dt.date):
        stamp = pd.Timestamp(when)
    else:
        raise TypeError(f"{what} must be a timestamp or a snapshot label, not {type(when).__name__}")
    if stamp is pd.NaT:
        raise ValueError(f"{what} is not a time: {when!r}")
    if stamp.tzinfo is None:
        return _naive_local_ns(stamp)
    return int(stamp.tz_convert("UTC").value)


def from_ns(ns: int) -> pd.Timestamp:
    """The UTC Timestamp of a history time in nanoseconds."""
    return pd.Timestamp(int(ns), unit="ns", tz="UTC")


def parses_as_time(label: str) -> bool:
    """Whether a text would be read as a timestamp (snapshot labels must not)."""
    try:
        return pd.Timestamp(label) is not pd.NaT
    except (ValueError, TypeError):
        return False
