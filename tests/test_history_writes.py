"""Every write to a factor file that keeps a history leaves one record per
transaction there, holding exactly what the write changed: the old values of
cells that held one, only a count for columns that held none, the cursor
before and after. The records are decoded with tests/history_reader.py,
written from the documented format alone, and undone to rebuild each
earlier state, which must be what the file held before the write."""

import os
import shutil
import subprocess
import sys
import textwrap
import types

import h5py
import numpy as np
import pytest

import history_reader as hr
from quorbel import _diagnostics

V = types.SimpleNamespace
LATER = 4 * 10**18  # a fake commit time after any real one (the baselines are dated by the real clock)
CALENDAR = list(range(20000101, 20000101 + 330))
SHAPE = (40, 300)  # chunks of 10 x 75: four bands
IDS = [f"S{i}" for i in range(40)]


@pytest.fixture
def clock(detail):
    """The commit clock, set by the test and real again afterwards."""
    yield detail._history_clock
    detail._history_clock(None)


@pytest.fixture
def one_by_one():
    _diagnostics.set_dates_by_band(False)
    yield
    _diagnostics.set_dates_by_band(True)


@pytest.fixture
def factor(detail, market, tmp_path):
    """A factor file with history on from its creation, open for writing."""
    market.set_calendar(CALENDAR)
    market.set_instruments({k: i for i, k in enumerate(IDS)})
    path = str(tmp_path / "f.h5")
    h5 = detail.create_new_factor_h5(path, SHAPE)
    assert detail._enable_history(h5) is True
    yield path, h5
    h5.close()


def items(values, ids=IDS):
    return [V(order_book_id=k, value=float(v)) for k, v in zip(ids, values)]


def state(h5):
    data = h5["data"]
    cursor = int(data.attrs["cursor_col"]) if "cursor_col" in data.attrs else -1
    return data[...], cursor


def records(path):
    return hr.read_history(hr.path_of(path)).records


def expected_entries(before, after):
    """{column: (state, cells, rows, old values)} of the change from `before` to `after`."""
    wanted = {}
    after = after[: before.shape[0], : before.shape[1]]
    for c in range(before.shape[1]):
        differ = ~((before[:, c] == after[:, c]) | (np.isnan(before[:, c]) & np.isnan(after[:, c])))
        rows = np.nonzero(differ)[0]
        if len(rows) == 0:
            continue
        if np.isnan(before[:, c]).all():
            wanted[c] = (hr.WAS_EMPTY, len(rows), None, None)
        else:
            wanted[c] = (hr.CELLS, len(rows), list(rows), list(before[rows, c]))
    return wanted


def entries_of(record):
    return {e.column: (e.state, e.cells, None if e.rows is None else list(e.rows),
                       None if e.old is None else list(e.old)) for e in record.entries}


def undone(h5, path, new_records):
    """The file's state with `new_records` undone, newest first."""
    matrix, cursor = state(h5)
    for record in reversed(new_records):
        cursor = hr.undo(matrix, record)
    return matrix, cursor


def assert_undoes_to(h5, path, count_before, before, before_cursor):
    """The records a step appended undo it exactly; returns the new count."""
    found = records(path)
    matrix, cursor = undone(h5, path, found[count_before:])
    rows, cols = before.shape
    np.testing.assert_array_equal(matrix[:rows, :cols], before)
    assert np.isnan(matrix[rows:]).all() and np.isnan(matrix[:, cols:]).all()
    assert cursor == before_cursor
    return len(found)


# ---- each writer records what it changed ------------------------------------------


def test_a_first_write_costs_one_entry_of_state_0(detail, factor, clock):
    path, h5 = factor
    clock(2_000_000_000_000_000_000)
    detail.put_factor_value(h5, CALENDAR[5], items(np.arange(30.0), IDS[:30]))
    history = hr.read_history(hr.path_of(path))
    baseline, first = history.records
    assert (baseline.kind, baseline.seq, baseline.entries) == (hr.BASELINE, 1, [])
    assert (first.kind, first.seq, first.time) == (hr.COMMIT, 2, 2_000_000_000_000_000_000)
    assert (first.cursor_before, first.cursor_after) == (-1, 5)
    assert [(e.column, e.state, e.cells) for e in first.entries] == [(5, hr.WAS_EMPTY, 30)]
    assert first.size == hr.HEAD.size + hr.ENTRY.size + hr.TRAILER.size  # 16 bytes of payload


