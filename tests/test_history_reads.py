"""Reads as of a past time, first-known times and snapshots, on factor files
whose histories are written with plain tools (tests/history_files.py): each
story keeps every version of its matrix, and a read as of any time must give
the version of that time, cell for cell."""

import json
import os

import numpy as np
import pandas as pd
import pytest

import quorbel
from history_files import Story as _Story, record

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108, 20180109, 20180110]
INDEX = {"A": 0, "B": 1, "C": 2, "D": 5, "FAR": 40}
ROWS, COLS = 8, 7
T0 = 1_700_000_000_000_000_000  # 2023-11-14 22:13:20 UTC


def Story(path, start=None, cursor=None, began=T0, baseline=True):
    return _Story(path, (ROWS, COLS), start, cursor, began, baseline)


def revised(matrix, cells):
    out = matrix.copy()
    for (row, column), value in cells.items():
        out[row, column] = value
    return out


def with_column(matrix, column, values):
    out = matrix.copy()
    out[:, column] = values
    return out


@pytest.fixture
def lib(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments(INDEX)
    root = tmp_path / "lib"
    root.mkdir()
    return quorbel.FactorLibrary(root)


@pytest.fixture
def story(lib, detail):
    """Two dates held before history began, then a daily append, a revision
    of old cells, a new date, and a cursor moved back: five versions."""
    start = np.full((ROWS, COLS), np.nan)
    start[:6, 0] = np.arange(6) + 1.0
    start[:3, 1] = [10.0, 11.0, 12.0]
    s = Story(os.path.join(lib.root, "alpha.h5"), start, cursor=1)
    s.commit(T0 + 100, with_column(s.matrix, 2, np.arange(ROWS) + 20.0), cursor=2)
    s.commit(T0 + 200, revised(s.matrix, {(0, 0): -1.0, (2, 1): np.nan, (5, 1): 15.0, (1, 2): 21.5}))
    s.commit(T0 + 300, with_column(s.matrix, 4, np.where(np.arange(ROWS) < 4, 40.0, np.nan)), cursor=4)
    s.commit(T0 + 400, s.matrix, cursor=1)  # only the cursor moves
    return s.finish(detail)


def expected_cube(matrix, ids, columns):
    rows = [INDEX[i] for i in ids]
    return np.stack([[matrix[r, c] if r < ROWS else np.nan for r in rows] for c in columns])


TIMES = [T0, T0 + 99, T0 + 100, T0 + 150, T0 + 200, T0 + 300, T0 + 399, T0 + 400, T0 + 10**12]


@pytest.mark.parametrize("when", TIMES)
def test_read_as_of_gives_the_version_of_that_time(lib, story, when):
    ids = ["C", "A", "D", "A", "FAR", "UNLISTED"]
    cube = lib.read(["alpha"], ids, 20180102, 20180110, as_of=when)
    matrix, _ = story.at(when)
    np.testing.assert_array_equal(cube.values[0], expected_cube(matrix, ids[:5], range(COLS)))
    assert list(cube["instrument"].values) == ids[:5]


@pytest.mark.parametrize("when", TIMES)
def test_check_cuts_at_the_cursor_of_that_time(lib, story, when):
    matrix, cursor = story.at(when)
    cube = lib.read(["alpha"], ["A", "B"], 20180102, 20180110, check=True, as_of=when)
    assert len(cube["date"]) == cursor + 1
    np.testing.assert_array_equal(cube.values[0], expected_cube(matrix, ["A", "B"], range(cursor + 1)))
    # Now the cursor is back at 1, so a read as of 300 reaches further than one of now.
    assert len(lib.read(["alpha"], ["A"], 20180102, 20180110, check=True)["date"]) == 2


def test_as_of_takes_every_form_of_time(lib, story):
    stamp = pd.Timestamp(T0 + 150, unit="ns", tz="UTC")
    expected = lib.read(["alpha"], as_of=T0 + 150).values
    for when in [stamp, stamp.tz_convert("Asia/Shanghai"), stamp.to_datetime64(), str(stamp)]:
        np.testing.assert_array_equal(lib.read(["alpha"], as_of=when).values, expected)
    # A datetime holds microseconds: T0 + 150 ns is T0 to it.
    np.testing.assert_array_equal(lib.read(["alpha"], as_of=stamp.floor("us").to_pydatetime()).values,
                                  lib.read(["alpha"], as_of=T0).values)
    with pytest.raises(ValueError, match="20180103 is not a time"):
        lib.read(["alpha"], as_of=20180103)


def test_many_factors_mix_histories_and_date_axes(lib, story, detail):
    # A factor created with history: it did not exist before its first commit.
    beta = Story(os.path.join(lib.root, "beta.h5"), began=T0 + 50, baseline=False)
    beta.commit(T0 + 250, with_column(beta.matrix, 6, np.full(ROWS, 7.0)), cursor=6)
    beta.finish(detail)
    for when in [T0, T0 + 100, T0 + 260]:
        cube = lib.read(["alpha", "beta"], ["A", "B"], as_of=when)
        codes = [d.year * 10000 + d.month * 100 + d.day for d in pd.DatetimeIndex(cube["date"].values)]
        assert codes == CALENDAR[:7]  # the dates holding values now, alpha's and beta's
        for k, s in enumerate([story, beta]):
            np.testing.assert_array_equal(cube.values[k], expected_cube(s.at(when)[0], ["A", "B"], range(7)))
    # Before beta's history began its matrix reads as NaN: it was created with history.
    assert np.isnan(lib.read(["beta"], as_of=T0).values).all()


def test_known_gives_when_each_date_first_had_values(lib, story):
    cube, known = lib.read(["alpha"], ["A"], 20180102, 20180109, known=True)
    assert isinstance(known, pd.DatetimeIndex) and str(known.dtype) == "datetime64[ns, UTC]"
    assert len(known) == len(cube["date"]) == 6
    expected = [T0, T0, T0 + 100, None, T0 + 300, None]
    assert [None if pd.isna(k) else k.value for k in known] == expected
    # As of 200, the date first written at 300 was not known yet.
    _, known = lib.read(["alpha"], ["A"], 20180102, 20180109, known=True, as_of=T0 + 200)
    assert [None if pd.isna(k) else k.value for k in known] == [T0, T0, T0 + 100, None, None, None]


def test_known_at_reports_first_writes_and_the_start_of_history(lib, story):
    series = lib.known_at("alpha")
    assert series.name == "alpha" and str(series.dtype) == "datetime64[ns, UTC]"
    assert [d.strftime("%Y%m%d") for d in series.index] == ["20180102", "20180103", "20180104", "20180105",
                                                             "20180108"]
    # Columns 0 and 1 held values when history began: that time is an upper bound.
    assert [None if pd.isna(v) else v.value for v in series] == [T0, T0, T0 + 100, None, T0 + 300]
    picked = lib.known_at("alpha", ["2018-01-08", 20180110])
    assert [None if pd.isna(v) else v.value for v in picked] == [T0 + 300, None]
    with pytest.raises(ValueError, match="20180106 is not a trading date"):
        lib.known_at("alpha", [20180106])
    with pytest.raises(TypeError, match="dates must be a list"):
        lib.known_at("alpha", "2018-01-08")


def test_before_history_began_is_refused_with_its_start(lib, story):
    with pytest.raises(ValueError, match=r"alpha cannot be read as of 2023-11-14 22:13:19\.999999999 UTC: its "
                                         r"history began at 2023-11-14 22:13:20 UTC"):
        lib.read(["alpha"], as_of=T0 - 1)
    with pytest.raises(ValueError, match="history began"):
        lib.cross_section(20180102, as_of=T0 - 1)


def test_pruned_history_refuses_only_the_window_it_dropped(lib, detail):
    s = Story(os.path.join(lib.root, "alpha.h5"), began=T0, baseline=False)
    s.commit(T0 + 10, with_column(s.matrix, 0, np.ones(ROWS)), cursor=0)
    s.commit(T0 + 10, with_column(s.matrix, 3, np.ones(ROWS)), cursor=3)
    s.finish(detail)
    # A revision of column 0 whose old values pruning dropped (state 2), at 20.
    with open(s.writer.path, "ab") as f:
        f.write(record(4, T0 + 20, 3, 3, {0: ("pruned", 2)}, flags=1))
    with pytest.raises(ValueError, match=r"alpha cannot be read as of .*: its history before "
                                         r"2023-11-14 22:13:20\.00000002 UTC was pruned"):
        lib.read(["alpha"], as_of=T0 + 15)
    # Other dates, or a time after the pruned record, still read.
    np.testing.assert_array_equal(lib.read(["alpha"], ["A"], 20180105, 20180105, as_of=T0 + 15).values, [[[1.0]]])
    np.testing.assert_array_equal(lib.read(["alpha"], ["A"], 20180102, 20180102, as_of=T0 + 20).values, [[[1.0]]])


def test_factor_without_history_is_refused_with_how_to_enable_it(lib, detail, tmp_path):
    path = os.path.join(lib.root, "plain.h5")
    detail.create_new_factor_h5(path, (ROWS, COLS)).close()
    hint = "plain has no history: enable it with lib.enable_history() or `quorbel history enable`"
    for call in [lambda: lib.read(["plain"], as_of=T0), lambda: lib.read(["plain"], known=True),
                 lambda: lib.cross_section(20180102, ["plain"], as_of=T0), lambda: lib.known_at("plain"),
                 lambda: lib.read(["plain"], as_of=T0, chunks="auto")]:
        with pytest.raises(ValueError, match=hint.replace("(", r"\(").replace(")", r"\)")):
            call()
    with pytest.raises(ValueError, match=f"{path} has no history"):
        quorbel.read_panel(path, ["A"], 20180102, 20180103, as_of=T0)


def test_damaged_history_is_named(lib, story):
    with open(story.writer.path, "r+b") as f:
        f.write(b"NOTAHIST")
    with pytest.raises(ValueError, match=f"the history file {story.writer.path} is not a history"):
        lib.read(["alpha"], as_of=T0 + 100)


def test_a_torn_last_record_is_not_part_of_the_history(lib, story):
    # A commit whose record is half written: the reader stops before it,
    # as the writer's recovery would cut it.
    torn = record(6, T0 + 500, 1, 1, {6: ("cells", [0], [3.0])})
    with open(story.writer.path, "ab") as f:
        f.write(torn[:-5])
    np.testing.assert_array_equal(lib.read(["alpha"], as_of=T0 + 200).values,
                                  lib.read(["alpha"], as_of=T0 + 250).values)


def test_a_damaged_record_with_whole_records_after_it_is_refused(lib, story):
    # Rot in the middle is not an append cut short: reading on past it, or
    # stopping there, would both give a history that never was.
    with open(story.writer.path, "rb") as f:
        raw = f.read()
    second = raw.index(b"QRBC", raw.index(b"QRBC") + 8)
    with open(story.writer.path, "r+b") as f:
        f.seek(second + 60)
        f.write(bytes([raw[second + 60] ^ 0xFF]))
    with pytest.raises(ValueError, match=f"{story.writer.path} is damaged: the record at byte {second} fails its "
                                         "check, yet whole records follow"):
        lib.read(["alpha"], as_of=T0 + 100)


def test_deflated_old_values_read_as_plain_ones_and_a_bad_stream_is_named(lib, story):
    old = np.arange(ROWS) - 50.0
    story.writer.commit(T0 + 500, {2: ("deflated", np.arange(ROWS), old)}, 1)
    earlier, now = (lib.read(["alpha"], as_of=t, check=False).values[0] for t in (T0 + 450, T0 + 500))
    np.testing.assert_array_equal(earlier[2], [old[0], old[1], old[2], old[5], np.nan])  # A, B, C, D, FAR
    np.testing.assert_array_equal(np.delete(earlier, 2, axis=0), np.delete(now, 2, axis=0))
    story.writer.commit(T0 + 600, {3: ("deflated", [0, 1], [1.0, 2.0], b"not a zlib stream")}, 1)
    with pytest.raises(ValueError, match="damaged: the deflated cells of column 3 do not inflate to 2 cells"):
        lib.read(["alpha"], as_of=T0 + 550)


def test_reads_without_bounds_cover_dates_cleared_since(lib, detail):
    s = Story(os.path.join(lib.root, "alpha.h5"), began=T0, baseline=False)
    s.commit(T0 + 10, with_column(with_column(s.matrix, 1, np.ones(ROWS)), 5, np.full(ROWS, 5.0)), cursor=5)
    s.commit(T0 + 20, with_column(s.matrix, 5, np.full(ROWS, np.nan)), cursor=1)  # the last date cleared
    s.finish(detail)
    assert len(lib.read(["alpha"])["date"]) == 1
    cube = lib.read(["alpha"], ["A"], as_of=T0 + 15)
    assert len(cube["date"]) == 5
    np.testing.assert_array_equal(cube.values[0, :, 0], [1.0, np.nan, np.nan, np.nan, 5.0])


def test_cross_section_and_read_panel_as_of(lib, story, detail):
    frame = lib.cross_section(20180102, ["alpha"], ["A", "B", "FAR"], as_of=T0 + 150)
    assert frame["alpha"].tolist()[:2] == [1.0, 2.0] and np.isnan(frame["alpha"].iloc[2])
    assert lib.cross_section(20180102, ["alpha"], ["A"], as_of=T0 + 250)["alpha"].tolist() == [-1.0]
    path = lib.path("alpha")
    for when in TIMES:
        matrix, cursor = story.at(when)
        panel = quorbel.read_panel(path, ["B", "A", "B"], 20180102, "2018-01-10", as_of=when)
        plain = quorbel.read_panel(path, ["B", "A", "B"], 20180102, "2018-01-10")
        assert panel.index.equals(plain.index) and list(panel.columns) == ["B", "A", "B"]
        np.testing.assert_array_equal(panel.values, expected_cube(matrix, ["B", "A", "B"], range(COLS)))
        with detail.get_h5(path) as h5:
            dates, ids, values = quorbel.read_panel(h5, ["A"], 20180102, 20180110, check=True, as_numpy=True,
                                                    as_of=when)
        assert dates.tolist() == CALENDAR[:cursor + 1] and ids == ["A"]
        np.testing.assert_array_equal(values, expected_cube(matrix, ["A"], range(cursor + 1)))
    with pytest.raises(ValueError, match="neither a snapshot label"):
        quorbel.read_panel(path, ["A"], 20180102, 20180103, as_of="before-fix")


# ---- lazy reads ----------------------------------------------------------------

dask = pytest.importorskip("dask")


@pytest.mark.parametrize("check", [False, True])
def test_lazy_reads_undo_in_each_block(lib, story, check):
    with dask.config.set(scheduler="threads"):
        for when in [T0 + 50, T0 + 250, T0 + 350]:
            eager = lib.read(["alpha"], ["A", "C", "D"], check=check, as_of=when)
            lazy = lib.read(["alpha"], ["A", "C", "D"], check=check, as_of=when, chunks=2)
            assert lazy.dims == eager.dims and lazy["date"].equals(eager["date"])
            np.testing.assert_array_equal(lazy.values, eager.values)
    _, known = lib.read(["alpha"], ["A"], as_of=T0 + 250, chunks=2, known=True)
    assert [None if pd.isna(k) else k.value for k in known] == [T0, T0, T0 + 100, None, None]


def test_lazy_reads_as_of_on_a_cluster(lib, story):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster):
        lazy = lib.read(["alpha"], as_of="2023-11-14 22:13:20.0000002Z", chunks=3)
        np.testing.assert_array_equal(lazy.values, lib.read(["alpha"], as_of=T0 + 200).values)


