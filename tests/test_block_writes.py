"""A block of dates handed over as arrays (the library's frame and cube
writes) must leave the file exactly as writing its dates one at a time with
put_factor_value does: cells, cursor, error and log records."""

import logging
import types

import h5py
import numpy as np
import pytest

V = types.SimpleNamespace
CALENDAR = list(range(20000101, 20000101 + 330))
SHAPE = (60, 100)  # chunks of 15 x 25, and room to grow by a step of 10


def random_block(rng, ids, sparse):
    """Sorted dates with dates off the calendar, instruments the index does
    not list, dates all NaN (or without items) and scattered NaN."""
    columns = np.sort(rng.choice(np.arange(60, 130), size=int(rng.integers(5, 40)), replace=False))
    dates = [CALENDAR[c] if rng.random() > 0.1 else 19990101 + int(c) for c in columns]
    names = ids + ["UNLISTED", "ALSO_UNLISTED"]
    if not sparse:
        values = rng.normal(size=(len(dates), len(names)))
        values[rng.random(values.shape) < 0.1] = np.nan
        values[rng.random(len(dates)) < 0.15] = np.nan
        return dates, names, values, None, None
    positions, chosen, offsets = [], [], [0]
    for _ in dates:
        count = int(rng.integers(0, len(names) // 2))
        picked = rng.choice(len(names), size=count, replace=False)
        positions.extend(picked)
        chosen.extend(rng.normal(size=count) if rng.random() > 0.15 else np.full(count, np.nan))
        offsets.append(len(positions))
    return (dates, names, np.array(chosen, dtype=np.float64), np.array(positions, dtype=np.int64),
            np.array(offsets, dtype=np.int64))


def items_of_date(block, d):
    dates, names, values, positions, offsets = block
    if positions is None:
        return [V(order_book_id=n, value=float(v)) for n, v in zip(names, values[d])]
    span = range(offsets[d], offsets[d + 1])
    return [V(order_book_id=names[positions[k]], value=float(values[k])) for k in span]


def write(detail, path, block, by_block, caplog):
    """Writes the block into a new file; returns what a test compares."""
    caplog.clear()
    outcome = None
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        try:
            if by_block:
                detail._put_factor_block(h5, *block)
            else:
                for d, date in enumerate(block[0]):
                    detail.put_factor_value(h5, date, items_of_date(block, d))
        except IndexError as error:
            outcome = str(error)
    # One growth of several steps stands for several of one step: compared apart.
    records = [(r.levelname, r.msg, tuple(str(a).replace(path, "<file>") for a in r.args))
               for r in caplog.records if not r.getMessage().startswith("Expanding")]
    with h5py.File(path, "r") as f:
        data = f["data"]
        return data[...], data.attrs.get("cursor_col"), outcome, records


@pytest.mark.parametrize("sparse", [False, True], ids=["dense", "sparse"])
@pytest.mark.parametrize("threshold", [20, 3700], ids=["bulk", "per-item"])
@pytest.mark.parametrize("seed", range(3))
def test_a_block_writes_as_its_dates_one_by_one(detail, market, monkeypatch, tmp_path, caplog, sparse, threshold,
                                                seed):
    caplog.set_level(logging.INFO)
    market.set_calendar(CALENDAR)
    ids = [f"S{i}" for i in range(70)]  # more than the matrix's rows: it grows
    market.set_instruments({k: i for i, k in enumerate(ids)})
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 10)
    monkeypatch.setattr(detail, "EXPAND_INSTRUMENT_LENGTH", 16)
    monkeypatch.setattr(detail, "BOOK_COUNT_THRESHOLD", threshold)
    block = random_block(np.random.default_rng(seed), ids, sparse)

    by_block = write(detail, str(tmp_path / "block.h5"), block, True, caplog)
    one_by_one = write(detail, str(tmp_path / "dates.h5"), block, False, caplog)

    np.testing.assert_array_equal(by_block[0], one_by_one[0])
    assert by_block[1:] == one_by_one[1:]
    # The block reaches what it is meant to exercise.
    assert by_block[0].shape[0] > SHAPE[0] and by_block[0].shape[1] > SHAPE[1]
    logged_unlisted = any("not listed" in r[1] for r in by_block[3])
    if threshold > 20 or not sparse:  # sparse dates of few items log below any threshold
        assert logged_unlisted == (threshold > 20)


def test_a_failing_date_keeps_the_dates_before_it(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments({"A": 0, "FAR": 500})
    path = str(tmp_path / "f.h5")
    # Only the third date has an item of FAR, whose row is past the matrix.
    values, positions, offsets = np.array([1.0, 2.0, 3.0, 9.0, 4.0]), np.array([0, 0, 0, 1, 0]), np.array([0, 1, 2, 4, 5])
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        with pytest.raises(IndexError, match="FAR"):
            detail._put_factor_block(h5, CALENDAR[3:7], ["A", "FAR"], values, positions, offsets)
    with h5py.File(path, "r") as f:
        assert list(f["data"][0, 3:5]) == [1.0, 2.0]
        assert np.isnan(f["data"][:, 5:]).all() and f["data"].attrs["cursor_col"] == 4


def test_a_long_backfill_grows_the_matrix_at_once(detail, market, tmp_path, caplog):
    # Three steps of columns at once; writing date by date grows step by
    # step to the same shape.
    caplog.set_level(logging.INFO)
    market.set_calendar(CALENDAR)
    market.set_instruments({"A": 0, "B": 1})
    path = str(tmp_path / "f.h5")
    values = np.arange(2.0 * 330).reshape(330, 2)
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        detail._put_factor_block(h5, CALENDAR, ["A", "B"], values)
    with h5py.File(path, "r") as f:
        assert f["data"].shape == (60, 350)
        np.testing.assert_array_equal(f["data"][:2, :330], values.T)
        assert f["data"].attrs["cursor_col"] == 329
    assert [r.getMessage() for r in caplog.records if r.getMessage().startswith("Expanding")] == [
        "Expanding the factor matrix from (60, 100) to (60, 350)"]


@pytest.mark.parametrize("arguments, kind, words", [
    (([20000101], ["A"], np.zeros((2, 1))), ValueError, "shape"),
    (([20000101], ["A"], np.zeros((1, 1), dtype=np.float32)), TypeError, "float64"),
    (([20000101], ["A"], np.zeros(1), np.array([0]), None), TypeError, "both"),
    (([20000101], ["A"], np.zeros(1), np.array([1]), np.array([0, 1])), ValueError, "outside"),
    (([20000101], ["A"], np.zeros(1), np.array([0]), np.array([0, 2])), ValueError, "offsets"),
    (([20000101, 20000102], ["A"], np.zeros(2), np.array([0, 0]), np.array([0, 3, 2])), ValueError, "fall"),
])
def test_malformed_blocks_are_refused_before_anything_is_written(detail, market, tmp_path, arguments, kind, words):
    market.set_calendar(CALENDAR)
    market.set_instruments({"A": 0})
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        with pytest.raises(kind, match=words):
            detail._put_factor_block(h5, *arguments)
    with h5py.File(path, "r") as f:
        assert np.isnan(f["data"][...]).all() and "cursor_col" not in f["data"].attrs
