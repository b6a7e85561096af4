"""Batches are written band by band: the dates of a batch that fall in one
chunk column are applied to the inflated chunks together and committed as
one transaction. The file, its cursor, the log and the error of every batch
must be exactly what writing the same batch date by date gives."""

import logging
import types

import h5py
import numpy as np
import pytest

from quorbel import _diagnostics

V = types.SimpleNamespace
CALENDAR = list(range(20000101, 20000101 + 330))
SHAPE = (60, 300)  # chunks of 15 x 75: four bands of four stripes


@pytest.fixture
def date_by_date():
    """Turns bands off for the duration of a with-block."""

    class Switch:
        def __enter__(self):
            _diagnostics.set_dates_by_band(False)

        def __exit__(self, *exc):
            _diagnostics.set_dates_by_band(True)

    yield Switch()
    _diagnostics.set_dates_by_band(True)


def random_batch(rng, ids, bulk):
    """Unsorted dates in runs (as a backfill gives them), repeats, dates off
    the calendar, unlisted ids, values that cannot be stored and NaN."""
    packs = []
    start = int(rng.integers(0, 300))
    for _ in range(int(rng.integers(1, 30))):
        roll = rng.random()
        if roll < 0.6:
            date = CALENDAR[min(start, len(CALENDAR) - 1)]
            start += int(rng.integers(1, 4))
        elif roll < 0.7:
            date = CALENDAR[max(0, start - int(rng.integers(2, 12)))]  # back a few dates, often in the same band
        elif roll < 0.8:
            date = CALENDAR[int(rng.integers(0, len(CALENDAR)))]
        elif roll < 0.9:
            date = packs[-1].date if packs else CALENDAR[0]  # a repeat
        else:
            date = 19990101 + int(rng.integers(0, 5))  # not a trading date
        count = int(rng.integers(0, 90 if bulk else 25))
        values = []
        for _ in range(count):
            name = ids[int(rng.integers(0, len(ids)))] if rng.random() < 0.95 else "UNLISTED"
            roll = rng.random()
            value = "n/a" if roll < 0.03 else float("nan") if roll < 0.08 else float(rng.normal())
            values.append(V(order_book_id=name, value=value))
        packs.append(V(date=date, values=values))
    return packs


def model(detail, batches, listed):
    """The matrix, cursor and outcomes that the batches must leave, worked
    out date by date in NumPy, independently of the engine."""
    matrix = np.full(SHAPE, np.nan)
    cursor, outcomes = None, []
    for packs in batches:
        columns = [CALENDAR.index(p.date) if p.date in CALENDAR else None for p in packs]
        outcome = None
        if any(c is not None for c in columns):
            rows, cols = matrix.shape
            grown = (rows + detail.EXPAND_INSTRUMENT_LENGTH if len(listed) > rows else rows,
                     cols + detail.EXPAND_TRADING_DATE_LENGTH if max(c for c in columns if c is not None) >= cols
                     else cols)
            if grown != matrix.shape:
                bigger = np.full(grown, np.nan)
                bigger[:rows, :cols] = matrix
                matrix = bigger
            for pack, column in zip(packs, columns):
                if column is None:
                    continue
                if column >= matrix.shape[1]:
                    outcome = IndexError
                    break
                cells = matrix[:, column].copy()
                known = [(listed[v.order_book_id], v.value) for v in pack.values if v.order_book_id in listed]
                if any(row >= matrix.shape[0] for row, _ in known):
                    outcome = IndexError
                    break
                for row, value in known:
                    try:
                        cells[row] = float(value)
                    except ValueError:
                        pass
                matrix[:, column] = cells
                cursor = column if cursor is None else max(cursor, column)
        outcomes.append(outcome)
    return matrix, cursor, outcomes


def write(detail, path, batches, banded, date_by_date, caplog):
    """Writes the batches into a new file; returns what a test compares."""
    caplog.clear()
    outcomes = []
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        for packs in batches:
            try:
                if banded:
                    detail.put_factor_packs(h5, packs)
                else:
                    with date_by_date:
                        detail.put_factor_packs(h5, packs)
                outcomes.append(None)
            except (IndexError, ValueError, TypeError) as error:
                outcomes.append((type(error), str(error)))
    records = [(r.levelname, r.msg, tuple(str(a).replace(path, "<file>") for a in r.args)) for r in caplog.records]
    with h5py.File(path, "r") as f:
        data = f["data"]
        return data[...], data.attrs.get("cursor_col"), outcomes, records


