"""The panel read: the range read's values as one matrix, from handles and paths."""

import math

import h5py
import numpy as np
import pandas as pd
import pytest

import quorbel
from quorbel import _extras

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108, 20180109, 20180110]
INDEX = {"A": 0, "B": 3, "C": 7, "FAR": 40, "NEG": -1}


def write_with_h5py(path, values, cursor_col):
    with h5py.File(path, "w") as f:
        d = f.create_dataset("data", data=values, chunks=(4, 3), maxshape=(None, None),
                             compression="gzip", compression_opts=9, fillvalue=np.nan)
        d.attrs["cursor_col"] = np.int64(cursor_col)


def write_with_engine(detail, path, values, cursor_col):
    f = detail.create_new_factor_h5(path, values.shape)
    for j in range(values.shape[1]):
        f["data"][:, j] = values[:, j]
    f["data"].attrs["cursor_col"] = cursor_col
    f.close()


@pytest.fixture(params=["engine", "h5py"])
def factor_path(request, detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments(INDEX)
    values = np.arange(10 * 9, dtype="f8").reshape(10, 9) + 0.25
    values[3, 2] = np.nan
    path = str(tmp_path / "factor.h5")
    if request.param == "engine":
        write_with_engine(detail, path, values, 4)
    else:
        write_with_h5py(path, values, 4)
    return path


def range_read(detail, path, ids, start, end, check):
    with detail.get_h5(path) as h5:
        return {i: row for i, row in detail.get_factor_value(h5, ids, start, end, check)}


RANGES = [
    (20180102, 20180110, False),
    (20180103, 20180108, False),
    (20180101, 20180201, True),   # cut at cursor_col 4
    (20180109, 20180110, True),   # starts past the cursor: empty
    (20180108, 20180103, False),  # start after end: refused, empty from the engine
    (20180106, 20180107, False),  # no trading date inside
]


@pytest.mark.parametrize("start,end,check", RANGES)
def test_panel_matches_range_read_value_for_value(detail, factor_path, start, end, check):
    ids = ["C", "A", "UNKNOWN", "B", "A"]
    if start > end:
        with pytest.raises(ValueError, match=f"start {start} lies after end {end}"):
            quorbel.read_panel(factor_path, ids, start, end, check=check)
        # The engine's own read keeps the range read's rule: nothing.
        frame = _extras.read_panel(factor_path, ids, start, end, check=check)
    else:
        frame = quorbel.read_panel(factor_path, ids, start, end, check=check)
    rows = range_read(detail, factor_path, ids, start, end, check)
    assert list(frame.columns) == ["C", "A", "B", "A"]
    s = CALENDAR.index(frame.index[0].year * 10000 + frame.index[0].month * 100 + frame.index[0].day) if len(frame) else 0
    assert isinstance(frame.index, pd.DatetimeIndex)
    assert [d.strftime("%Y%m%d") for d in frame.index] == [str(c) for c in CALENDAR[s:s + len(frame)]]
    for position, order_book_id in enumerate(frame.columns):
        np.testing.assert_array_equal(frame.iloc[:, position].to_numpy(), rows[order_book_id])


def test_as_numpy_gives_date_codes_ids_and_matrix(detail, factor_path):
    dates, ids, matrix = _extras.read_panel(factor_path, ["B", "A"], 20180103, 20180105, as_numpy=True)
    assert dates.dtype == np.int64 and dates.tolist() == [20180103, 20180104, 20180105]
    assert ids == ["B", "A"]
    assert matrix.dtype == np.float64 and matrix.shape == (3, 2)
    assert math.isnan(matrix[1, 0])  # the NaN written at row 3, column 2
    assert matrix[0, 1] == 1.25 and matrix[2, 0] == 3 * 9 + 3 + 0.25


def test_rows_the_matrix_lacks_are_nan_columns_and_impossible_rows_too(detail, factor_path):
    frame = quorbel.read_panel(factor_path, ["FAR", "NEG", "A"], 20180102, 20180104)
    assert list(frame.columns) == ["FAR", "NEG", "A"]
    assert frame["FAR"].isna().all() and frame["NEG"].isna().all()
    assert frame["A"].tolist() == [0.25, 1.25, 2.25]


def test_handle_from_detail_is_accepted_and_stays_open(detail, factor_path):
    with detail.get_h5(factor_path) as h5:
        first = quorbel.read_panel(h5, ["A"], 20180102, 20180110)
        again = quorbel.read_panel(h5, ["A"], 20180102, 20180110)
        assert h5["data"].shape == (10, 9)
    assert first.equals(again)


def test_bad_arguments_raise_clear_errors(detail, factor_path, tmp_path):
    with pytest.raises(FileNotFoundError, match="no factor file"):
        quorbel.read_panel(str(tmp_path / "missing.h5"), ["A"], 20180102, 20180110)
    with pytest.raises(TypeError, match="h5 must be an open factor file"):
        quorbel.read_panel(42, ["A"], 20180102, 20180110)
    with pytest.raises(TypeError):
        quorbel.read_panel(factor_path, 7, 20180102, 20180110)


def test_wide_matrix_over_many_chunks_matches_h5py(detail, market, tmp_path):
    calendar = [int(day.strftime("%Y%m%d")) for day in pd.bdate_range("2000-01-03", periods=300)]
    market.set_calendar(calendar)
    rng = np.random.default_rng(7)
    values = rng.normal(size=(700, 300))
    values[rng.random(values.shape) < 0.3] = np.nan
    path = str(tmp_path / "wide.h5")
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=values, chunks=(64, 32), maxshape=(None, None),
                         compression="gzip", compression_opts=9, fillvalue=np.nan)
    index = {f"I{r}": r for r in range(700)}
    market.set_instruments(index)
    wanted = [f"I{r}" for r in rng.permutation(700)[:500]]
    _, ids, matrix = quorbel.read_panel(path, wanted, calendar[17], calendar[250], as_numpy=True)
    expected = values[[index[i] for i in ids], 17:251].T
    np.testing.assert_array_equal(matrix, expected)
