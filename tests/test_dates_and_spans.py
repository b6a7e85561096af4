"""One way to write a date (read_panel, the library, the command line) and the
span of dates that hold values, which reads default to."""

import datetime

import h5py
import numpy as np
import pandas as pd
import pytest

import quorbel
from quorbel import cli
from quorbel.dates import date_code
from quorbel.spans import file_spans

# Two weeks of trading dates in December 2023 and January 2024.
CALENDAR = [20231201, 20231204, 20231205, 20231206, 20231207, 20231208, 20231211, 20231212,
            20231213, 20231214, 20231215, 20231218, 20231219, 20231220, 20231221, 20231222]
INDEX = {"A": 0, "B": 1, "C": 2}


@pytest.fixture
def calendar(detail, market):
    market.set_calendar(CALENDAR)
    market.set_instruments(INDEX)
    return CALENDAR


def factor(path, columns, rows=3, cols=len(CALENDAR) + 5, chunks=(2, 3), cursor_col=None, **layout):
    """A factor file holding values (column number + row / 10) in `columns` only."""
    values = np.full((rows, cols), np.nan)
    for c in columns:
        values[:, c] = c + np.arange(rows) / 10
    path.parent.mkdir(parents=True, exist_ok=True)
    with h5py.File(path, "w") as f:
        options = dict(chunks=chunks, maxshape=(None, None), compression="gzip", compression_opts=9,
                       fillvalue=np.nan) if chunks else {}
        options.update(layout)
        d = f.create_dataset("data", data=values, **options)
        if cursor_col is not None:
            d.attrs["cursor_col"] = np.int64(cursor_col)
    return str(path)


# ---- the parser ----------------------------------------------------------------

@pytest.mark.parametrize("value", [20231201, np.int32(20231201), "20231201", "2023-12-01", " 2023-12-01 ",
                                   datetime.date(2023, 12, 1), datetime.datetime(2023, 12, 1, 15, 30),
                                   pd.Timestamp("2023-12-01 09:30"), np.datetime64("2023-12-01T10:00")])
def test_every_form_of_one_day_is_one_code(value):
    assert date_code(value) == 20231201


@pytest.mark.parametrize("value,kind,text", [
    (231201, ValueError, "start 231201 is not a date code: give eight digits"),
    ("231201", ValueError, "start '231201' is not a date: write '20180102' or '2018-01-02'"),
    ("2023-1201", ValueError, "start '2023-1201' is not a date"),
    (20230230, ValueError, "start 20230230 is not a date code: 2023-02-30 is no calendar day"),
    (pd.NaT, ValueError, "start is NaT"),
    (np.datetime64("NaT"), ValueError, "start is NaT"),
    (True, TypeError, "start must be a date code .* not bool"),
    (20231201.0, TypeError, "not float"),
])
def test_what_is_no_day_is_refused_by_name(value, kind, text):
    with pytest.raises(kind, match=text):
        date_code(value, "start")


# ---- read_panel, the library and the command line take the same dates ----------

def test_read_panel_takes_text_and_timestamps_as_the_library_does(calendar, tmp_path):
    path = factor(tmp_path / "lib" / "f.h5", range(16))
    by_code = quorbel.read_panel(path, ["A", "B"], 20231204, 20231206)
    for start, end in [("2023-12-04", "20231206"), (pd.Timestamp("2023-12-04"), datetime.date(2023, 12, 6))]:
        assert quorbel.read_panel(path, ["A", "B"], start, end).equals(by_code)
    cube = quorbel.FactorLibrary(tmp_path / "lib").read(["f"], ["A", "B"], "2023-12-04", pd.Timestamp("2023-12-06"))
    np.testing.assert_array_equal(cube.values[0], by_code.to_numpy())


def test_a_typo_or_an_inverted_range_is_refused_everywhere(calendar, tmp_path, capsys):
    path = factor(tmp_path / "lib" / "f.h5", range(16))
    lib = quorbel.FactorLibrary(tmp_path / "lib")
    for read in (lambda s, e: quorbel.read_panel(path, ["A"], s, e), lambda s, e: lib.read(["f"], None, s, e)):
        with pytest.raises(ValueError, match="start 231201 is not a date code"):
            read(231201, 20231215)
        with pytest.raises(ValueError, match="start 20231215 lies after end 20231204"):
            read("2023-12-15", 20231204)
    assert cli.main(["show", path, "A", "--start", "231201"]) == 1
    assert "--start '231201' is not a date: write '20180102' or '2018-01-02'" in capsys.readouterr().err
    assert cli.main(["show", path, "A", "--start", "2023-12-15", "--end", "20231204"]) == 1
    assert "--start 20231215 lies after --end 20231204" in capsys.readouterr().err