@pytest.mark.parametrize("bulk", [False, True], ids=["per-item", "bulk"])
@pytest.mark.parametrize("seed", range(4))
def test_banded_batches_match_date_by_date(detail, market, monkeypatch, tmp_path, caplog, date_by_date, bulk, seed):
    rng = np.random.default_rng(seed * 2 + bulk)
    caplog.set_level(logging.INFO)
    market.set_calendar(CALENDAR)
    # 70 instruments in a 60-row matrix and dates past its 300 columns: the
    # matrix grows by a step in each direction, and a batch that needs more
    # than one step fails part-way with an IndexError.
    ids = [f"S{i}" for i in range(70)]
    market.set_instruments({k: i for i, k in enumerate(ids)})
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 10)
    monkeypatch.setattr(detail, "EXPAND_INSTRUMENT_LENGTH", 16)
    if bulk:
        monkeypatch.setattr(detail, "BOOK_COUNT_THRESHOLD", 20)
    batches = [random_batch(rng, ids, bulk) for _ in range(8)]

    banded = write(detail, str(tmp_path / "banded.h5"), batches, True, date_by_date, caplog)
    reference = write(detail, str(tmp_path / "dated.h5"), batches, False, date_by_date, caplog)

    expected, cursor, outcomes = model(detail, batches, market.instruments)
    np.testing.assert_array_equal(banded[0], expected)
    assert banded[1] == cursor and [o and o[0] for o in banded[2]] == outcomes
    np.testing.assert_array_equal(banded[0], reference[0])
    assert banded[1] == reference[1]
    assert banded[2] == reference[2]
    assert banded[3] == reference[3]
    # The batches reach what they are meant to exercise.
    assert banded[0].shape != SHAPE and not np.isnan(banded[0]).all()


def test_a_failing_date_keeps_the_dates_of_its_band_before_it(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments({"A": 0, "FAR": 500})
    path = str(tmp_path / "f.h5")
    packs = [V(date=CALENDAR[c], values=[V(order_book_id="A", value=float(c))]) for c in (3, 4, 5)]
    packs.append(V(date=CALENDAR[6], values=[V(order_book_id="A", value=6.0), V(order_book_id="FAR", value=1.0)]))
    packs.append(V(date=CALENDAR[7], values=[V(order_book_id="A", value=7.0)]))
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        with pytest.raises(IndexError, match="FAR"):
            detail.put_factor_packs(h5, packs)
    with h5py.File(path, "r") as f:
        assert list(f["data"][0, 3:6]) == [3.0, 4.0, 5.0]
        assert np.isnan(f["data"][:, 6:]).all() and f["data"].attrs["cursor_col"] == 5


def test_a_batch_spanning_bands_reads_back_in_every_band(detail, market, tmp_path):
    # Each band is written once; the bands before and after must both hold
    # their dates, including a date that comes back to an earlier band.
    market.set_calendar(CALENDAR)
    ids = [f"S{i}" for i in range(60)]
    market.set_instruments({k: i for i, k in enumerate(ids)})
    path = str(tmp_path / "f.h5")
    columns = list(range(60, 170)) + [10, 61]
    rng = np.random.default_rng(5)
    expected = np.full(SHAPE, np.nan)
    packs = []
    for c in columns:
        v = rng.normal(size=60)
        expected[:, c] = v
        packs.append(V(date=CALENDAR[c], values=[V(order_book_id=k, value=float(x)) for k, x in zip(ids, v)]))
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        detail.put_factor_packs(h5, packs)
        streamed = dict(detail.get_factor_value(h5, ids[:3], CALENDAR[0], CALENDAR[299]))
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][...], expected)
        assert f["data"].attrs["cursor_col"] == 169
    np.testing.assert_array_equal(streamed["S1"], expected[1])
