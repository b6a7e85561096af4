"""FactorLibrary.read_table: the cube of read() as a tidy table in Arrow,
polars and pandas, rows without any value left out or kept."""

import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import polars as pl
import pytest

import quorbel
from quorbel.library import tables

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108, 20180109]
INDEX = {"A": 0, "B": 1, "C": 2, "D": 3, "FAR": 40}


@pytest.fixture
def lib(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments(INDEX)
    rng = np.random.default_rng(7)
    shapes = {"alpha": (5, 6), "style/beta": (4, 4)}  # beta stops short of the calendar and of row 4
    for name, shape in shapes.items():
        values = rng.normal(size=shape)
        values[rng.random(shape) < 0.4] = np.nan
        values[:, 1] = np.nan  # a date without any value in either factor
        path = tmp_path / f"{name}.h5"
        path.parent.mkdir(parents=True, exist_ok=True)
        f = detail.create_new_factor_h5(str(path), shape)
        f["data"][:, :] = values
        f["data"].attrs["cursor_col"] = shape[1] - 2
        f.close()
    return quorbel.FactorLibrary(tmp_path)


def expected_rows(cube, dropna):
    """(dates as datetime64[D], ids, values factor x row) that read() holds, by date then instrument."""
    values = cube.values.reshape(cube.shape[0], -1)
    dates = np.repeat(cube["date"].values.astype("datetime64[D]"), cube.shape[2])
    ids = np.tile(cube["instrument"].values, cube.shape[1])
    if dropna:
        kept = ~np.isnan(values).all(axis=0)
        values, dates, ids = values[:, kept], dates[kept], ids[kept]
    return dates, list(ids), values


def as_columns(table, format):
    """(dates as datetime64[D], ids, values factor x row, column names) of a table of any format."""
    if format == "arrow":
        names = table.column_names
        values = [table[n].to_numpy(zero_copy_only=False) for n in names[2:]]  # null -> NaN
        return (table["date"].to_numpy().astype("datetime64[D]"), table["order_book_id"].to_pylist(),
                np.array(values).reshape(len(values), -1), names)
    if format == "polars":
        return as_columns(table.to_arrow(), "arrow")
    names = list(table.columns)
    return (table["date"].to_numpy().astype("datetime64[D]"), list(table["order_book_id"]),
            table[names[2:]].to_numpy().T.reshape(len(names) - 2, -1), names)


READS = [
    dict(names=None, ids=None, start=None, end=None, check=False),
    dict(names=["style/beta", "alpha"], ids=["D", "A", "UNKNOWN", "FAR", "A"], start=20180103, end=20180108,
         check=False),
    dict(names=["alpha", "style/beta"], ids=["C", "B"], start=None, end=None, check=True),
]


@pytest.mark.parametrize("format", ["arrow", "polars", "pandas"])
@pytest.mark.parametrize("dropna", [True, False])
@pytest.mark.parametrize("args", READS)
def test_table_holds_what_read_holds(lib, format, dropna, args):
    cube = lib.read(**args)
    table = lib.read_table(**args, format=format, dropna=dropna)
    dates, ids, values, names = as_columns(table, format)
    want_dates, want_ids, want_values = expected_rows(cube, dropna)
    assert names == ["date", "order_book_id", *cube["factor"].values]
    np.testing.assert_array_equal(dates, want_dates)
    assert ids == want_ids
    np.testing.assert_array_equal(values, want_values)
    if dropna:
        assert not np.isnan(values).all(axis=0).any()
    else:
        assert values.shape[1] == cube.shape[1] * cube.shape[2]
        assert np.isnan(values).all(axis=0).any()  # the date without values is kept


def test_column_types_and_missing_values_in_each_format(lib):
    arrow = lib.read_table(["alpha", "style/beta"], dropna=False)
    assert arrow.schema.types == [pa.date32(), pa.string(), pa.float64(), pa.float64()]
    cube = lib.read(["alpha", "style/beta"])
    # Arrow and polars say "no value" with null, which their aggregates skip.
    assert arrow["alpha"].null_count == int(np.isnan(cube.values[0]).sum()) > 0
    assert not np.isnan(arrow["alpha"].drop_null().to_numpy()).any()
    polars = lib.read_table(["alpha", "style/beta"], format="polars", dropna=False)
    assert polars.dtypes == [pl.Date, pl.String, pl.Float64, pl.Float64]
    assert polars["alpha"].null_count() == arrow["alpha"].null_count and polars["alpha"].is_nan().sum() == 0
    assert polars["alpha"].mean() == pytest.approx(np.nanmean(cube.values[0]))
    frame = lib.read_table(["alpha", "style/beta"], format="pandas", dropna=False)
    assert list(frame.dtypes.iloc[[0, 2, 3]]) == [np.dtype("datetime64[ns]"), np.float64, np.float64]
    assert pd.api.types.is_string_dtype(frame["order_book_id"])  # pandas' own text type: str, or object before 3
    assert frame["date"].dtype == cube["date"].dtype and frame["alpha"].isna().sum() == arrow["alpha"].null_count


@pytest.mark.parametrize("format", ["arrow", "polars", "pandas"])
@pytest.mark.parametrize("selection", [
    dict(names=[]), dict(ids=[]), dict(start=20180106, end=20180107), dict(names=["alpha"], ids=["UNKNOWN"]),
])
def test_empty_selections_give_empty_tables_with_their_columns(lib, format, selection):
    table = lib.read_table(**selection, format=format)
    names = selection.get("names", lib.names())
    columns = table.column_names if format == "arrow" else list(table.columns)
    assert columns == ["date", "order_book_id", *names] and len(table) == 0
    if format == "arrow":
        assert table.schema.types == [pa.date32(), pa.string()] + [pa.float64()] * len(names)


def test_a_long_instrument_column_is_cut_into_chunks(lib, monkeypatch):
    whole = lib.read_table(["alpha"], dropna=False)
    monkeypatch.setattr(tables, "STRING_CHUNK_BYTES", 3)  # one id a chunk
    cut = lib.read_table(["alpha"], dropna=False)
    assert cut["order_book_id"].num_chunks == len(cut) > 1
    assert cut.equals(whole)
    assert lib.read_table(["alpha"], format="polars").equals(pl.from_arrow(lib.read_table(["alpha"])))


def test_bad_arguments(lib, tmp_path, detail):
    with pytest.raises(ValueError, match="'csv'.*'arrow'"):
        lib.read_table(format="csv")
    with pytest.raises(TypeError, match="format"):
        lib.read_table(format=None)
    with pytest.raises(KeyError, match="missing"):
        lib.read_table(["missing"])
    f = detail.create_new_factor_h5(str(tmp_path / "date.h5"), (2, 2))
    f.close()
    with pytest.raises(ValueError, match="'date'"):
        lib.read_table(["alpha", "date"])


def test_without_pyarrow_arrow_and_polars_name_the_extra(lib, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    for format in ("arrow", "polars"):
        with pytest.raises(ImportError, match=r"quorbel\[frames\]"):
            lib.read_table(["alpha"], format=format)
    assert len(lib.read_table(["alpha"], format="pandas")) > 0  # pandas needs neither
