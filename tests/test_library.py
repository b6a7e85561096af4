"""FactorLibrary: a folder of factor files read as one cube and written many at once."""

import gc
import hashlib
import errno
import json
import os
import pickle
import re
import shutil
import types

import h5py
import numpy as np
import pandas as pd
import pytest

import quorbel
from quorbel import library as library_module

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108, 20180109, 20180110]
INDEX = {"A": 0, "B": 3, "C": 7, "D": 11, "FAR": 40, "NEG": -1}


def engine_file(detail, path, values, cursor_col=None):
    f = detail.create_new_factor_h5(str(path), values.shape)
    for j in range(values.shape[1]):
        f["data"][:, j] = values[:, j]
    if cursor_col is not None:
        f["data"].attrs["cursor_col"] = cursor_col
    f.close()


def h5py_file(path, values, cursor_col=None, **layout):
    with h5py.File(path, "w") as f:
        d = f.create_dataset("data", data=values, **layout)
        if cursor_col is not None:
            d.attrs["cursor_col"] = np.int64(cursor_col)


def matrix(rows, cols, offset):
    values = np.arange(rows * cols, dtype="f8").reshape(rows, cols) + offset
    values[3, 1] = np.nan
    return values


@pytest.fixture
def root(detail, market, tmp_path):
    """Factors of varied shapes, chunkings and cursors, and files that are not factors."""
    market.set_calendar(CALENDAR)
    market.set_instruments(INDEX)
    lib_root = tmp_path / "lib"
    (lib_root / "style").mkdir(parents=True)
    engine_file(detail, lib_root / "alpha.h5", matrix(10, 9, 0.5), cursor_col=4)
    engine_file(detail, lib_root / "style" / "beta.h5", matrix(12, 5, 100.5), cursor_col=2)
    # Small DEFLATE chunks: several row stripes and chunk columns, no cursor.
    h5py_file(lib_root / "gamma.h5", matrix(14, 9, 200.5), chunks=(4, 3), maxshape=(None, None),
              compression="gzip", compression_opts=9, fillvalue=np.nan)
    # Not stored as DEFLATE chunks: read through HDF5's own pipeline.
    h5py_file(lib_root / "style" / "delta.h5", matrix(8, 6, 300.5), cursor_col=5)
    (lib_root / ".hidden.h5").write_bytes(b"")
    (lib_root / ".cache").mkdir()
    (lib_root / ".cache" / "x.h5").write_bytes(b"")
    (lib_root / "notes.txt").write_text("not a factor")
    return lib_root


@pytest.fixture
def lib(root):
    return quorbel.FactorLibrary(root)


def codes(index):
    return [d.year * 10000 + d.month * 100 + d.day for d in index]


def test_names_are_relative_paths_without_hidden_entries(lib):
    assert lib.names() == ["alpha", "gamma", "style/beta", "style/delta"]
    assert "style/beta" in lib and "style/beta.h5" not in lib and ".hidden" not in lib


def test_names_list_each_file_once(lib, root, capsys):
    os.symlink(root / "alpha.h5", root / "aardvark.h5")  # a symbolic link sorted before its file
    os.symlink("../gamma.h5", root / "style" / "gamma_link.h5")
    os.link(root / "gamma.h5", root / "hard.h5")  # a hard link sorted after its original
    os.link(root / "style" / "beta.h5", root / "a_beta.h5")  # and one sorted before it
    os.symlink(root / "a_beta.h5", root / "zz.h5")
    os.symlink(root / "missing.h5", root / "dangling.h5")
    assert lib.names() == ["a_beta", "alpha", "gamma", "style/delta"]
    assert [n for n in ["aardvark", "hard", "zz", "style/gamma_link"] if n in lib] == ["aardvark", "hard", "zz",
                                                                                       "style/gamma_link"]
    # Given by name, each still reads as itself.
    cube = lib.read(["alpha", "aardvark", "gamma", "hard"], ["A", "B"])
    np.testing.assert_array_equal(cube.values[0], cube.values[1])
    np.testing.assert_array_equal(cube.values[2], cube.values[3])
    from quorbel import cli

    # ls lists the same files, and says what is wrong with the dangling link.
    assert cli.main(["ls", str(root), "--json"]) == 1
    entries = json.loads(capsys.readouterr().out)
    assert [entry["name"] for entry in entries if "error" not in entry] == lib.names()
    assert [(e["name"], e["error"]) for e in entries if "error" in e] == \
        [("dangling", f"dangling symbolic link to {root / 'missing.h5'}: no such file")]


