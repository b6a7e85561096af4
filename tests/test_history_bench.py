"""The history bench measures what it says it does: its revision side writes
other values over a filled date of a copy with history and starts from the
same copy every run, and the sizes it reports are those of the records the
engine appended, with the old values it compresses exactly the ones those
records keep. Decoded with tests/history_reader.py; nothing here is timed."""

import os
import sys
from pathlib import Path

import h5py
import numpy as np
import pytest

import history_reader as hr

sys.path.append(str(Path(__file__).resolve().parent.parent / "bench"))

import history  # noqa: E402
import history_writes  # noqa: E402
from history_sizes import changed_old_values, year_columns, year_sizes  # noqa: E402
from market import Market  # noqa: E402

CALENDAR = list(range(20000101, 20000101 + 300))


@pytest.fixture
def small(market):
    """A bench market of 40 instruments over 300 dates, injected into the engine."""
    bench_market = Market(40, CALENDAR)
    market.set_calendar(bench_market.calendar)
    market.set_instruments(bench_market.index)
    return bench_market


def same_values(a, b):
    return np.array_equal(a, b, equal_nan=True)


def test_revision_side_rewrites_a_filled_date_and_starts_from_the_same_copy_each_run(detail, small, tmp_path):
    source = str(tmp_path / "filled.h5")
    history_writes.put_packs(detail, source, small.packs(range(small.new_col), range(small.instruments)))
    base = history_writes.with_history(detail, source, str(tmp_path / "base.h5"))
    col = small.new_col - 1
    path = str(tmp_path / "revise.h5")
    set_up, call = history_writes.value_side(detail, base, path, True, small.calendar[col],
                                             small.items(col, range(small.instruments), revision=1))
    for _ in range(2):
        set_up()
        call()
        records = hr.read_history(path + ".history").records
        assert [r.kind for r in records] == [hr.BASELINE, hr.COMMIT], "each run must start from the base copy"
    (entry,) = records[-1].entries
    assert (entry.column, entry.state) == (col, hr.CELLS)
    old, new = small.values(col), small.values(col, revision=1)
    assert same_values(entry.old, old[entry.rows])
    assert same_values(entry.old, changed_old_values(small, [col]))
    with h5py.File(path, "r") as f:
        assert same_values(f["data"][:small.instruments, col], new)


def test_year_sizes_are_the_records_appended_and_the_old_values_they_keep(detail, small, tmp_path):
    path = str(tmp_path / "year.h5")
    sizes = year_sizes(detail, small, path)
    cols = year_columns(small)
    assert len(cols) == sizes["dates"] == 250
    records = hr.read_history(path + ".history").records
    baseline, appends, (revision,) = records[0], records[1:-1], records[-1:]
    assert baseline.kind == hr.BASELINE and not baseline.entries
    assert [r.columns() for r in appends] == [[c] for c in cols]
    assert sizes["append_bytes"] == sum(r.size for r in appends)
    assert sizes["revision_bytes"] == revision.size
    assert sizes["factor_bytes"] == os.path.getsize(path)
    assert revision.columns() == list(cols)
    kept = np.concatenate([e.old for e in revision.entries])
    assert sizes["changed_cells"] == kept.size
    assert same_values(kept, changed_old_values(small, cols))


def test_changed_cells_are_those_that_differ_bit_for_bit_with_every_nan_alike():
    other_nan = np.array([0x7FF8000000000001], dtype=np.uint64).view(np.float64)[0]

    class Two:
        def values(self, col, revision=0):
            return np.array([[1.0, np.nan, np.nan, 0.0, 2.0], [1.0, other_nan, 3.0, -0.0, 2.5]][revision])

    assert same_values(changed_old_values(Two(), [0]), [np.nan, 0.0, 2.0])


def test_a_row_is_met_only_within_its_target_and_the_as_of_read_only_with_equal_values():
    read = {"results": {"plain": {"times": [0.1]}, "as_of": {"times": [0.11]}}, "equal": True}
    assert history.read_row(read)["met"]
    assert not history.read_row(dict(read, equal=False))["met"]
    sizes = {"dates": 250, "factor_bytes": 1000, "append_bytes": 10, "revision_bytes": 126,
             "old_compressed_bytes": 100, "changed_cells": 9}
    h4, h5 = history.size_rows(sizes, 40)
    assert (h4["met"], h5["met"]) == (False, False)  # 1% is not under 1%; 1.26x is past 1.25x
    assert history.size_rows(dict(sizes, append_bytes=9, revision_bytes=125), 40)[0]["met"]
    assert history.size_rows(dict(sizes, append_bytes=9, revision_bytes=125), 40)[1]["met"]