def test_a_revision_keeps_the_old_value_of_every_changed_cell_and_no_other(detail, factor):
    path, h5 = factor
    first = np.arange(40.0)
    detail.put_factor_value(h5, CALENDAR[7], items(first))
    before, cursor = state(h5)
    revised = first.copy()
    revised[[2, 9, 33]] = [-1.0, np.nan, 0.5]
    detail.put_factor_value(h5, CALENDAR[7], items(revised))
    last = records(path)[-1]
    assert entries_of(last) == {7: (hr.CELLS, 3, [2, 9, 33], [2.0, 9.0, 33.0])}
    assert (last.cursor_before, last.cursor_after) == (7, 7)
    assert_undoes_to(h5, path, len(records(path)) - 1, before, cursor)


def test_a_wide_revision_keeps_its_old_values_deflated_and_a_narrow_one_plain(detail, market, tmp_path):
    ids = [f"W{i}" for i in range(600)]
    market.set_calendar(CALENDAR)
    market.set_instruments({k: i for i, k in enumerate(ids)})
    path = str(tmp_path / "wide.h5")
    h5 = detail.create_new_factor_h5(path, (600, 20))
    try:
        detail._enable_history(h5)
        first = np.random.default_rng(7).standard_normal(600)
        first[::13] = np.nan
        detail.put_factor_value(h5, CALENDAR[3], items(first, ids))
        before, cursor = state(h5)
        detail.put_factor_value(h5, CALENDAR[3], items(first * 2 + 1, ids))
        wide = records(path)[-1]
        assert [(e.state, e.deflated, e.cells) for e in wide.entries] == [(hr.CELLS, True, 600 - 47)]
        assert entries_of(wide) == expected_entries(before, state(h5)[0])
        assert wide.size < hr.HEAD.size + hr.ENTRY.size + (600 - 47) * 12 + hr.TRAILER.size
        assert_undoes_to(h5, path, len(records(path)) - 1, before, cursor)
        detail.put_factor_value(h5, CALENDAR[3], items(np.zeros(10), ids[:10]))
        assert [(e.state, e.deflated, e.cells) for e in records(path)[-1].entries] == [(hr.CELLS, False, 10)]
    finally:
        h5.close()


def test_writes_that_change_nothing_record_nothing(detail, factor):
    path, h5 = factor
    values = np.linspace(1, 2, 40)
    detail.put_factor_value(h5, CALENDAR[9], items(values))
    count = len(records(path))
    detail.put_factor_value(h5, CALENDAR[9], items(values))                 # the same values again
    detail.put_factor_value(h5, CALENDAR[3], items(np.full(40, np.nan)))    # NaN below the cursor
    detail.put_factor_packs(h5, [V(date=CALENDAR[9], values=items(values[:5], IDS[:5]))])
    h5["data"][0, 9] = values[0]
    assert len(records(path)) == count


def test_a_cursor_step_alone_is_a_record_without_entries(detail, factor):
    path, h5 = factor
    detail.put_factor_value(h5, CALENDAR[4], items(np.ones(40)))
    detail.put_factor_value(h5, CALENDAR[12], items(np.full(40, np.nan)))
    last = records(path)[-1]
    assert (last.cursor_before, last.cursor_after, last.entries) == (4, 12, [])


@pytest.mark.parametrize("dates", ["banded", "one by one"])
def test_a_batch_is_recorded_per_transaction_and_undoes_to_what_was_there(detail, factor, request, dates):
    if dates == "one by one":
        request.getfixturevalue("one_by_one")
    path, h5 = factor
    rng = np.random.default_rng(3)
    detail.put_factor_packs(h5, [V(date=CALENDAR[c], values=items(rng.normal(size=40))) for c in range(60, 90)])
    before, cursor = state(h5)
    count = len(records(path))
    # Two bands, dates written twice in one batch (the record holds what the
    # first write found), old dates revised in part and new dates.
    columns = [70, 71, 70, 80, 95, 100, 71, 140, 150, 60]
    packs = []
    for c in columns:
        values = rng.normal(size=40)
        values[rng.random(40) < 0.3] = np.nan
        packs.append(V(date=CALENDAR[c], values=items(values)))
    detail.put_factor_packs(h5, packs)
    after, _ = state(h5)
    new = records(path)[count:]
    assert len(new) == (1 if dates == "banded" else len(columns))
    if dates == "banded":
        assert entries_of(new[0]) == expected_entries(before, after)
        assert (new[0].cursor_before, new[0].cursor_after) == (89, 150)
    assert_undoes_to(h5, path, count, before, cursor)


