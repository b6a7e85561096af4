"""A cursor_col at the top of int64 bounds nothing: every read and scan that
stops at the cursor sees the whole section, never an empty one."""

import sys

import h5py
import numpy as np
import pytest

import quorbel
from quorbel import _extras

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]
IDS = ["A", "B"]
INT64_MAX = 2**63 - 1


@pytest.fixture(params=[("<i8", INT64_MAX), ("<u8", 2**63), ("<u8", 2**64 - 1)],
                    ids=["int64-max", "uint64-2**63", "uint64-max"])
def library(request, detail, market, tmp_path):
    """A library of one factor with values in columns 1 and 3 and the given cursor."""
    market.set_calendar(CALENDAR)
    market.set_instruments({"A": 0, "B": 1})
    values = np.full((4, 6), np.nan)
    values[0, 1], values[1, 3] = 1.5, -2.5
    path = tmp_path / "lib" / "factor.h5"
    path.parent.mkdir()
    with detail.create_new_factor_h5(str(path), values.shape) as h5:
        h5["data"][:, :] = values
    dtype, cursor = request.param
    with h5py.File(path, "r+") as f:
        f["data"].attrs.create("cursor_col", cursor, dtype=dtype)
    return quorbel.FactorLibrary(path.parent), str(path), values[:2, :5]


def test_reads_with_check_see_every_column(detail, library):
    lib, path, expected = library
    with detail.get_h5(path) as h5:
        rows = dict(detail.get_factor_value(h5, IDS, CALENDAR[0], CALENDAR[-1], check=True))
    np.testing.assert_array_equal(np.vstack([rows["A"], rows["B"]]), expected)
    panel = quorbel.read_panel(path, IDS, CALENDAR[0], CALENDAR[-1], check=True)
    np.testing.assert_array_equal(panel.to_numpy().T, expected)
    # The whole calendar, not the default span of the dates holding values.
    cube = lib.read(["factor"], IDS, CALENDAR[0], CALENDAR[-1], check=True)
    np.testing.assert_array_equal(cube.values[0].T, expected)
    lazy = lib.read(["factor"], IDS, CALENDAR[0], CALENDAR[-1], check=True, chunks=2)
    np.testing.assert_array_equal(lazy.values[0].T, expected)
    section = lib.cross_section(CALENDAR[3], check=True)
    assert section.loc["B", "factor"] == -2.5
    assert lib.info("factor").cursor_col == INT64_MAX


def test_command_line_shows_the_cursor_and_every_value(detail, library, capsys, monkeypatch):
    _, path, _ = library
    monkeypatch.setattr(detail, "TRADING_DATES", detail.TRADING_DATES)
    monkeypatch.setattr(sys, "argv", ["quorbel", "info", path])
    assert _extras.main() == 0
    info = capsys.readouterr().out
    assert f"cursor_col    column {INT64_MAX}, beyond the calendar" in info
    monkeypatch.setattr(sys, "argv", ["quorbel", "show", path, "A", "B"])
    assert _extras.main() == 0
    shown = capsys.readouterr().out.split()
    assert "1.5" in shown and "-2.5" in shown
    monkeypatch.setattr(sys, "argv", ["quorbel", "ls", str(library[0].root), "--json"])
    assert _extras.main() == 0
    assert '"cursor_date": null' in capsys.readouterr().out