# ---- snapshots -------------------------------------------------------------------


def test_snapshots_name_times_that_reads_take(lib, story, monkeypatch):
    from quorbel.library import snapshots

    clock = iter([T0 + 150, T0 + 350])
    monkeypatch.setattr(snapshots, "history_now", lambda: next(clock))
    assert lib.snapshots() == {}
    assert lib.snapshot("after-append") == pd.Timestamp(T0 + 150, unit="ns", tz="UTC")
    lib.snapshot("close 2018-01-08")
    assert list(lib.snapshots()) == ["after-append", "close 2018-01-08"]
    np.testing.assert_array_equal(lib.read(["alpha"], as_of="after-append").values,
                                  lib.read(["alpha"], as_of=T0 + 150).values)
    frame = lib.cross_section(20180108, ["alpha"], ["A"], as_of="close 2018-01-08", check=True)
    assert frame["alpha"].tolist() == [40.0]
    stored = json.load(open(os.path.join(lib.root, ".quorbel", "snapshots.json")))
    assert stored == {"after-append": T0 + 150, "close 2018-01-08": T0 + 350}
    with pytest.raises(ValueError, match="'after-append' exists already .*pick another label"):
        lib.snapshot("after-append")
    with pytest.raises(ValueError, match="reads as a timestamp"):
        lib.snapshot("2024-01-05")
    with pytest.raises(TypeError, match="must be a str"):
        lib.snapshot(20240105)
    with pytest.raises(ValueError, match=r"'after-apend' is neither a snapshot label \(snapshots: after-append"):
        lib.read(["alpha"], as_of="after-apend")
    assert "alpha" in lib.names() and len(lib.names()) == 1  # .quorbel holds no factor