def test_a_dense_and_a_sparse_block_and_a_clear_are_recorded(detail, factor):
    path, h5 = factor
    rng = np.random.default_rng(4)
    dense = rng.normal(size=(6, 40))
    dense[2] = np.nan  # a date of NaN: only the cursor
    detail._put_factor_block(h5, CALENDAR[20:26], list(IDS), dense)
    before, cursor = state(h5)
    count = len(records(path))
    values = np.array([1.0, 2.0, 3.0])
    detail._put_factor_block(h5, CALENDAR[21:23], ["S0", "S5", "S9"], values,
                             np.array([0, 1, 2], dtype=np.int64), np.array([0, 2, 3], dtype=np.int64))
    after, _ = state(h5)
    assert entries_of(records(path)[-1]) == expected_entries(before, after)
    count = assert_undoes_to(h5, path, count, before, cursor)
    before, cursor = state(h5)
    detail._clear_factor_date(h5, CALENDAR[23])
    assert entries_of(records(path)[-1]) == {23: (hr.CELLS, 40, list(range(40)), list(before[:, 23]))}
    assert_undoes_to(h5, path, count, before, cursor)


def test_writes_through_the_dataset_view_record_the_columns_they_touch(detail, factor):
    path, h5 = factor
    detail.put_factor_value(h5, CALENDAR[1], items(np.arange(40.0)))
    before, cursor = state(h5)
    count = len(records(path))
    h5["data"][5:8, 1:3] = 9.0
    assert entries_of(records(path)[-1]) == {1: (hr.CELLS, 3, [5, 6, 7], [5.0, 6.0, 7.0]),
                                             2: (hr.WAS_EMPTY, 3, None, None)}
    count = assert_undoes_to(h5, path, count, before, cursor)
    h5["data"].attrs["cursor_col"] = 40
    assert (records(path)[-1].cursor_before, records(path)[-1].cursor_after) == (1, 40)


def test_restore_columns_is_one_record_and_writes_nan_too(detail, factor):
    path, h5 = factor
    rng = np.random.default_rng(5)
    detail.put_factor_packs(h5, [V(date=CALENDAR[c], values=items(rng.normal(size=40))) for c in (10, 11, 200)])
    before, cursor = state(h5)
    count = len(records(path))
    back = np.full((40, 3), np.nan)
    back[:5, 0] = 1.0
    detail._restore_columns(h5, [11, 200, 12], back, 10)
    after, after_cursor = state(h5)
    np.testing.assert_array_equal(after[:, [11, 200, 12]], back)
    assert after_cursor == 10 and len(records(path)) == count + 1
    assert entries_of(records(path)[-1]) == expected_entries(before, after)
    assert_undoes_to(h5, path, count, before, cursor)


@pytest.mark.parametrize("columns", [10, 150], ids=["a few kB", "over 64 kB"])
def test_the_next_record_follows_a_large_one(detail, factor, columns):
    path, h5 = factor
    rng = np.random.default_rng(9)
    detail._put_factor_block(h5, CALENDAR[:columns], list(IDS), rng.normal(size=(columns, 40)))
    detail._restore_columns(h5, list(range(columns)), rng.normal(size=(40, columns)), columns - 1)
    detail.put_factor_value(h5, CALENDAR[columns], items(np.ones(40)))
    history = hr.read_history(hr.path_of(path))
    assert [r.seq for r in history.records] == [1, 2, 3, 4] and history.end == history.size
    assert history.records[2].size > (64 * 1024 if columns == 150 else 4096)