def test_a_real_date_outside_the_calendar_is_clipped(calendar, tmp_path):
    path = factor(tmp_path / "f.h5", range(16))
    frame = quorbel.read_panel(path, ["A"], 20050104, "2026-12-31")
    assert len(frame) == len(CALENDAR) and frame.index[0] == pd.Timestamp("2023-12-01")


# ---- the span of dates holding values -------------------------------------------

@pytest.mark.parametrize("layout", [
    dict(chunks=(2, 3), compression="gzip", compression_opts=9),  # chunks the engine inflates itself
    dict(chunks=(2, 3), compression="gzip", shuffle=True),         # chunks through HDF5's own pipeline
    dict(),                                                       # contiguous
])
@pytest.mark.parametrize("columns", [[7], [0, 20], [4, 5, 11], [3, 19]])
def test_the_span_scan_finds_the_first_and_last_columns_with_a_value(tmp_path, layout, columns):
    values = np.full((5, 21), np.nan)
    for number, c in enumerate(columns):
        values[(number * 2) % 5, c] = 1.0  # one value a column, each in another row stripe
    path = tmp_path / "f.h5"
    with h5py.File(path, "w") as f:
        extra = dict(maxshape=(None, None), fillvalue=np.nan) if layout else {}
        f.create_dataset("data", data=values, **extra, **layout)
    (span,) = file_spans([str(path)])
    assert (span.shape, span.first_col, span.last_col) == ((5, 21), min(columns), max(columns))


def test_an_empty_matrix_and_a_broken_file_in_one_scan(calendar, tmp_path):
    empty = factor(tmp_path / "empty.h5", [], cursor_col=2)
    broken = tmp_path / "broken.h5"
    broken.write_bytes(b"\x89HDF\r\n\x1a\n" + b"\0" * 40)
    spans = file_spans([empty, str(broken)])
    assert (spans[0].first_col, spans[0].last_col, spans[0].cursor_col, spans[0].cursor_date) == \
        (None, None, 2, CALENDAR[2])
    assert isinstance(spans[1], OSError) and str(broken) in str(spans[1])


def test_a_long_scan_split_over_threads_keeps_order_errors_and_progress(calendar, tmp_path):
    # Enough files for the scan to run on several threads: each result must
    # stay with its file, and the progress heard must only ever rise.
    paths = [factor(tmp_path / f"f{k:02d}.h5", [k % 12, k % 12 + 3]) for k in range(40)]
    broken = tmp_path / "broken.h5"
    broken.write_bytes(b"\x89HDF\r\n\x1a\n" + b"\0" * 40)
    paths[23] = str(broken)
    heard = []
    spans = file_spans(paths, lambda done, total: heard.append((done, total)))
    for k, span in enumerate(spans):
        if k == 23:
            assert isinstance(span, OSError) and str(broken) in str(span)
        else:
            assert (span.path, span.first_col, span.last_col) == (paths[k], k % 12, k % 12 + 3)
    assert heard[-1] == (40, 40)
    assert [done for done, _ in heard] == sorted(done for done, _ in heard)


def test_a_read_without_dates_spans_the_dates_that_hold_values(calendar, tmp_path):
    factor(tmp_path / "lib" / "early.h5", [3, 5])
    factor(tmp_path / "lib" / "late.h5", [6, 9], cursor_col=9)
    factor(tmp_path / "lib" / "none.h5", [])
    factor(tmp_path / "lib" / "beyond.h5", [20])  # past the calendar: no date to read it at
    lib = quorbel.FactorLibrary(tmp_path / "lib")
    dates = lambda cube: [int(d.strftime("%Y%m%d")) for d in pd.DatetimeIndex(cube.date.values)]
    assert dates(lib.read()) == CALENDAR[3:10]
    assert dates(lib.read(["late"])) == CALENDAR[6:10]
    assert dates(lib.read(["early"], start=CALENDAR[4])) == CALENDAR[4:6]
    assert dates(lib.read(["early"], end=CALENDAR[4])) == CALENDAR[3:5]
    assert dates(lib.read(["early"], start=CALENDAR[8])) == []   # after every value: nothing
    assert lib.read(["none", "beyond"]).shape == (2, 0, 3)
    assert dates(lib.read(["late"], chunks=2)) == CALENDAR[6:10]