def test_damaged_snapshot_file_is_named(lib, story):
    folder = os.path.join(lib.root, ".quorbel")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "snapshots.json"), "w") as f:
        f.write("{")
    with pytest.raises(ValueError, match="snapshots.json: the library's snapshot labels are no JSON"):
        lib.read(["alpha"], as_of="x")


# ---- recorded by the engine: revert and snapshots on the commit clock ------------


@pytest.fixture
def clock(detail):
    """The engine's commit clock, set by the test and put back after it."""
    def at(when):
        detail._history_clock(when)
    yield at
    detail._history_clock(None)


def history_records(lib, name):
    return quorbel._extras._history_log(lib.path(name))["records"]


def test_revert_then_revert_the_revert(lib, clock):
    lib.enable_history()
    clock(T0)
    lib.write(20180102, {"f": {"A": 1.0, "B": 2.0}}, create=True)
    lib.write(20180103, {"f": {"A": 3.0}})
    clock(T0 + 100)
    assert lib.snapshot("good").value == T0 + 100
    clock(T0 + 200)
    lib.write(20180102, {"f": {"A": 9.0, "C": 5.0}})  # a bad recomputation
    lib.write(20180110, {"f": {"B": 7.0}})            # a date written too early: the cursor jumps
    ids = ["A", "B", "C"]
    bad = lib.read(["f"], ids, 20180102, 20180110).values
    clock(T0 + 300)
    report = lib.revert("f", to="good")
    assert (report.dates, report.cells, report.cursor_before, report.cursor_after) == \
        ([20180102, 20180110], 3, 20180110, 20180103)
    assert report.changed and report.to == pd.Timestamp(T0 + 100, unit="ns", tz="UTC")
    now = lib.read(["f"], ids, 20180102, 20180110)
    np.testing.assert_array_equal(now.values, lib.read(["f"], ids, 20180102, 20180110, as_of="good").values)
    assert lib.info("f").cursor_date == 20180103
    # One commit, which a read as of before it does not see.
    assert history_records(lib, "f")[-1]["time"] == T0 + 300
    np.testing.assert_array_equal(lib.read(["f"], ids, 20180102, 20180110, as_of=T0 + 299).values, bad)
    # Nothing differs: nothing is committed.
    count = len(history_records(lib, "f"))
    assert not lib.revert("f", to=T0 + 300).changed and len(history_records(lib, "f")) == count
    clock(T0 + 400)
    undo = lib.revert("f", to=T0 + 299)
    assert (undo.dates, undo.cells, undo.cursor_after) == ([20180102, 20180110], 3, 20180110)
    np.testing.assert_array_equal(lib.read(["f"], ids, 20180102, 20180110).values, bad)
    # The dates' first-known times are those of their first writes, reverts or not.
    assert [None if pd.isna(v) else v.value for v in lib.known_at("f", [20180102, 20180110])] == \
        [T0 + 1, T0 + 201]