def test_set_cursor_lowers_and_removes_the_cursor_and_refuses_what_is_not_a_column(detail, factor):
    path, h5 = factor
    detail.put_factor_value(h5, CALENDAR[30], items(np.ones(40)))
    detail._set_cursor(h5, 2)
    detail._set_cursor(h5, -1)
    assert "cursor_col" not in h5["data"].attrs
    assert [(r.cursor_before, r.cursor_after) for r in records(path)[-2:]] == [(30, 2), (2, -1)]
    count = len(records(path))
    with pytest.raises(ValueError, match="f.h5.*-2"):
        detail._set_cursor(h5, -2)
    with pytest.raises(IndexError, match="f.h5.*300 columns"):
        detail._set_cursor(h5, 300)
    with pytest.raises(IndexError, match="f.h5"):
        detail._restore_columns(h5, [300], np.zeros((40, 1)), 0)
    with pytest.raises(ValueError, match="twice"):
        detail._restore_columns(h5, [3, 3], np.zeros((40, 2)), 0)
    with pytest.raises(ValueError, match=r"shape \(40, 1\)"):
        detail._restore_columns(h5, [3, 4], np.zeros((40, 1)), 0)
    assert len(records(path)) == count


def test_every_state_is_rebuilt_after_a_random_run_of_every_writer(detail, factor, clock):
    path, h5 = factor
    rng = np.random.default_rng(11)
    states, times = [], []
    for step in range(40):
        clock(LATER + step * 1000)
        kind = rng.integers(0, 6)
        column = int(rng.integers(0, 160))
        values = rng.normal(size=40)
        values[rng.random(40) < 0.4] = np.nan
        if kind == 0:
            detail.put_factor_value(h5, CALENDAR[column], items(values))
        elif kind == 1:
            cols = sorted(set(int(c) for c in rng.integers(0, 160, size=5)))
            detail.put_factor_packs(h5, [V(date=CALENDAR[c], values=items(rng.normal(size=40))) for c in cols])
        elif kind == 2:
            detail._put_factor_block(h5, CALENDAR[column:column + 3], list(IDS), rng.normal(size=(3, 40)))
        elif kind == 3:
            detail._clear_factor_date(h5, CALENDAR[column])
        elif kind == 4:
            h5["data"][int(rng.integers(0, 40)), column] = float(values[0])
        else:
            detail._restore_columns(h5, [column], values[:, None], int(rng.integers(-1, 160)))
        states.append(state(h5))
        times.append(LATER + step * 1000)
    history = hr.read_history(hr.path_of(path))
    assert [r.seq for r in history.records] == list(range(1, len(history.records) + 1))
    matrix, cursor = state(h5)
    for (expected, expected_cursor), t in zip(states, times):
        rebuilt, rebuilt_cursor = hr.as_of(matrix, cursor, history, t + 999)
        np.testing.assert_array_equal(rebuilt, expected)
        assert rebuilt_cursor == expected_cursor


# ---- time -----------------------------------------------------------------------


def test_commit_times_never_go_back_even_when_the_clock_does(detail, factor, clock):
    path, h5 = factor
    for t, column in ((5_000_000_000_000_000_000, 1), (4_000_000_000_000_000_000, 2),
                      (4_000_000_000_000_000_000, 3)):
        clock(t)
        detail.put_factor_value(h5, CALENDAR[column], items(np.ones(40)))
    clock(None)
    detail.put_factor_value(h5, CALENDAR[4], items(np.ones(40)))
    times = [r.time for r in records(path)[1:]]
    assert times == [5 * 10**18, 5 * 10**18 + 1, 5 * 10**18 + 2, 5 * 10**18 + 3]


# ---- the factor file and the history file -----------------------------------------