READS = [
    dict(start=None, end=None, check=False),
    dict(start=20180103, end=20180108, check=False),
    dict(start="2018-01-01", end=20180201, check=True),  # each file cut at its own cursor
    dict(start=20180109, end=20180110, check=True),      # past some cursors: those factors are all NaN
    dict(start=20180106, end=20180107, check=False),     # no trading date inside
]


@pytest.mark.parametrize("ids", [["C", "A", "UNKNOWN", "B", "A", "FAR", "NEG", "D"], None])
@pytest.mark.parametrize("args", READS)
def test_cube_equals_read_panel_of_each_factor(lib, args, ids):
    cube = lib.read(ids=ids, start=args["start"], end=args["end"], check=args["check"])
    assert cube.dims == ("factor", "date", "instrument") and cube.dtype == np.float64
    assert list(cube["factor"].values) == lib.names()
    expected_ids = ["C", "A", "B", "A", "FAR", "NEG", "D"] if ids else ["NEG", "A", "B", "C", "D", "FAR"]
    assert list(cube["instrument"].values) == expected_ids
    start = library_module.date_code(args["start"]) if args["start"] else CALENDAR[0]
    end = library_module.date_code(args["end"]) if args["end"] else CALENDAR[-1]
    union = set()
    for name in lib.names():
        frame = quorbel.read_panel(lib.path(name), expected_ids, start, end, check=args["check"])
        union.update(codes(frame.index))
        got = cube.sel(factor=name).to_pandas()
        got.index.name = "date"
        inside = got.loc[frame.index]
        np.testing.assert_array_equal(inside.to_numpy(), frame.to_numpy())
        assert got.drop(frame.index).isna().all().all()  # dates the file does not read
    assert codes(cube.indexes["date"]) == sorted(union)


def test_cube_filters_names_and_dates(lib):
    cube = lib.read(["style/delta", "alpha"], ["B"], 20180104, 20180105)
    assert list(cube["factor"].values) == ["style/delta", "alpha"]
    assert codes(cube.indexes["date"]) == [20180104, 20180105]
    np.testing.assert_array_equal(cube.values[:, :, 0], [[320.5, 321.5], [29.5, 30.5]])


def test_read_in_groups_equals_read_at_once(lib, monkeypatch):
    whole = lib.read(ids=["A", "C", "D"], check=True)
    monkeypatch.setattr(library_module, "OPEN_AT_ONCE", 1)
    grouped = lib.read(ids=["A", "C", "D"], check=True)
    assert grouped.identical(whole)


def test_progress_shows_files_done_and_changes_no_result(lib, root, monkeypatch, capsys):
    whole = lib.read(ids=["A", "C", "D"], check=True)
    for at_once in (256, 1):  # one group of files, and a group per file
        monkeypatch.setattr(library_module, "OPEN_AT_ONCE", at_once)
        monkeypatch.setattr(library_module, "PROGRESS_BATCH", 3)
        assert lib.read(ids=["A", "C", "D"], check=True, progress=True).identical(whole)
        assert "reading 4 factors [" in capsys.readouterr().err
    lib.write(20180109, {"alpha": {"A": 1.0}, "gamma": {"A": 2.0}}, progress=True)
    assert "writing 2 factors [" in capsys.readouterr().err
    lib.write(20180110, {"alpha": {"A": 1.5}})
    assert capsys.readouterr().err == ""
    seen = []
    display = library_module._progress("x", False)
    with display:
        display(1, 2)
    monkeypatch.setattr("quorbel.cli.ProgressDisplay.__call__", lambda self, done, total: seen.append((done, total)))
    lib.rewrite(["alpha", "gamma", "style/beta"], progress=True)
    # The display is refreshed a few times a second as well as on each file
    # done, so how often it is called depends on the machine's speed.
    assert seen[0] == (0, 3) and seen[-1] == (3, 3)
    assert [done for done, _ in seen] == sorted(done for done, _ in seen) and {t for _, t in seen} == {3}