def test_revert_refusals(lib, detail, clock):
    clock(T0)
    lib.write(20180102, {"old": {"A": 1.0}}, create=True)
    clock(T0 + 100)
    lib.enable_history()
    with pytest.raises(ValueError, match=r"old cannot be read as of .*its history began at 2023-11-14 "
                                         r"22:13:20\.0000001 UTC"):
        lib.revert("old", to=T0 + 50)
    detail.create_new_factor_h5(lib.path("plain"), (4, 4)).close()
    with pytest.raises(ValueError, match="plain has no history"):
        lib.revert("plain", to=T0)
    with pytest.raises(KeyError):
        lib.revert("missing", to=T0)
    clock(T0 + 200)
    lib.write(20180102, {"old": {"A": 2.0}})
    clock(T0 + 300)
    lib.write(20180102, {"old": {"A": 3.0}})
    lib.prune_history(before=T0 + 250)
    with pytest.raises(ValueError, match="was pruned"):
        lib.revert("old", to=T0 + 150)
    assert lib.revert("old", to=T0 + 250).cells == 1


def test_snapshot_is_dated_on_the_commit_clock(lib, clock):
    clock(T0 + 5)
    assert lib.snapshot("s") == pd.Timestamp(T0 + 5, unit="ns", tz="UTC")
    clock(None)
    assert lib.snapshot("t") > pd.Timestamp.now(tz="UTC") - pd.Timedelta(minutes=1)
    assert list(lib.snapshots()) == ["s", "t"]


