"""FactorLibrary.write_frame and write_cube: frames (pandas, polars, pyarrow;
wide and long) and cubes are written cell for cell as their dates written
one at a time with put_factor_value, and what is ambiguous is refused
before anything is written."""

import logging
import types

import h5py
import numpy as np
import pandas as pd
import pytest

from quorbel import FactorLibrary

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108, 20180109, 20180110, 20180111]
IDS = ["A", "B", "C", "D"]
INDEX = {"A": 0, "B": 3, "C": 7, "D": 11}


@pytest.fixture
def lib(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments(INDEX)
    root = tmp_path / "lib"
    root.mkdir()
    for name in ("f1", "f2"):
        with detail.create_new_factor_h5(str(root / f"{name}.h5"), (12, 8)) as h5:
            detail.put_factor_value(h5, CALENDAR[0], [types.SimpleNamespace(order_book_id=k, value=9.0) for k in IDS])
    return FactorLibrary(str(root))


def stored(lib, name):
    with h5py.File(lib.path(name), "r") as f:
        return f["data"][...], f["data"].attrs.get("cursor_col")


def written_date_by_date(detail, lib, tmp_path, name, by_date):
    """What put_factor_value of each date, in date order, leaves in a copy of the factor."""
    import shutil

    copy = str(tmp_path / f"reference-{name}.h5")
    shutil.copyfile(lib.path(name), copy)
    with detail.get_h5(copy, write=True) as h5:
        for date in sorted(by_date):
            detail.put_factor_value(h5, date, [types.SimpleNamespace(order_book_id=k, value=v)
                                              for k, v in by_date[date].items()])
    with h5py.File(copy, "r") as f:
        return f["data"][...], f["data"].attrs.get("cursor_col")


def wide_values(seed):
    rng = np.random.default_rng(seed)
    values = rng.normal(size=(5, len(IDS) + 1))
    values[1, 2] = np.nan
    values[3] = np.nan  # a date of NaN only leaves the file as it is
    return values


def frames_of(values, dates):
    """The same wide values as every kind of frame, wide and long."""
    import polars as pl
    import pyarrow as pa

    ids = IDS + ["UNLISTED"]
    wide = pd.DataFrame(values, index=pd.to_datetime([str(d) for d in dates]), columns=ids)
    long = wide.rename_axis("date").reset_index().melt(id_vars="date", var_name="order_book_id",
                                                       value_name="value")
    polars_wide = pl.DataFrame({"date": [pd.Timestamp(str(d)).date() for d in dates],
                                **{k: values[:, j] for j, k in enumerate(ids)}})
    return {
        "pandas wide": wide,
        "pandas wide, dates as codes": wide.set_axis(dates, axis=0),
        "pandas long": long,
        "polars wide": polars_wide,
        "polars long": pl.from_pandas(long),
        "pyarrow long": pa.Table.from_pandas(long, preserve_index=False),
        "pyarrow wide, text dates": pa.table({"date": [str(d) for d in dates],
                                              **{k: values[:, j] for j, k in enumerate(ids)}}),
    }


@pytest.mark.parametrize("kind", ["pandas wide", "pandas wide, dates as codes", "pandas long", "polars wide",
                                  "polars long", "pyarrow long", "pyarrow wide, text dates"])
def test_frames_write_as_their_dates_one_by_one(detail, lib, tmp_path, caplog, kind):
    caplog.set_level(logging.INFO)
    dates = [CALENDAR[c] for c in (4, 1, 2, 6, 3)]  # unsorted, and one date of NaN only
    values = wide_values(1)
    frame = frames_of(values, dates)[kind]
    by_date = {d: dict(zip(IDS + ["UNLISTED"], row)) for d, row in zip(dates, values)}
    expected = written_date_by_date(detail, lib, tmp_path, "f1", by_date)

    assert lib.write_frame({"f1": frame}).ok
    matrix, cursor = stored(lib, "f1")
    np.testing.assert_array_equal(matrix, expected[0])
    assert cursor == expected[1] == 6
    assert "put factor with not listed order_book_id: %s" in [r.msg for r in caplog.records]


def test_long_frames_write_only_their_pairs(detail, lib, tmp_path):
    import polars as pl
    import pyarrow as pa

    long = pd.DataFrame({"date": ["2018-01-05", "2018-01-03", "2018-01-05", "2018-01-09"],
                         "order_book_id": ["B", "A", "D", "A"], "value": [1.5, "2.5", None, True]})
    by_date = {20180105: {"B": 1.5, "D": np.nan}, 20180103: {"A": 2.5}, 20180109: {"A": 1.0}}
    expected = written_date_by_date(detail, lib, tmp_path, "f1", by_date)
    as_numbers = long.assign(value=[1.5, 2.5, np.nan, 1.0])
    for frame in (long, pl.from_pandas(as_numbers), pa.Table.from_pandas(as_numbers, preserve_index=False)):
        assert lib.write_frame({"f1": frame}).ok
        matrix, cursor = stored(lib, "f1")
        np.testing.assert_array_equal(matrix, expected[0])
        assert cursor == expected[1]


def test_a_cube_read_changed_and_written_back(lib):
    cube = lib.read(["f1", "f2"], ids=IDS, start=CALENDAR[0], end=CALENDAR[5])
    changed = cube.copy(data=np.arange(cube.size, dtype=float).reshape(cube.shape))
    assert lib.write_cube(changed.transpose("instrument", "date", "factor")).ok
    again = lib.read(["f1", "f2"], ids=IDS, start=CALENDAR[0], end=CALENDAR[5])
    np.testing.assert_array_equal(again.values, changed.values)


def test_packs_as_mappings_of_dates(detail, lib, tmp_path):
    series = pd.Series({"A": 1.0, "C": 3.0})
    assert lib.write_packs({"f1": {20180104: series, "2018-01-03": {"B": "2.0"}},
                            "f2": {pd.Timestamp("2018-01-05"): {"D": 4.0}}}).ok
    expected = written_date_by_date(detail, lib, tmp_path, "f1", {20180104: dict(series), 20180103: {"B": 2.0}})
    np.testing.assert_array_equal(stored(lib, "f1")[0], expected[0])
    assert stored(lib, "f2")[0][11, 3] == 4.0


@pytest.mark.parametrize("call, words", [
    (lambda lib: lib.write_frame({"f1": pd.DataFrame({"A": [1.0, 2.0]}, index=[20180103, "2018-01-03"])}),
     "dates given more than once: 20180103"),
    (lambda lib: lib.write_frame({"f1": pd.DataFrame([[1.0, 2.0]], index=[20180103], columns=["A", "A"])}),
     "instruments given more than once: 'A'"),
    (lambda lib: lib.write_frame({"f1": pd.DataFrame({"date": [20180103, 20180103], "order_book_id": ["A", "A"],
                                                      "value": [1.0, 2.0]})}),
     "'A' on 20180103"),
    (lambda lib: lib.write_frame({"f1": pd.DataFrame({"A": ["1.0", "n/a"]}, index=[20180103, 20180104])}),
     "'n/a' is no number"),
    (lambda lib: lib.write_frame({"f1": pd.DataFrame({"A": [1.0]}, index=[20180230])}), "20180230"),
    (lambda lib: lib.write_frame({"f1": [1.0]}), "pandas or polars DataFrame"),
    (lambda lib: lib.write_frame({"f1": pd.DataFrame({"A": []}, dtype=float)}), "no dates"),
    (lambda lib: lib.write_packs({"f1": {20180103: {"A": 1.0}, "2018-01-03": {"A": 2.0}}}), "given twice"),
    (lambda lib: lib.write_cube(lib.read(["f1"]).rename(factor="name")), "dims"),
    (lambda lib: lib.write_cube(lib.read(["f1"]).isel(instrument=[0, 0])), "instruments given more than once"),
])
def test_ambiguous_or_bad_input_writes_nothing(lib, call, words):
    before = [stored(lib, name)[0] for name in ("f1", "f2")]
    with pytest.raises((ValueError, TypeError), match=words):
        call(lib)
    for name, matrix in zip(("f1", "f2"), before):
        np.testing.assert_array_equal(stored(lib, name)[0], matrix)


def test_progress_counts_dates(lib, capsys):
    frame = pd.DataFrame(wide_values(2)[:, :4], index=CALENDAR[1:6], columns=IDS)
    lib.write_frame({"f1": frame, "f2": frame}, progress=True)
    line = capsys.readouterr().err.strip().splitlines()[-1]
    assert line.startswith("writing 2 factors [") and " 10/10 dates [" in line


def test_a_new_factor_is_backfilled_past_several_growth_steps(detail, lib, monkeypatch):
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 2)
    frame = pd.DataFrame(np.ones((len(CALENDAR), 2)), index=CALENDAR, columns=["A", "D"])
    assert lib.write_frame({"new/g": frame}, create=True).ok
    matrix, cursor = stored(lib, "new/g")
    assert cursor == len(CALENDAR) - 1 and (matrix[[0, 11], :len(CALENDAR)] == 1).all()
