"""Stand-in for the market-data client: the Shanghai Stock Exchange calendar.

The trading dates come from the ``exchange_calendars`` package (calendar
"XSHG"), as far as that calendar reaches.
"""

import datetime
import threading

_lock = threading.Lock()
_calendar = None


def init():
    """Load the trading calendar, once.

    The engine calls it at start-up (through ``quorbel.config.dravolc_init``)
    so that a client that cannot load fails the import of
    ``quorbel.detail`` rather than a later call.

    Returns
    -------
    None

    Raises
    ------
    ImportError
        When ``exchange_calendars`` is not installed.

    Examples
    --------
    >>> import dravolc
    >>> dravolc.init()
    """
    _load()


def _load():
    global _calendar
    with _lock:
        if _calendar is None:
            import exchange_calendars

            factory = exchange_calendars.calendar_utils._default_calendar_factories["XSHG"]
            _calendar = exchange_calendars.get_calendar(
                "XSHG", start=factory.bound_min(), end=factory.bound_max()
            )
        return _calendar


def _as_date(value):
    if isinstance(value, datetime.date):
        return value if not isinstance(value, datetime.datetime) else value.date()
    return datetime.date.fromisoformat(str(value))


def get_trading_dates(start_date, end_date):
    """The trading dates of the Shanghai Stock Exchange in a date range.

    Parameters
    ----------
    start_date, end_date : str or datetime.date
        ISO texts (``"2024-01-02"``) or dates, both inclusive; a
        ``datetime.datetime`` counts as its date.

    Returns
    -------
    list of datetime.date
        The trading dates, ascending, clipped to what the calendar knows.

    Raises
    ------
    ValueError
        When a text is no ISO date.

    Examples
    --------
    >>> import dravolc
    >>> dravolc.get_trading_dates("2024-01-01", "2024-01-03")
    [datetime.date(2024, 1, 2), datetime.date(2024, 1, 3)]
    """
    start, end = _as_date(start_date), _as_date(end_date)
    sessions = _load().sessions
    return [ts.date() for ts in sessions if start <= ts.date() <= end]
