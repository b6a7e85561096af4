"""The trading calendar: fetching it, and mapping dates to columns and back."""

import bisect
import datetime

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorbel.detail as engine

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]


class FakeCalendar:
    """Stands in for get_all_trading_dates and counts the fetches."""

    def __init__(self, dates):
        self.dates = list(dates)
        self.fetches = 0
        self.error = None

    def __call__(self):
        self.fetches += 1
        if self.error:
            raise self.error
        return self.dates


@pytest.fixture
def calendar(detail, monkeypatch):
    fake = FakeCalendar(CALENDAR)
    monkeypatch.setattr(detail, "get_all_trading_dates", fake)
    monkeypatch.setattr(detail, "TRADING_DATES", None)
    return fake


@pytest.fixture
def client_dates(detail, monkeypatch):
    """Replaces the market-data client's get_trading_dates; yields the calls it got."""
    calls = []

    def install(dates):
        def get_trading_dates(*args, **kwargs):
            calls.append((args, kwargs))
            return dates

        monkeypatch.setattr(detail, "get_trading_dates", get_trading_dates)
        return calls

    detail.get_all_trading_dates.cache_clear()
    yield install
    detail.get_all_trading_dates.cache_clear()


def test_fetch_converts_client_dates_and_drops_those_before_the_first_factor_day(detail, monkeypatch, client_dates):
    monkeypatch.setattr(detail, "MIN_FACTOR_DAY", 20180102)
    calls = client_dates([datetime.date(2017, 12, 29), datetime.date(2018, 1, 2), datetime.date(2018, 1, 3),
                          datetime.datetime(2018, 1, 4, 15, 0)])
    dates = detail.get_all_trading_dates()
    assert dates == [20180102, 20180103, 20180104]
    assert all(type(d) is int for d in dates)
    assert calls == [(("2000-01-01", "2500-01-01"), {})]
    assert detail.TRADING_DATES is None  # the fetch itself leaves the snapshot alone

    # Cached: the client is not asked again, and MIN_FACTOR_DAY counts as of the fetch.
    monkeypatch.setattr(detail, "MIN_FACTOR_DAY", 20180104)
    assert detail.get_all_trading_dates() is dates
    assert len(calls) == 1
    detail.get_all_trading_dates.cache_clear()
    assert detail.get_all_trading_dates() == [20180104]


def test_date_index(detail, calendar):
    assert detail._get_date_index(20180102) == 0
    assert calendar.fetches == 1  # the first lookup fetches, later ones use the snapshot
    assert detail.TRADING_DATES is calendar.dates
    assert detail._get_date_index(20180108) == 4
    assert detail._get_date_index(20180106) is None  # a Saturday
    assert detail._get_date_index(20171229) is None  # before the calendar
    assert calendar.fetches == 1

    assert detail._get_date_index(20180109) is None  # beyond it: one refresh, nothing new
    assert calendar.fetches == 2


def test_lookup_beyond_the_snapshot_sees_newly_fetched_dates(detail, calendar):
    detail._get_date_index(20180102)
    calendar.dates = CALENDAR + [20180109]
    assert detail._get_date_index(20180109) == 5
    assert detail.TRADING_DATES == CALENDAR + [20180109]
    assert calendar.fetches == 2


def test_date_section_index(detail, calendar):
    assert detail._get_date_section_index(20180101, 20180106) == (0, 4)
    assert detail._get_date_section_index(20180103, 20180103) == (1, 2)
    assert detail._get_date_section_index(20180106, 20180107) == (4, 4)
    assert detail._get_date_section_index(20180105, 20180103) == (3, 2)
    assert detail._get_date_section_index(20170101, 20171231) == (0, 0)
    assert detail._get_date_section_index(start_date=20180103, end_date=20180104) == (1, 3)
    assert calendar.fetches == 1
    assert detail._get_date_section_index(20180109, 20180110) == (5, 5)
    assert calendar.fetches == 2


def test_date_by_index(detail, calendar):
    assert detail._get_date_by_index(0, 4) == (20180102, 20180108)
    assert detail._get_date_by_index(e=-1, s=-5) == (20180102, 20180108)
    assert calendar.fetches == 1
    with pytest.raises(IndexError):
        detail._get_date_by_index(1, 5)
    assert calendar.fetches == 2
    with pytest.raises(IndexError):
        detail._get_date_by_index(-6, 0)
    assert calendar.fetches == 2  # only e is tested against the snapshot's length


def test_empty_calendar_fetches_on_every_lookup(detail, calendar):
    calendar.dates = []
    assert detail._get_date_index(20180102) is None
    assert detail._get_date_section_index(20180101, 20180131) == (0, 0)
    with pytest.raises(IndexError):
        detail._get_date_by_index(0, 0)
    assert calendar.fetches == 3


def test_failed_fetch_leaves_the_snapshot(detail, calendar):
    detail._get_date_index(20180102)
    snapshot = detail.TRADING_DATES
    calendar.error = ConnectionError("market data unavailable")
    with pytest.raises(ConnectionError):
        detail._get_date_index(20180110)
    assert detail.TRADING_DATES is snapshot
    assert detail._get_date_index(20180105) == 3


def test_dates_must_be_comparable_with_integer_codes(detail, calendar):
    detail._get_date_index(20180102)
    for bad in ("20180103", None, b"20180103"):
        with pytest.raises(TypeError):
            detail._get_date_index(bad)
        with pytest.raises(TypeError):
            detail._get_date_section_index(bad, 20180105)
        with pytest.raises(TypeError):
            detail._get_date_section_index(20180102, bad)
    with pytest.raises(TypeError):
        detail._get_date_by_index("0", 1)
    assert calendar.fetches == 1


def test_argument_rules(detail, calendar):
    with pytest.raises(TypeError):
        detail._get_date_index(d=20180102)
    with pytest.raises(TypeError):
        detail._get_date_index(20180102, 20180103)
    with pytest.raises(TypeError):
        detail._get_date_section_index(20180102)
    with pytest.raises(TypeError):
        detail._get_date_by_index(0, 1, 2)
    assert calendar.fetches == 0


@settings(max_examples=200, deadline=None)
@given(
    dates=st.lists(st.integers(), max_size=40, unique=True).map(sorted),
    a=st.integers(),
    b=st.integers(),
)
def test_lookups_agree_with_bisect(dates, a, b):
    # Unbounded integers take both the C++ fast path and Python's comparison.
    with pytest.MonkeyPatch.context() as m:
        m.setattr(engine, "get_all_trading_dates", lambda: dates)
        m.setattr(engine, "TRADING_DATES", dates)
        i = bisect.bisect_left(dates, a)
        assert engine._get_date_index(a) == (i if i < len(dates) and dates[i] == a else None)
        assert engine._get_date_section_index(a, b) == (i, bisect.bisect_right(dates, b))
        for d in dates[:3]:
            assert engine._get_date_index(d) == dates.index(d)


def test_real_calendar_is_sane(detail):
    detail.get_all_trading_dates.cache_clear()
    dates = detail.get_all_trading_dates()
    assert dates == sorted(set(dates))
    assert dates[0] >= detail.MIN_FACTOR_DAY
    as_days = [datetime.date(d // 10000, d // 100 % 100, d % 100) for d in dates]
    assert all(day.weekday() < 5 for day in as_days)
    for holiday in (20180101, 20181001, 20190205):  # New Year, National Day, Spring Festival
        if detail.MIN_FACTOR_DAY <= holiday <= dates[-1]:
            assert holiday not in dates
    assert 20180102 in dates
