"""Write reports: what each factor's write stored and skipped (a date off the
calendar or between trading dates, an unlisted instrument), one WARNING per
call, a factor that would store nothing failed with its file untouched,
strict writes refused before anything is written, and clearing a date on
purpose."""

import hashlib
import logging
import pickle
import types

import h5py
import numpy as np
import pandas as pd
import pytest
import xarray

from quorbel import FactorLibrary
from quorbel.library import FactorWriteError
from quorbel.library.write_details import NothingStoredError, Skipped

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108, 20180109, 20180110]
INDEX = {"A": 0, "B": 1, "C": 2}
SATURDAY, BEFORE, AFTER = 20180106, 20170103, 20190102


@pytest.fixture
def lib(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments(INDEX)
    root = tmp_path / "lib"
    root.mkdir()
    for name in ("f1", "f2"):
        with detail.create_new_factor_h5(str(root / f"{name}.h5"), (3, 7)) as h5:
            detail.put_factor_value(h5, CALENDAR[0], [types.SimpleNamespace(order_book_id=k, value=9.0)
                                                      for k in INDEX])
    return FactorLibrary(str(root))


def digest(lib, name):
    with open(lib.path(name), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def stored(lib, name):
    with h5py.File(lib.path(name), "r") as f:
        return f["data"][...], int(f["data"].attrs["cursor_col"])


def warnings_of(caplog):
    return [r for r in caplog.records if r.levelno == logging.WARNING]


# ---- counting each reason ---------------------------------------------------------


@pytest.mark.parametrize("date, reason", [(SATURDAY, "not_trading_date"), (BEFORE, "outside_calendar"),
                                          (AFTER, "outside_calendar")])
def test_a_date_without_a_column_fails_the_factor_and_leaves_its_file(lib, caplog, date, reason):
    before = digest(lib, "f1")
    report = lib.write(date, {"f1": {"A": 1.0, "B": np.nan}}, raise_errors=False)
    assert isinstance(report["f1"], NothingStoredError) and not report.ok
    assert report.details["f1"].skipped == {reason: Skipped(dates=1, values=2, examples=(date,))}
    assert report.details["f1"].values_written == 0
    assert digest(lib, "f1") == before
    [warning] = warnings_of(caplog)
    assert str(date) in warning.getMessage() and "'f1'" in warning.getMessage()


def test_unlisted_ids_in_twenty_factors_fail_each_and_warn_once(lib, detail, caplog):
    names = [f"g{n:02d}" for n in range(20)]
    for name in names:
        detail.create_new_factor_h5(lib.path(name), (3, 7)).close()
    before = {name: digest(lib, name) for name in names}
    values = {name: {"600000.SH": 1.0, "000001.SZ": 2.0} for name in names}
    with pytest.raises(FactorWriteError, match="20 of 20 factor writes failed: g00: NothingStoredError") as raised:
        lib.write(20180103, values)
    report = raised.value.report
    assert {name: digest(lib, name) for name in names} == before  # no cursor set, no column written
    skipped = report.details["g07"].skipped["unlisted"]
    assert skipped == Skipped(dates=1, values=2, examples=("600000.SH", "000001.SZ"))
    [warning] = warnings_of(caplog)
    assert "write skipped 40 values of 20 of 20 factors" in warning.getMessage()
    assert "and 15 more" in warning.getMessage()
    # Carried whole across processes, details and all.
    again = pickle.loads(pickle.dumps(raised.value))
    assert again.report.details == report.details and again.report.skipped == report.skipped
    assert again.report["g00"].details.skipped == report.details["g00"].skipped


def test_a_write_that_stores_something_reports_what_it_skipped(lib, caplog):
    report = lib.write(20180103, {"f1": {"A": 1.0, "X1": 2.0, "B": np.nan}, "f2": {"C": np.nan}})
    assert report.ok
    f1 = report.details["f1"]
    assert (f1.dates_written, f1.values_written, f1.dates_all_nan) == (1, 2, 0)
    assert f1.skipped == {"unlisted": Skipped(1, 1, ("X1",))}
    # All NaN: the NaN rule leaves the column, which is no failure and no skip.
    assert (report.details["f2"].values_written, report.details["f2"].dates_all_nan) == (0, 1)
    assert report.skipped == {"f1": f1.skipped}
    assert len(warnings_of(caplog)) == 1
    caplog.clear()
    assert lib.write(20180104, {"f1": {"A": 1.0}}).details["f1"].skipped == {}
    assert warnings_of(caplog) == []


def test_packs_count_every_reason_and_store_nan(lib, caplog):
    packs = {"f1": {20180103: {"A": 1.0, "X1": 2.0, "X2": 3.0}, SATURDAY: {"A": 1.0},
                    AFTER: {"B": 1.0, "C": 2.0}, 20180104: {"A": np.nan, "B": np.nan},
                    20180105: {"X1": 5.0}, BEFORE: {"A": 1.0}}}
    report = lib.write_packs(packs)
    details = report.details["f1"]
    # put_factor_packs stores NaN like any value: the NaN-only date is written.
    assert (details.dates_written, details.values_written, details.dates_all_nan) == (2, 3, 0)
    assert details.skipped == {"not_trading_date": Skipped(1, 1, (SATURDAY,)),
                               "outside_calendar": Skipped(2, 3, (AFTER, BEFORE)),
                               "unlisted": Skipped(2, 3, ("X1", "X2"))}
    assert np.isnan(stored(lib, "f1")[0][:2, 2]).all()
    [warning] = warnings_of(caplog)
    assert "not a trading date: 1 value on 1 date, e.g. 20180106" in warning.getMessage()


# Dates out of order, one between trading dates, one past the calendar, one of NaN only.
FRAME_DATES = [20180103, SATURDAY, 20180104, AFTER, 20180105]
FRAME_IDS = ["A", "B", "X1", "X2"]
FRAME_VALUES = np.array([[1, 2, 3, np.nan], [1, 1, 1, 1], [np.nan] * 4, [5, np.nan, np.nan, np.nan],
                         [np.nan, 4, np.nan, 6]])


def frames():
    wide = pd.DataFrame(FRAME_VALUES, index=FRAME_DATES, columns=FRAME_IDS)
    long = wide.rename_axis("date").reset_index().melt(id_vars="date", var_name="order_book_id",
                                                       value_name="value")
    cube = xarray.DataArray(FRAME_VALUES[None], dims=("factor", "date", "instrument"),
                            coords={"factor": ["f1"], "date": [str(d) for d in FRAME_DATES],
                                    "instrument": FRAME_IDS})
    return {"wide": lambda lib, **kw: lib.write_frame({"f1": wide}, **kw),
            "long": lambda lib, **kw: lib.write_frame({"f1": long}, **kw),
            "cube": lambda lib, **kw: lib.write_cube(cube, **kw)}


@pytest.mark.parametrize("kind", ["wide", "long", "cube"])
def test_frames_and_cubes_count_every_reason(lib, caplog, kind):
    report = frames()[kind](lib)
    details = report.details["f1"]
    assert (details.dates_written, details.values_written, details.dates_all_nan) == (2, 4, 1)
    assert details.skipped == {"not_trading_date": Skipped(1, 4, (SATURDAY,)),
                               "outside_calendar": Skipped(1, 4, (AFTER,)),
                               "unlisted": Skipped(2, 4, ("X1", "X2"))}
    assert len(warnings_of(caplog)) == 1


def test_a_long_frame_names_only_the_unlisted_ids_it_skipped(lib):
    long = pd.DataFrame({"date": [20180103, 20180103, SATURDAY, 20180104],
                         "order_book_id": ["A", "X1", "X2", "X3"], "value": [1.0, 2.0, 3.0, 4.0]})
    details = lib.write_frame({"f1": long}).details["f1"]
    # X2 was given on a date that has no column: skipped for the date, not as an instrument.
    assert details.skipped["unlisted"] == Skipped(2, 2, ("X1", "X3"))
    assert details.skipped["not_trading_date"] == Skipped(1, 1, (SATURDAY,))
    assert (details.dates_written, details.values_written) == (1, 1)


def test_a_frame_of_unlisted_ids_fails_and_leaves_the_file(lib):
    before = digest(lib, "f2")
    frame = pd.DataFrame({"X1": [1.0, 2.0]}, index=[20180103, 20180104])
    report = lib.write_frame({"f1": frame.assign(A=[1.0, 2.0]), "f2": frame}, raise_errors=False)
    assert report["f1"] is None and isinstance(report["f2"], NothingStoredError)
    assert "unlisted instrument: 2 values on 2 dates, e.g. 'X1'" in str(report["f2"])
    assert digest(lib, "f2") == before
    # Nor is a missing factor made for values that have no place in it.
    report = lib.write(20180103, {"new/x": {"X1": 1.0}}, create=True, raise_errors=False)
    assert isinstance(report["new/x"], NothingStoredError) and "new/x" not in lib


# ---- strict ---------------------------------------------------------------------------


STRICT_CALLS = {
    "write": lambda lib, **kw: lib.write(20180103, {"f2": {"A": 1.0}, "f1": {"A": 1.0, "X9": 2.0}}, **kw),
    "write_packs": lambda lib, **kw: lib.write_packs({"f2": {20180103: {"A": 1.0}},
                                                      "f1": {20180103: {"A": 1.0}, 20180107: {"A": 1.0}}}, **kw),
    **frames(),
}


@pytest.mark.parametrize("call", list(STRICT_CALLS))
def test_strict_refuses_a_write_that_would_skip_before_anything_is_written(lib, call):
    before = {name: digest(lib, name) for name in ("f1", "f2")}
    with pytest.raises(ValueError, match=r"strict write refused, nothing was written: 1 of \d factors? would skip "
                                         r"values: 'f1' \((not a trading date|unlisted instrument)") as raised:
        STRICT_CALLS[call](lib, strict=True)
    assert "e.g." in str(raised.value)
    assert {name: digest(lib, name) for name in ("f1", "f2")} == before


def test_strict_writes_what_skips_nothing(lib):
    assert lib.write(20180103, {"f1": {"A": 1.0, "B": np.nan}}, strict=True).ok
    assert stored(lib, "f1")[0][0, 1] == 1.0


# ---- clearing a date ------------------------------------------------------------------


def test_the_nan_rule_and_clear(lib, detail, monkeypatch):
    lib.write(20180103, {"f1": {"A": 1.0, "B": 2.0, "C": 3.0}})
    lib.write(20180103, {"f1": {"A": np.nan, "B": np.nan}})  # all NaN: the column stays
    assert stored(lib, "f1")[0][:, 1].tolist() == [1.0, 2.0, 3.0]
    lib.write(20180103, {"f1": {"A": np.nan, "B": 5.0}})  # not all NaN: A is cleared
    assert np.isnan(stored(lib, "f1")[0][0, 1]) and stored(lib, "f1")[0][1, 1] == 5.0

    lib.clear("f1", "2018-01-03")
    matrix, cursor = stored(lib, "f1")  # read by h5py, after the library closed the file
    assert np.isnan(matrix[:, 1]).all() and matrix[:, 0].tolist() == [9.0] * 3 and cursor == 1
    assert lib.cross_section(20180103, ["f1"])["f1"].isna().all()
    assert lib.write(20180104, {"f1": {"B": 7.0}}).ok  # the next write works as ever
    assert stored(lib, "f1")[0][1, 2] == 7.0 and np.isnan(stored(lib, "f1")[0][1, 1])


def test_a_clear_past_the_matrix_grows_it_and_moves_the_cursor(lib, detail, monkeypatch):
    detail.create_new_factor_h5(lib.path("short"), (2, 3)).close()
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 2)
    lib.clear("short", CALENDAR[-1])  # column 6 of a 3-column matrix: two growth steps
    matrix, cursor = stored(lib, "short")
    assert matrix.shape == (2, 7) and cursor == 6 and np.isnan(matrix).all()


def test_clear_refuses_what_it_cannot_clear_and_touches_nothing(lib):
    before = digest(lib, "f1")
    for date, words in [(SATURDAY, "not a trading date"), (AFTER, "outside the calendar")]:
        with pytest.raises(ValueError, match=f"cannot clear factor 'f1' at {date}: {words}"):
            lib.clear("f1", date)
    with pytest.raises(KeyError, match="'nope'"):
        lib.clear("nope", 20180103)
    with pytest.raises(ValueError, match="not a date"):
        lib.clear("f1", "2018-13-01")
    assert digest(lib, "f1") == before


def test_the_engine_clear_logs_a_wrong_date_as_the_writers_do(lib, detail, logs):
    before = digest(lib, "f1")
    with detail.get_h5(lib.path("f1"), write=True) as h5:
        assert detail._clear_factor_date(h5, SATURDAY) is None
    assert ("INFO", "put factor %s with wrong date %s", (lib.path("f1"), SATURDAY)) in logs()
    assert digest(lib, "f1") == before
    with h5py.File(lib.path("f1"), "r") as f:
        f["data"][...]  # still readable
    with detail.get_h5(lib.path("f1")) as h5:
        with pytest.raises(OSError):
            detail._clear_factor_date(h5, 20180103)  # a read-only handle


def test_item_counts_ask_the_index_as_the_writers_do():
    from types import MappingProxyType

    from quorbel import _extras

    items = [("A", 1.0), ("X", np.nan), ("X", 2.0), ("Y", 3.0), ("B", np.nan)]
    for index in (INDEX, MappingProxyType(INDEX)):  # a plain dict, and a mapping asked with `in`
        assert _extras._count_items(items, index, 5) == (3, 2, ["X", "Y"])
    assert _extras._count_items(items, INDEX, 1) == (3, 2, ["X"])
    with pytest.raises(TypeError, match=r"\(order_book_id, float\) tuples"):
        _extras._count_items([types.SimpleNamespace(order_book_id="A", value=1.0)], INDEX, 5)