def test_cli_enables_history_of_a_file_and_of_a_library(lib, detail, capsys):
    from quorbel import cli

    lib.write(20180102, {"a": {"A": 1.0}, "b": {"B": 2.0}}, create=True)
    assert cli.main(["history", "enable", lib.path("a")]) == 0
    assert capsys.readouterr().out == f"history started: {lib.path('a')}\n"
    assert cli.main(["history", "enable", lib.root]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out == [f"history started: {lib.path('b')}",
                   f"1 started; every factor of {lib.root} keeps a history, and factors created there later "
                   "keep one from their first write"]
    lib.write(20180103, {"c": {"A": 3.0}}, create=True)
    assert os.path.exists(lib.path("c") + ".history")
    assert cli.main(["history", "enable", lib.path("a")]) == 0
    assert capsys.readouterr().out == f"{lib.path('a')} keeps a history already\n"


# ---- a reader beside a writer ------------------------------------------------------

REVISING_WRITER = """
import json, sys
import quorbel, quorbel.detail as d
job = json.loads(sys.argv[1])
d.get_all_trading_dates = lambda: job["calendar"]
d._get_all_instrument_index = lambda: job["instruments"]
lib = quorbel.FactorLibrary(job["root"])
print("writing", flush=True)
for k in range(job["commits"]):
    date = job["calendar"][k % len(job["calendar"])]
    lib.write(date, {"f": {i: float(100 + k) for i in job["instruments"]}})
"""


def test_a_read_as_of_the_past_stays_whole_beside_a_writer(lib, detail, market, tmp_path):
    # Each commit of the writer revises a whole date; reads as of a time
    # before them must give the old state, however they interleave: the
    # cells are read first and the history after, never the other way.
    import subprocess
    import sys

    instruments = {f"S{i:03d}": i for i in range(200)}
    market.set_instruments(instruments)
    lib.enable_history()
    lib.write(20180102, {"f": {i: 1.0 for i in instruments}}, create=True)
    lib.write(20180103, {"f": {i: 2.0 for i in instruments}})
    lib.snapshot("before")
    expected = lib.read(["f"], check=True).values
    job = json.dumps({"root": lib.root, "calendar": CALENDAR, "instruments": instruments, "commits": 60})
    writer = subprocess.Popen([sys.executable, "-c", REVISING_WRITER, job], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline().strip() == "writing"
        reads = 0
        while writer.poll() is None and reads < 2000:
            np.testing.assert_array_equal(lib.read(["f"], None, 20180102, 20180110, as_of="before",
                                                   check=True).values, expected)
            reads += 1
        _, err = writer.communicate(timeout=300)
        assert writer.returncode == 0, err
    finally:
        if writer.poll() is None:
            writer.kill()
            writer.wait()
    np.testing.assert_array_equal(lib.read(["f"], as_of="before", check=True).values, expected)
    assert lib.read(["f"], ["S000"], 20180110, 20180110).values.item() == 100.0 + 55


def test_read_table_as_of(lib, story):
    table = lib.read_table(["alpha"], ["A", "B"], 20180102, 20180103, format="pandas", as_of=T0 + 150)
    assert table["alpha"].tolist() == [1.0, 2.0, 10.0, 11.0]
    table = lib.read_table(["alpha"], ["A", "B"], 20180102, 20180103, format="pandas", as_of=T0 + 250)
    assert table["alpha"].tolist() == [-1.0, 2.0, 10.0, 11.0]