def test_rewrite_copies_every_factor_once_and_reports_failures(lib, root):
    def contents(name):
        with h5py.File(root / (name + ".h5"), "r") as f:
            return f["data"][...], f["data"].attrs.get("cursor_col")

    before = {name: contents(name) for name in lib.names()}
    os.symlink(root / "alpha.h5", root / "style" / "alias.h5")
    inode = os.stat(root / "alpha.h5").st_ino
    assert lib.rewrite().ok
    assert os.path.islink(root / "style" / "alias.h5")  # rewritten through its real path: the link stays
    assert os.stat(root / "alpha.h5").st_ino != inode
    for name, (data, cursor) in before.items():
        got, got_cursor = contents(name)
        np.testing.assert_array_equal(got, data)
        assert got_cursor == cursor
    (root / "junk.h5").write_text("not HDF5")
    with pytest.raises(library_module.FactorWriteError, match="1 of 3 factor writes failed: junk: OSError") as raised:
        lib.rewrite(["alpha", "junk", "style/alias"])
    assert raised.value.report["alpha"] is None and raised.value.report["style/alias"] is None
    report = lib.rewrite(["junk"], raise_errors=False)
    assert list(report.failed) == ["junk"]
    # It crosses to another process whole.
    copied = pickle.loads(pickle.dumps(raised.value))
    assert str(copied) == str(raised.value) and list(copied.failures) == ["junk"]


def test_cross_section_is_one_date_of_the_cube(lib):
    frame = lib.cross_section(20180104, ids=["C", "A", "X"])
    cube = lib.read(ids=["C", "A"], start=20180104, end=20180104)
    assert list(frame.index) == ["C", "A"] and list(frame.columns) == lib.names()
    np.testing.assert_array_equal(frame.to_numpy(), cube.values[:, 0, :].T)
    with pytest.raises(ValueError, match="20180106 is not a trading date"):
        lib.cross_section(20180106)
    # A date no matrix reaches under check: every value NaN, same labels.
    assert lib.cross_section(20180110, ["style/beta"], ["A"], check=True).isna().all().all()


def test_info_tells_shape_cursor_last_value_and_size(lib, root, detail):
    info = lib.info("alpha")
    assert info.shape == (10, 9) and info.cursor_col == 4 and info.cursor_date == 20180108
    assert info.last_value_col == 8 and info.last_value_date is None  # past the calendar
    assert info.size == os.path.getsize(root / "alpha.h5")
    # A factor whose last columns hold nothing: found by scanning back.
    engine_file(detail, root / "sparse.h5", np.full((700, 600), np.nan))
    with detail.get_h5(str(root / "sparse.h5"), write=True) as h5:
        detail.put_factor_value(h5, 20180103, [types.SimpleNamespace(order_book_id="D", value=1.0)])
    info = lib.info("sparse")
    assert (info.last_value_col, info.last_value_date, info.cursor_date) == (1, 20180103, 20180103)
    h5py_file(root / "empty.h5", np.full((3, 4), np.nan))
    assert lib.info("empty").last_value_col is None


def test_bad_read_arguments_are_refused(lib, root):
    with pytest.raises(KeyError, match="'nope'"):
        lib.read(["alpha", "nope"])
    with pytest.raises(KeyError, match="'notes'"):
        lib.info("notes")
    with pytest.raises(TypeError, match=r"list of factor names, not str: for one factor, give \['alpha'\]"):
        lib.read("alpha")
    with pytest.raises(ValueError, match="listed twice"):
        lib.read(["alpha", "alpha"])
    with pytest.raises(ValueError, match="not a factor name"):
        lib.read(["../lib/alpha"])
    with pytest.raises(TypeError, match="list of order_book_id"):
        lib.read(ids="A")
    with pytest.raises(ValueError, match="lies after end"):
        lib.read(start=20180105, end=20180103)
    with pytest.raises(ValueError, match="not a date code"):
        lib.read(start=20181340)
    with pytest.raises(TypeError, match="not float"):
        lib.read(end=20180105.0)
    for chunks, kind in [("big", ValueError), (0, ValueError), (True, TypeError), (2.5, TypeError),
                         ((1, 2), TypeError)]:
        with pytest.raises(kind, match="chunks"):
            lib.read(chunks=chunks)
    with pytest.raises(ValueError, match="Dask's own"):
        lib.read(chunks="auto", progress=True)


