import logging
import subprocess
import sys
import textwrap

import pytest

import quorbel.detail as engine


@pytest.fixture
def detail():
    return engine


@pytest.fixture
def logs(caplog):
    """Root-logger records at INFO and above, as (level, template, args)."""
    caplog.set_level(logging.INFO)

    def records():
        return [(r.levelname, r.msg, r.args) for r in caplog.records]

    return records


def run_python(code, timeout=120, env=None):
    """Runs `code` in a fresh interpreter and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]


class Market:
    """Injects a trading calendar and an instrument index into the engine."""

    def __init__(self, detail, monkeypatch):
        self.detail = detail
        self.monkeypatch = monkeypatch
        self.fetches = []
        self.set_calendar(CALENDAR)
        self.set_instruments({})

    def set_calendar(self, dates):
        self.calendar = list(dates)
        self.monkeypatch.setattr(self.detail, "get_all_trading_dates",
                                 lambda: self.fetches.append("calendar") or self.calendar, raising=False)
        self.monkeypatch.setattr(self.detail, "TRADING_DATES", None)
        if not hasattr(self.detail, "_get_date_index"):
            import bisect

            def date_index(d):
                i = bisect.bisect_left(self.calendar, d)
                return i if i < len(self.calendar) and self.calendar[i] == d else None

            self.monkeypatch.setattr(self.detail, "_get_date_index", date_index, raising=False)

    def set_instruments(self, index):
        self.instruments = dict(index)
        self.monkeypatch.setattr(self.detail, "_get_all_instrument_index",
                                 lambda: self.fetches.append("instruments") or self.instruments, raising=False)


@pytest.fixture
def market(detail, monkeypatch):
    return Market(detail, monkeypatch)
