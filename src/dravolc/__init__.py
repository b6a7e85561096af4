"""Stand-in for the market-data client: the Shanghai Stock Exchange calendar.

The trading dates come from the ``exchange_calendars`` package (calendar
"XSHG"), as far as that calendar reaches.
"""

import datetime
import threading

_lock = threading.Lock()
_calendar = None


def init():
    """Load the calendar; later calls do nothing."""
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
    """Trading dates from ``start_date`` to ``end_date`` (ISO texts or dates), both
    inclusive, as ascending ``datetime.date`` objects, clipped to what the
    calendar knows."""
    start, end = _as_date(start_date), _as_date(end_date)
    sessions = _load().sessions
    return [ts.date() for ts in sessions if start <= ts.date() <= end]