def test_a_file_that_is_no_factor_is_named(lib, root):
    (root / "junk.h5").write_text("certainly not HDF5")
    with pytest.raises(OSError, match="junk.h5"):
        lib.read()
    with pytest.raises(OSError, match="junk.h5"):
        lib.info("junk")
    os.remove(root / "junk.h5")
    with h5py.File(root / "nodata.h5", "w") as f:
        f.create_dataset("other", data=[1.0])
    with pytest.raises(OSError, match=r"nodata\.h5: not a factor file"):
        lib.read(["alpha", "nodata"])
    with h5py.File(root / "nodata.h5", "w") as f:
        f.create_dataset("data", data=np.zeros(4))
    with pytest.raises(OSError, match=r"nodata\.h5: not a factor file \('data' has 1 dimensions"):
        lib.read(["nodata"])


# ---- writes ---------------------------------------------------------------------

def item(order_book_id, value):
    return types.SimpleNamespace(order_book_id=order_book_id, value=value)


def contents(root):
    """Every factor file's matrix and cursor, read with h5py."""
    out = {}
    for folder, _, files in os.walk(root):
        for file in files:
            path = os.path.join(folder, file)
            if not file.endswith(".h5") or file.startswith("."):
                continue
            try:
                with h5py.File(path, "r") as f:
                    out[os.path.relpath(path, root)] = (f["data"][...], f["data"].attrs.get("cursor_col"))
            except OSError:
                continue
    return out


def assert_same_files(left, right):
    a, b = contents(left), contents(right)
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_array_equal(a[key][0], b[key][0], err_msg=key)
        assert a[key][1] == b[key][1], key


def fingerprint(root):
    digests = {}
    for folder, _, files in os.walk(root):
        for file in files:
            path = os.path.join(folder, file)
            with open(path, "rb") as f:
                digests[path] = hashlib.sha256(f.read()).hexdigest()
    return digests


@pytest.fixture
def twin(root, tmp_path):
    """A copy of the library, written one file at a time for comparison."""
    copy = tmp_path / "twin"
    shutil.copytree(root, copy)
    return copy


def test_write_equals_put_factor_value_file_by_file(lib, root, twin, detail):
    values = {
        "alpha": [item("A", 1.5), item("UNLISTED", 2.0), item("C", np.nan)],
        "style/beta": [item("D", 7.0)],  # column 5: the 5-column matrix grows
        "gamma": {"B": 3.25, "A": "4"},
        "style/delta": pd.Series([], dtype=float),  # nothing to store: only the cursor moves
    }
    later = {  # mappings and Series of every kind of label and value put_factor_value takes
        "alpha": pd.Series({"C": 1.25, "A": np.nan, "UNLISTED": 3.0, "B": 2}),
        "gamma": pd.Series([0.5, -1], index=pd.Index(["D", "B"], dtype="string"), dtype="Float64"),
        "style/beta": {"A": np.float32(0.1), "C": 4},
    }
    for date, by_name in [(20180109, values), (20180110, later)]:
        report = lib.write(date, by_name)
        assert report == {name: None for name in by_name} and report.ok
        for name, given in by_name.items():
            # Items made here, one by one, the way a caller of put_factor_value makes them.
            items = [item(k, v) for k, v in given.items()] if hasattr(given, "items") else given
            with detail.get_h5(str(twin / (name + ".h5")), write=True) as h5:
                detail.put_factor_value(h5, date, items)
    assert_same_files(root, twin)
    assert lib.read(["style/beta"], ["D"], 20180109, 20180109).item() == 7.0
    written = lib.cross_section(20180110, ["alpha", "gamma"], ["A", "B", "C", "D"])
    assert np.isnan(written.loc["A", "alpha"])
    assert written.loc[["B", "C"], "alpha"].tolist() == [2.0, 1.25]
    assert written.loc[["B", "D"], "gamma"].tolist() == [-1.0, 0.5]