def test_h5py_reads_a_file_with_history_exactly_as_one_without(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments({k: i for i, k in enumerate(IDS)})
    rng = np.random.default_rng(6)
    batches = [[V(date=CALENDAR[c], values=items(rng.normal(size=40))) for c in range(s, s + 30)]
               for s in (0, 20, 200)]
    paths = [str(tmp_path / "with.h5"), str(tmp_path / "without.h5")]
    for path in paths:
        with detail.create_new_factor_h5(path, SHAPE) as h5:
            if path == paths[0]:
                detail._enable_history(h5)
            for packs in batches:
                detail.put_factor_packs(h5, packs)
            detail._clear_factor_date(h5, CALENDAR[25])
    assert os.path.exists(paths[0] + ".history") and not os.path.exists(paths[1] + ".history")
    with h5py.File(paths[0], "r") as a, h5py.File(paths[1], "r") as b:
        assert list(a) == list(b) == ["data"] and dict(a.attrs) == dict(b.attrs) == {}
        da, db = a["data"], b["data"]
        assert dict(da.attrs) == dict(db.attrs) == {"cursor_col": 229}
        assert (da.shape, da.chunks, da.dtype, da.compression, da.compression_opts, da.maxshape) == \
               (db.shape, db.chunks, db.dtype, db.compression, db.compression_opts, db.maxshape)
        np.testing.assert_array_equal(da.fillvalue, db.fillvalue)
        np.testing.assert_array_equal(da[...], db[...])


def test_enabling_twice_changes_nothing_and_the_baseline_counts_values(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments({k: i for i, k in enumerate(IDS)})
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        detail.put_factor_value(h5, CALENDAR[3], items(np.arange(12.0), IDS[:12]))
        detail.put_factor_value(h5, CALENDAR[90], items(np.ones(40)))
        with h5py.File(path, "r", locking=False) as f:
            before = f["data"][...]
        assert detail._enable_history(h5) is True
        size = os.path.getsize(path + ".history")
        assert detail._enable_history(h5) is False
        assert os.path.getsize(path + ".history") == size
        baseline, = records(path)
        assert (baseline.kind, baseline.cursor_before, baseline.cursor_after) == (hr.BASELINE, 90, 90)
        assert [(e.column, e.state, e.cells) for e in baseline.entries] == [(3, 0, 12), (90, 0, 40)]
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][...], before)
    hidden = [n for n in os.listdir(tmp_path) if n.startswith(".")]
    assert hidden == []


