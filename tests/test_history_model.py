"""The history against a model: random sequences of writes through every
writer (single dates, batches, backfills, cubes), reverts and cursor moves,
each at its own time on the engine's fake clock, beside a NumPy model that
keeps every version of the matrix and cursor. Reads as of random times, with
and without the cursor cut, and the first-known times must match the model
cell for cell."""

import os
import types

import numpy as np
import pandas as pd
import pytest
import xarray

import history_reader as hr
import quorbel

CALENDAR = [int(d.strftime("%Y%m%d")) for d in pd.bdate_range("2018-01-02", periods=24)]
IDS = [f"{row:06d}.XSHG" for row in range(80)]  # enough for deflated old values
INDEX = {oid: row for row, oid in enumerate(IDS)}
T0 = 1_700_000_000_000_000_000
STEP = 10**9  # between operations; an operation's commits take a few ns of it


class Model:
    """Every version of the factor: (time, matrix, cursor)."""

    def __init__(self):
        self.versions = [(T0 - STEP, np.full((len(IDS), len(CALENDAR)), np.nan), None)]
        self.first_written = {}

    @property
    def matrix(self):
        return self.versions[-1][1]

    @property
    def cursor(self):
        return self.versions[-1][2]

    def at(self, when):
        return [v for v in self.versions if v[0] <= when][-1][1:]

    def write(self, when, cells):
        """cells: {(row, column): value}; the cursor moves to the highest column written."""
        matrix = self.matrix.copy()
        cursor = self.cursor
        for (row, column), value in cells.items():
            matrix[row, column] = value
            cursor = column if cursor is None else max(cursor, column)
            self.first_written.setdefault(column, when)
        self.versions.append((when, matrix, cursor))

    def restore(self, when, matrix, cursor):
        self.versions.append((when, matrix.copy(), cursor))


def random_cells(rng, columns):
    cells = {}
    for column in columns:
        for row in rng.choice(len(IDS), rng.integers(1, len(IDS) + 1), replace=False):
            cells[(int(row), int(column))] = float(np.round(rng.standard_normal(), 3))
    return cells


def by_date(cells):
    dates = {}
    for (row, column), value in cells.items():
        dates.setdefault(CALENDAR[column], {})[IDS[row]] = value
    return dates


def operate(rng, lib, detail, model, when, first):
    """One random operation at `when`, applied to the library and the model; returns its kind."""
    kind = "write" if first else rng.choice(["write", "engine", "packs", "frame", "cube", "revert", "cursor"],
                                            p=[.2, .15, .15, .15, .1, .15, .1])
    reach = min(len(CALENDAR), 4 + len(model.versions))  # the dates written creep forward
    if kind in ("write", "engine"):
        cells = random_cells(rng, [rng.integers(0, reach)])
        [(date, values)] = by_date(cells).items()
        if kind == "write":
            lib.write(date, {"f": values}, create=first)
        else:
            with detail.get_h5(lib.path("f"), True) as h5:
                detail.put_factor_value(h5, date, [types.SimpleNamespace(order_book_id=k, value=v)
                                                   for k, v in values.items()])
        model.write(when, cells)
    elif kind == "packs":
        columns = sorted(rng.choice(reach, rng.integers(2, 5), replace=False))
        cells = random_cells(rng, columns)
        lib.write_packs({"f": by_date(cells)})
        model.write(when, cells)
    elif kind in ("frame", "cube"):
        # Wide: every cell of the chosen instruments and dates is written.
        columns = sorted(rng.choice(reach, rng.integers(2, 6), replace=False))
        rows = sorted(rng.choice(len(IDS), rng.integers(2, len(IDS) + 1), replace=False))
        values = np.round(rng.standard_normal((len(columns), len(rows))), 3)
        dates = pd.to_datetime([str(CALENDAR[c]) for c in columns])
        ids = [IDS[r] for r in rows]
        if kind == "frame":
            lib.write_frame({"f": pd.DataFrame(values, index=dates, columns=ids)})
        else:
            lib.write_cube(xarray.DataArray(values[None], dims=("factor", "date", "instrument"),
                                            coords={"factor": ["f"], "date": dates, "instrument": ids}))
        model.write(when, {(r, c): values[i, j] for i, c in enumerate(columns) for j, r in enumerate(rows)})
    elif kind == "revert":
        to = model.versions[rng.integers(1, len(model.versions))][0] + int(rng.integers(0, STEP // 2))
        lib.revert("f", to=to)
        model.restore(when, *model.at(to))
    else:
        column = int(rng.integers(0, reach)) if rng.random() < 0.85 else None
        lib.set_cursor("f", None if column is None else CALENDAR[column])
        model.restore(when, model.matrix, column)
    return kind


def check_as_of(lib, model, when, rng):
    matrix, cursor = model.at(when)
    cube = lib.read(["f"], IDS, CALENDAR[0], CALENDAR[-1], as_of=when)
    np.testing.assert_array_equal(cube.values[0].T, matrix, err_msg=f"as of {when - T0}")
    cut = lib.read(["f"], IDS, CALENDAR[0], CALENDAR[-1], as_of=when, check=True)
    stop = len(CALENDAR) if cursor is None else cursor + 1  # no cursor_col: nothing to cut at
    np.testing.assert_array_equal(cut.values[0].T, matrix[:, :stop], err_msg=f"as of {when - T0}, check")
    ids = [IDS[i] for i in rng.choice(len(IDS), 3)]
    column = int(rng.integers(0, len(CALENDAR)))
    frame = lib.cross_section(CALENDAR[column], ["f"], ids, as_of=when)
    np.testing.assert_array_equal(frame["f"].values, matrix[[INDEX[i] for i in ids], column])


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_reads_as_of_any_time_match_every_version(detail, market, tmp_path, monkeypatch, seed):
    market.set_calendar(CALENDAR)
    market.set_instruments(INDEX)
    monkeypatch.setattr(detail, "EXPAND_INSTRUMENT_LENGTH", 2)
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 3)
    lib = quorbel.FactorLibrary(tmp_path / "lib", create=True)
    lib.enable_history()
    rng = np.random.default_rng(seed)
    model = Model()
    operations, kinds = 50, set()
    try:
        for k in range(operations):
            when = T0 + k * STEP
            detail._history_clock(when)
            kinds.add(operate(rng, lib, detail, model, when, first=k == 0))
            # The file is the model's last version, whatever the writer.
            np.testing.assert_array_equal(lib.read(["f"], IDS, CALENDAR[0], CALENDAR[-1]).values[0].T,
                                          model.matrix, err_msg=f"after operation {k}")
    finally:
        detail._history_clock(None)
    assert kinds == {"write", "engine", "packs", "frame", "cube", "revert", "cursor"}
    entries = [e for r in hr.read_history(os.path.join(lib.root, "f.h5.history")).records for e in r.entries]
    assert any(e.deflated for e in entries) and any(e.state == hr.CELLS and not e.deflated for e in entries)
    times = [T0 + k * STEP + STEP // 2 for k in rng.choice(operations, 8, replace=False)]
    for when in sorted(times) + [T0 - 1, T0 + operations * STEP]:
        check_as_of(lib, model, when, rng)
    known = lib.known_at("f", CALENDAR)
    for column, date in enumerate(CALENDAR):
        first = model.first_written.get(column)
        if first is None:
            assert pd.isna(known.iloc[column]), date
        else:
            # The first commit of the operation that first wrote the date; the
            # factor's creation takes the first tick of operation 0.
            assert first <= known.iloc[column].value < first + 10, date