def test_write_packs_equals_put_factor_packs_file_by_file(lib, root, twin, detail):
    def packs(offset):
        return [types.SimpleNamespace(date=d, values=[item("A", offset + i), item("C", -offset - i)])
                for i, d in enumerate([20180110, 20180103, 20180106])]  # 20180106: no trading date

    batch = {"alpha": packs(1), "style/beta": iter(packs(10)), "gamma": packs(20)}
    lib.write_packs(batch)
    for name, offset in [("alpha", 1), ("style/beta", 10), ("gamma", 20)]:
        with detail.get_h5(str(twin / (name + ".h5")), write=True) as h5:
            detail.put_factor_packs(h5, packs(offset))
    assert_same_files(root, twin)


def test_a_failing_factor_does_not_stop_the_others(lib, root, twin, detail):
    (root / "broken.h5").write_text("not HDF5")
    (twin / "broken.h5").write_text("not HDF5")
    values = {name: [item("A", 42.0)] for name in ["alpha", "broken", "gamma", "style/beta"]}
    with pytest.raises(library_module.FactorWriteError) as raised:
        lib.write(20180110, values)
    message = str(raised.value)
    assert message.startswith("1 of 4 factor writes failed: broken: OSError") and "broken.h5" in message
    assert set(raised.value.failures) == {"broken"}
    for name in ["alpha", "gamma", "style/beta"]:
        with detail.get_h5(str(twin / (name + ".h5")), write=True) as h5:
            detail.put_factor_value(h5, 20180110, values[name])
    assert_same_files(root, twin)

    report = lib.write(20180109, values, raise_errors=False)
    assert not report.ok and list(report.failed) == ["broken"]
    assert isinstance(report["broken"], OSError) and report["alpha"] is None


def test_bad_write_arguments_write_nothing(lib, root):
    before = fingerprint(root)
    good = [item("A", 1.0)]
    cases = [
        (KeyError, "'missing'", lambda: lib.write(20180109, {"alpha": good, "missing": good})),
        (TypeError, "item 1", lambda: lib.write(20180109, {"alpha": good, "gamma": [item("A", 1), 5]})),
        (TypeError, "unhashable", lambda: lib.write(20180109, {"alpha": good, "gamma": [item(["A"], 1)]})),
        (TypeError, "not str", lambda: lib.write(20180109, {"alpha": good, "gamma": "A=1"})),
        (TypeError, "mapping of factor name", lambda: lib.write(20180109, [("alpha", good)])),
        (ValueError, "not a date", lambda: lib.write("2018-13-01", {"alpha": good})),
        (ValueError, "no packs", lambda: lib.write_packs({"alpha": [types.SimpleNamespace(date=20180109,
                                                                                          values=good)],
                                                          "gamma": []})),
        (TypeError, "pack 1", lambda: lib.write_packs({"alpha": [types.SimpleNamespace(date=20180109,
                                                                                       values=good), good[0]]})),
        (TypeError, "date of pack 0", lambda: lib.write_packs({"alpha": [types.SimpleNamespace(date=None,
                                                                                               values=good)]})),
        (TypeError, "dask.distributed Client", lambda: lib.write(20180109, {"alpha": good}, client=object())),
    ]
    for kind, text, call in cases:
        with pytest.raises(kind, match=text):
            call()
    assert fingerprint(root) == before
    assert gc.isenabled()  # paused while the arguments were converted, on again after each refusal


UNCONVERTIBLE = [("abc", ValueError), (pd.NA, TypeError), (object(), TypeError), (1j, TypeError),
                 (pd.Timestamp("2018-01-09"), TypeError)]


@pytest.mark.parametrize("bad, kind", UNCONVERTIBLE, ids=[type(bad).__name__ for bad, _ in UNCONVERTIBLE])
def test_values_that_do_not_convert_are_refused_before_any_file_is_written(lib, root, bad, kind):
    # "gamma" comes after "alpha": found only by the engine, the bad value
    # would fail gamma's write after alpha's had been written.
    before = fingerprint(root)
    given = [{"A": 1.0, "B": bad}, pd.Series([1.0, bad], index=["A", "B"], dtype=object),
             [item("A", 1.0), item("B", bad)]]
    calls = [lambda values: lib.write(20180109, {"alpha": {"A": 2.0}, "gamma": values}),
             lambda values: lib.write_packs({"alpha": [types.SimpleNamespace(date=20180109, values={"A": 2.0})],
                                             "gamma": [types.SimpleNamespace(date=20180108, values={"A": 1.0}),
                                                       types.SimpleNamespace(date=20180109, values=values)]})]
    named = rf"factor 'gamma', .*date 20180109.*instrument 'B': value {re.escape(repr(bad))}"
    for values in given:
        for call in calls:
            with pytest.raises(kind, match=named):
                call(values)
    assert fingerprint(root) == before