def test_a_read_only_handle_cannot_start_a_history(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    path = str(tmp_path / "f.h5")
    detail.create_new_factor_h5(path, SHAPE).close()
    with detail.get_h5(path) as h5:
        with pytest.raises(ValueError, match="f.h5.*for reading only"):
            detail._enable_history(h5)
        with pytest.raises(ValueError, match="f.h5 keeps no history.*enable_history"):
            detail._prune_history(h5, 10**18)
    assert not os.path.exists(path + ".history")


def test_a_file_without_history_gets_none_from_any_write(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments({k: i for i, k in enumerate(IDS)})
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, SHAPE) as h5:
        detail.put_factor_value(h5, CALENDAR[3], items(np.ones(40)))
        detail._clear_factor_date(h5, CALENDAR[3])
        detail._set_cursor(h5, 1)
        detail._restore_columns(h5, [1], np.ones((40, 1)), 1)
        h5["data"][0, 0] = 1.0
    assert sorted(os.listdir(tmp_path)) == ["f.h5"]


def test_a_damaged_history_refuses_writes_and_names_itself(detail, factor):
    path, h5 = factor
    detail.put_factor_value(h5, CALENDAR[3], items(np.ones(40)))
    with open(hr.path_of(path), "r+b") as f:
        f.write(b"XXXX")
    before, _ = state(h5)
    with pytest.raises(ValueError, match=r"f\.h5\.history.*not a history"):
        detail.put_factor_value(h5, CALENDAR[4], items(np.ones(40)))
    np.testing.assert_array_equal(state(h5)[0], before)


def test_a_damaged_middle_record_is_not_taken_for_an_append_cut_short(detail, factor):
    # With a torn tail the writer rereads the whole history to find its end;
    # a damaged record before whole ones must stop the write, not become the
    # end that the next append writes over.
    path, h5 = factor
    for col in (3, 4, 5):
        detail.put_factor_value(h5, CALENDAR[col], items(np.full(40, float(col))))
    history_path = hr.path_of(path)
    with open(history_path, "rb") as f:
        raw = f.read()
    second = raw.index(b"QRBC", raw.index(b"QRBC") + 8)
    with open(history_path, "r+b") as f:
        f.seek(second + 8)
        f.write(bytes([raw[second + 8] ^ 0xFF]))
        f.seek(0, os.SEEK_END)
        f.write(b"QRBC" + bytes(30))
    before, _ = state(h5)
    with pytest.raises(ValueError, match="damaged.*whole records follow"):
        detail.put_factor_value(h5, CALENDAR[6], items(np.ones(40)))
    np.testing.assert_array_equal(state(h5)[0], before)
    with open(history_path, "rb") as f:
        kept = f.read()
    assert kept[second + 9:len(raw)] == raw[second + 9:]  # the records behind the damage are all still there


def test_an_append_cut_short_is_written_over_by_the_next(detail, factor):
    path, h5 = factor
    detail.put_factor_value(h5, CALENDAR[3], items(np.ones(40)))
    whole = os.path.getsize(hr.path_of(path))
    with open(hr.path_of(path), "ab") as f:
        f.write(b"QRBC" + bytes(30))  # a record whose writer died
    detail.put_factor_value(h5, CALENDAR[4], items(np.ones(40)))
    history = hr.read_history(hr.path_of(path))
    assert [r.seq for r in history.records] == [1, 2, 3]
    assert history.records[-1].offset == whole and history.end == history.size


def test_remove_factor_removes_the_history_unless_kept(detail, factor, tmp_path):
    path, h5 = factor
    h5.close()
    copy = str(tmp_path / "g.h5")
    shutil.copy(path, copy)
    shutil.copy(hr.path_of(path), hr.path_of(copy))
    link = str(tmp_path / "link.h5")
    os.symlink(copy, link)
    detail.remove_factor(link)  # a link goes alone: its target keeps its history
    assert os.path.exists(hr.path_of(copy))
    detail.remove_factor(path)
    assert not os.path.exists(path) and not os.path.exists(hr.path_of(path))
    detail.remove_factor(copy, keep_history=True)
    assert not os.path.exists(copy) and os.path.exists(hr.path_of(copy))
    with pytest.raises(TypeError):
        detail.remove_factor(copy, True)  # keep_history is by keyword only


def test_a_factor_made_where_a_kept_history_stands_does_not_append_to_it(detail, factor, tmp_path, caplog):
    path, h5 = factor
    detail.put_factor_value(h5, CALENDAR[3], items(np.arange(40.0)))
    h5.close()
    kept = open(hr.path_of(path), "rb").read()
    detail.remove_factor(path, keep_history=True)
    with caplog.at_level("WARNING"):
        h5 = detail.create_new_factor_h5(path, SHAPE)
    try:
        # The kept history describes the removed file: undoing its records
        # on the new one would give states that never were.
        assert not os.path.exists(hr.path_of(path))
        (aside,) = [n for n in os.listdir(tmp_path) if n.startswith("f.h5.history.set-aside-")]
        assert open(tmp_path / aside, "rb").read() == kept
        assert [r.levelname for r in caplog.records if aside in r.getMessage()] == ["WARNING"]
        detail.put_factor_value(h5, CALENDAR[5], items(np.ones(40)))
        assert not os.path.exists(hr.path_of(path))
        assert detail._enable_history(h5) is True
        assert [r.kind for r in records(path)] == [hr.BASELINE]
    finally:
        h5.close()


def test_a_rewritten_factor_keeps_its_history_and_goes_on_recording(detail, factor):
    path, h5 = factor
    detail.put_factor_value(h5, CALENDAR[3], items(np.arange(40.0)))
    h5.close()
    history = hr.read_history(hr.path_of(path))
    detail.rewrite_factor(path)
    assert hr.read_history(hr.path_of(path)) == history
    with detail.get_h5(path, write=True) as h5:
        before, cursor = state(h5)
        detail.put_factor_value(h5, CALENDAR[3], items(np.arange(40.0) + 1))
        assert_undoes_to(h5, path, len(history.records), before, cursor)


# ---- pruning ---------------------------------------------------------------------


def test_pruning_drops_old_values_before_the_cutoff_and_keeps_snapshots(detail, factor, clock):
    path, h5 = factor
    for step, t in enumerate((100, 200, 300, 400)):
        clock(LATER + t)
        detail.put_factor_value(h5, CALENDAR[5], items(np.full(40, float(step))))
    before = hr.read_history(hr.path_of(path))
    assert [[e.state for e in r.entries] for r in before.records] == [[], [0], [1], [1], [1]]
    # A snapshot at LATER + 250 holds the cutoff back from 350 to it.
    freed = detail._prune_history(h5, LATER + 350, [LATER + 250, LATER + 999])
    after = hr.read_history(hr.path_of(path))
    assert freed == before.size - after.size == 40 * 12
    assert [[(e.state, e.cells) for e in r.entries] for r in after.records] == [
        [], [(0, 40)], [(2, 40)], [(1, 40)], [(1, 40)]]
    assert [r.flags for r in after.records] == [0, 0, hr.PRUNED_FLAG, 0, 0]
    assert [(r.seq, r.time, r.cursor_before) for r in after.records] == \
           [(r.seq, r.time, r.cursor_before) for r in before.records]
    matrix, cursor = state(h5)
    rebuilt, _ = hr.as_of(matrix, cursor, after, LATER + 250)
    np.testing.assert_array_equal(rebuilt[:, 5], np.full(40, 1.0))
    with pytest.raises(ValueError, match="pruned"):
        hr.as_of(matrix, cursor, after, LATER + 150)
    assert detail._prune_history(h5, LATER + 350, [LATER + 250]) == 0
    detail.put_factor_value(h5, CALENDAR[6], items(np.ones(40)))  # still recording
    assert len(records(path)) == 6
    assert [n for n in os.listdir(os.path.dirname(path)) if n.startswith(".")] == []


# ---- failures --------------------------------------------------------------------

FAILING_CHILD = textwrap.dedent("""
    import json, sys, types
    import numpy as np
    import quorbel.detail as d
    job = json.loads(sys.argv[1])
    d.get_all_trading_dates = lambda: job["calendar"]
    d._get_all_instrument_index = lambda: {f"S{i}": i for i in range(40)}
    h5 = d.get_h5(job["path"], True)
    packs = [types.SimpleNamespace(date=job["calendar"][c], values=[
        types.SimpleNamespace(order_book_id=f"S{i}", value=float(c * 100 + i)) for i in range(40)])
        for c in job["columns"]]
    try:
        d.put_factor_packs(h5, packs)
        print("written")
    except OSError as error:
        print("failed", error.errno)
    h5.close()
""")


def strace_child(job, target, syscall, error, when):
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    import json
    done = subprocess.run(["strace", "-f", "-qq", "-o", os.devnull, "-P", target, "-e",
                           f"inject={syscall}:error={error}:when={when}", sys.executable, "-c", FAILING_CHILD,
                           json.dumps(job)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.split()


@pytest.mark.parametrize("target", ["history", "data"])
def test_a_write_that_fails_leaves_no_record(detail, factor, target):
    path, h5 = factor
    detail.put_factor_value(h5, CALENDAR[1], items(np.ones(40)))
    h5.close()
    before = hr.read_history(hr.path_of(path))
    with h5py.File(path, "r") as f:
        matrix = f["data"][...]
    job = {"calendar": CALENDAR, "path": path, "columns": [1]}
    # Every sync of the history fails (its record is then appended but never
    # committed), or every sync of the factor file (the last step of a
    # commit, after the record is appended): the date and its redo fail.
    outcome = strace_child(job, hr.path_of(path) if target == "history" else path, "fdatasync", "ENOSPC", "1+")
    assert outcome == ["failed", "28"]
    after = hr.read_history(hr.path_of(path))
    assert after.records == before.records and after.size == before.size
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][...], matrix)


def test_a_batch_redone_date_by_date_records_what_each_date_committed(detail, factor):
    path, h5 = factor
    rng = np.random.default_rng(8)
    detail.put_factor_packs(h5, [V(date=CALENDAR[c], values=items(rng.normal(size=40))) for c in range(70, 80)])
    before, cursor = state(h5)
    count = len(records(path))
    h5.close()
    # The batch's one transaction fails at its history write; its dates are
    # then written again one by one, each with its own record (the date
    # written twice with the same values changes nothing the second time).
    columns = [72, 73, 72, 80]
    outcome = strace_child({"calendar": CALENDAR, "path": path, "columns": columns}, hr.path_of(path),
                           "pwrite64", "ENOSPC", "1")
    assert outcome == ["written"]
    with detail.get_h5(path, write=True) as h5:
        new = records(path)[count:]
        assert [(r.cursor_before, r.cursor_after, r.columns()) for r in new] == [
            (79, 79, [72]), (79, 79, [73]), (79, 80, [80])]
        assert entries_of(new[0]) == {72: (hr.CELLS, 40, list(range(40)), list(before[:, 72]))}
        assert_undoes_to(h5, path, count, before, cursor)


# ---- the library -----------------------------------------------------------------


@pytest.fixture
def lib(detail, market, tmp_path):
    import quorbel

    market.set_calendar(CALENDAR[:20])
    market.set_instruments({"A": 0, "B": 1, "C": 2})
    library = quorbel.FactorLibrary(tmp_path / "lib", create=True)
    library.write(CALENDAR[0], {"old": {"A": 1.0, "B": 2.0}}, create=True)
    return library


def test_a_library_history_covers_its_factors_and_those_it_creates_later(lib):
    assert lib.enable_history() == [lib.path("old")]
    assert lib.enable_history() == []
    assert os.path.exists(os.path.join(lib.root, ".quorbel", "history.json"))
    lib.write(CALENDAR[1], {"old": {"A": 1.5}, "new": {"C": 3.0}}, create=True)
    old, new = (hr.read_history(hr.path_of(lib.path(n))) for n in ("old", "new"))
    assert [[(e.column, e.state, e.cells) for e in r.entries] for r in old.records] == [[(0, 0, 2)], [(1, 0, 1)]]
    # Made after the history was on: an empty baseline, then its first write.
    assert [(r.kind, [(e.column, e.state, e.cells) for e in r.entries]) for r in new.records] == [
        (hr.BASELINE, []), (hr.COMMIT, [(1, 0, 1)])]


def test_enable_history_takes_a_factor_file_or_a_library_root(lib, tmp_path):
    from quorbel.library.history_writes import enable_history

    assert enable_history(lib.path("old")) == [lib.path("old")]
    assert enable_history(lib.root) == [] and os.path.exists(os.path.join(lib.root, ".quorbel", "history.json"))
    with pytest.raises(FileNotFoundError, match="nowhere"):
        enable_history(tmp_path / "nowhere")


def test_set_cursor_moves_a_factor_s_cursor_either_way(lib):
    lib.write(CALENDAR[5], {"old": {"A": 1.0}})
    lib.set_cursor("old", CALENDAR[2])
    assert lib.info("old").cursor_col == 2
    lib.set_cursor("old", None)
    assert lib.info("old").cursor_col is None
    with pytest.raises(ValueError, match="old.*19990101"):
        lib.set_cursor("old", 19990101)
    with pytest.raises(KeyError, match="missing"):
        lib.set_cursor("missing", CALENDAR[2])


def test_library_pruning_keeps_every_snapshot_readable(lib, clock):
    import json

    lib.enable_history()
    for step in range(3):
        clock(LATER + step * 100)
        lib.write(CALENDAR[3], {"old": {"A": float(step), "B": float(step)}})
    snapshots = os.path.join(lib.root, ".quorbel", "snapshots.json")
    with open(snapshots, "w") as f:
        json.dump({"before-fix": LATER + 50}, f)
    # Asked to prune up to the last write, it stops at the snapshot: only the
    # first record, older than it, loses its values (which it did not have:
    # a first write keeps none), so nothing is freed. A label is a time too.
    assert lib.prune_history(LATER + 250) == 0
    assert lib.prune_history("before-fix") == 0
    with open(snapshots, "w") as f:
        json.dump({}, f)
    # Without it, the two revisions lose their old values: 2 rows and 2 values each.
    assert lib.prune_history(LATER + 250) == 2 * (8 + 16)
    assert lib.prune_history(LATER + 250) == 0
    with open(snapshots, "w") as f:
        f.write("{")
    with pytest.raises(ValueError, match="snapshots.json"):
        lib.prune_history(LATER)