def test_names_of_one_file_share_one_task(lib, root, monkeypatch):
    # Tasks of one file through two paths would run at once, and one would
    # find the other's write in progress.
    os.link(root / "gamma.h5", root / "hard.h5")
    os.symlink(root / "alpha.h5", root / "alias.h5")
    grouped = []
    run_on_threads = library_module._run_on_threads

    def spy(tasks, *args):
        grouped.append(sorted(sorted(names) for names in tasks.values()))
        return run_on_threads(tasks, *args)

    monkeypatch.setattr(library_module.writes, "_run_on_threads", spy)
    # The refused writes would wait out get_h5's retries a second at a time.
    from quorbel import utils

    monkeypatch.setattr(utils, "time", types.SimpleNamespace(sleep=lambda _: None, monotonic=utils.time.monotonic))
    names = ["gamma", "hard", "alias", "alpha", "style/beta"]
    report = lib.write(20180109, {name: {"A": 1.0} for name in names}, raise_errors=False, max_workers=4)
    assert not [e for e in report.failed.values() if "already in progress" in str(e)]
    # A file with two names is not written at all: its journal would lie beside one of them.
    assert {name for name, e in report.failed.items() if e.errno == errno.EMLINK} == {"gamma", "hard"}
    lib.write_packs({name: [types.SimpleNamespace(date=20180110, values={"B": 2.0})] for name in names},
                    raise_errors=False, max_workers=4)
    lib.rewrite(names, raise_errors=False, max_workers=4)
    assert grouped == [[["alias", "alpha"], ["gamma", "hard"], ["style/beta"]]] * 3
    # A rewrite gives each hard link a file of its own and leaves a symbolic link a link.
    assert os.path.islink(root / "alias.h5")
    assert not os.path.samefile(root / "gamma.h5", root / "hard.h5")


def test_create_makes_missing_factors_as_get_h5_does(lib, root, detail, market):
    with pytest.raises(KeyError, match="'new/one'"):
        lib.write(20180103, {"new/one": [item("A", 1.0)]})
    lib.write(20180103, {"new/one": [item("A", 1.0)], "alpha": [item("A", 2.0)]}, create=True)
    with h5py.File(root / "new" / "one.h5", "r") as f:
        assert f["data"].shape == (len(INDEX) + 500, len(CALENDAR) + 250)
        assert f["data"][0, 1] == 1.0 and f["data"].attrs["cursor_col"] == 1
    assert "new/one" in lib.names()


def test_a_damaged_chunk_fails_the_read_naming_its_file(lib, root):
    with h5py.File(root / "gamma.h5", "r") as f:
        info = f["data"].id.get_chunk_info(5)
    with open(root / "gamma.h5", "r+b") as f:
        f.seek(info.byte_offset + 2)
        f.write(b"\xff" * (info.size - 2))
    with pytest.raises(OSError, match=r"gamma\.h5: Unable to read chunk"):
        lib.read()
    assert lib.read(["alpha"]).shape == (1, len(CALENDAR), len(INDEX))  # the engine goes on serving others


def test_overlapping_write_tasks_keep_the_collector_off_until_the_last_ends():
    # Tasks on two threads of one Dask worker enter and leave in any order.
    pause = library_module._collector_paused
    assert gc.isenabled()
    first, second = pause(), pause()
    first.__enter__()
    second.__enter__()
    first.__exit__(None, None, None)
    assert not gc.isenabled()
    second.__exit__(None, None, None)
    assert gc.isenabled()
    # A collector that was off before stays off.
    gc.disable()
    try:
        with pause():
            pass
        assert not gc.isenabled()
    finally:
        gc.enable()
