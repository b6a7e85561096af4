"""FactorLibrary on Dask: lazy cubes computed on a local cluster, writes run
by its workers. One cluster of two worker processes serves the whole module;
its workers find the calendar and the instrument index through their own
settings (the environment), as a real cluster's would."""

import gc
import logging
import os
import pickle
import shutil
import signal
import threading
import time
import types

import h5py
import numpy as np
import pandas as pd
import pytest
import xarray

distributed = pytest.importorskip("distributed")
import dask  # noqa: E402

import quorbel  # noqa: E402
import quorbel.detail as engine  # noqa: E402
from conftest import clear_reference_caches  # noqa: E402
from mongo_wire_server import seed_collection  # noqa: E402
from quorbel import library as library_module  # noqa: E402
from test_library import fingerprint  # noqa: E402

INSTRUMENTS = [f"S{i:03d}" for i in range(40)]
DATABASE, COLLECTION = "quorbel_test", "instruments_dask"


def dates_of(count, first=20240102):
    calendar = engine.get_all_trading_dates()
    at = calendar.index(first)
    return calendar[at:at + count]


def values_for(dates, salt, every=1):
    """{date: {order_book_id: value}}, with some instruments left out."""
    return {d: {oid: salt + n * 1000 + k for k, oid in enumerate(INSTRUMENTS) if (k + n) % every == 0}
            for n, d in enumerate(dates)}


def packs_of(by_date):
    return [types.SimpleNamespace(date=d, values=v) for d, v in by_date.items()]


def matrices(root):
    """{file: (data, cursor_col)} of every factor file under root, read by h5py."""
    found = {}
    for folder, _, files in os.walk(root):
        for file in files:
            if file.endswith(".h5"):
                with h5py.File(os.path.join(folder, file), "r") as f:
                    found[os.path.relpath(os.path.join(folder, file), root)] = (
                        f["data"][...], f["data"].attrs.get("cursor_col"))
    return found


def assert_same_files(left, right):
    a, b = matrices(left), matrices(right)
    assert sorted(a) == sorted(b)
    for name in a:
        np.testing.assert_array_equal(a[name][0], b[name][0], err_msg=name)
        assert a[name][1] == b[name][1], name


@pytest.fixture(scope="module")
def client(wire_server):
    seed_collection(wire_server.uri, [{"order_book_id": oid, "index": i} for i, oid in enumerate(INSTRUMENTS)],
                    DATABASE, COLLECTION)
    with pytest.MonkeyPatch.context() as patch:
        # The workers read these when they start; this process is pointed the same way.
        patch.setenv("QUORBEL_MONGODB_URI", wire_server.uri)
        patch.setenv("QUORBEL_DATABASE", DATABASE)
        patch.setenv("QUORBEL_COLLECTION", COLLECTION)
        patch.setattr(engine, "DATABASE", DATABASE)
        patch.setattr(engine, "COLLECTION", COLLECTION)
        patch.setattr(engine, "TRADING_DATES", engine.TRADING_DATES)  # the snapshot these tests fill
        clear_reference_caches()
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        try:
            with distributed.Client(cluster) as dask_client:
                yield dask_client
        finally:
            cluster.close()
            clear_reference_caches()


@pytest.fixture
def lib(client, tmp_path):
    root = tmp_path / "lib"
    root.mkdir()
    return quorbel.FactorLibrary(root)


def tasks_named(stream, prefix):
    """The tasks run whose key (a name, or a block's (name, i, j, k)) starts with prefix."""
    return [t for t in stream.data
            if (t["key"][0] if isinstance(t["key"], tuple) else t["key"]).startswith(prefix)]


# ---- lazy reads ----------------------------------------------------------------


def filled_library(lib):
    dates = dates_of(30)
    lib.write_packs({"alpha": packs_of(values_for(dates[:25], 0.5)),
                     "style/beta": packs_of(values_for(dates[5:], 0.25, every=3)),
                     "gamma": packs_of(values_for(dates[:12], 0.75, every=2))}, create=True)
    # A cursor short of the written dates: check=True cuts there.
    with h5py.File(lib.path("gamma"), "r+") as f:
        f["data"].attrs["cursor_col"] = np.int64(engine._get_date_index(dates[8]))
    return dates


def test_the_cube_computed_on_the_cluster_equals_the_eager_read(lib, client):
    dates = filled_library(lib)
    names = ["gamma", "alpha", "style/beta"]
    reads = [dict(start=dates[0]), dict(ids=["S007", "NOPE", "S001", "S007", "S039"], start=dates[3], end=dates[20]),
             dict(start=dates[0], end=dates[-1], check=True)]
    for args in reads:
        eager = lib.read(names, **args)
        lazy = lib.read(names, chunks=7, **args)
        assert lazy.chunks is not None and lazy.dims == eager.dims and lazy.dtype == np.float64
        with distributed.get_task_stream(client) as stream:
            computed = lazy.compute()  # on the active Client, Dask's default
        blocks = len(lazy.data.chunks[1])
        assert len(tasks_named(stream, "quorbel-read")) == len(names) * blocks
        np.testing.assert_array_equal(computed.values, eager.values)
        for coord in ("factor", "date", "instrument"):
            assert list(computed[coord].values) == list(eager[coord].values)
    assert list(lib.read(names, ids=["S007", "NOPE"], chunks="auto")["instrument"].values) == ["S007"]
    # check=True did cut gamma at its cursor
    assert np.isnan(eager.sel(factor="gamma").values).sum() > np.isnan(lib.read(["gamma"], start=dates[0], end=dates[-1]).values).sum()


def test_one_task_per_factor_and_block_with_edges_on_chunk_multiples(lib, client, monkeypatch):
    rows, cols = len(INSTRUMENTS), 70
    for name, chunks in [("six", (8, 6)), ("four", (8, 4)), ("whole", None)]:
        with h5py.File(lib.path(name), "w") as f:
            f.create_dataset("data", data=np.arange(rows * cols, dtype="f8").reshape(rows, cols), chunks=chunks,
                             maxshape=(None, None) if chunks else None, fillvalue=np.nan,
                             compression="gzip" if chunks else None)
    per_date = len(INSTRUMENTS) * 8
    # About 30 dates a block: 24, the largest multiple of lcm(6, 4) = 12 below.
    monkeypatch.setattr(library_module, "BLOCK_BYTES", per_date * 30)
    start = engine.get_all_trading_dates()[5]  # column 5: the first block is short
    cube = lib.read(["six", "four", "whole"], start=start, chunks="auto")
    assert cube.data.chunks[1] == (19, 24, 22)
    edges = 5 + np.cumsum(cube.data.chunks[1])[:-1]
    assert (edges % 12 == 0).all()
    graph = dict(cube.data.__dask_graph__())
    assert len([k for k in graph if isinstance(k, tuple)]) == 3 * 3
    np.testing.assert_array_equal(cube.compute().values, lib.read(["six", "four", "whole"], start=start).values)

    assert library_module._auto_block([6, 4, 0], len(INSTRUMENTS)) == 24
    # A common multiple too wide for a block: the widest chunks set the step.
    many = 5000
    assert library_module._auto_block([89, 97, 101], many) % 101 == 0
    assert library_module._auto_block([89, 97], len(INSTRUMENTS)) == 89 * 97
    monkeypatch.setattr(library_module, "BLOCK_BYTES", 64 << 20)
    blocks = library_module._auto_block([100], many)
    assert 32 << 20 <= blocks * many * 8 <= 128 << 20 and blocks % 100 == 0
    assert library_module._block_sizes(5, 5, 10) == (0,)
    assert library_module._block_sizes(0, 25, 10) == (10, 10, 5)


def test_graph_and_source_survive_pickling_and_hold_no_engine_object(lib, client):
    dates = filled_library(lib)
    cube = lib.read(["alpha", "gamma"], ids=INSTRUMENTS[::-3], start=dates[0], end=dates[-1], chunks=4, check=True)
    expected = lib.read(["alpha", "gamma"], ids=INSTRUMENTS[::-3], start=dates[0], end=dates[-1], check=True).values

    blob = pickle.dumps(cube.data)
    assert b"FactorBlocks" in blob and b"quorbel.detail" not in blob and b"FactorFile" not in blob
    np.testing.assert_array_equal(client.compute(pickle.loads(blob)).result(), expected)
    graph = dict(cube.data.__dask_graph__())
    assert len(pickle.loads(pickle.dumps(graph))) == len(graph)

    blocks = library_module.FactorBlocks(paths=[lib.path("alpha")], tokens=[(1, 2)],
                                         sections=[(engine._get_date_index(dates[2]),
                                                    engine._get_date_index(dates[20]))],
                                         rows=np.arange(len(INSTRUMENTS)),
                                         first_column=engine._get_date_index(dates[0]), dates=22)
    copy = pickle.loads(pickle.dumps(blocks))
    whole = lib.read(["alpha"], start=dates[0], end=dates[21]).values
    whole[:, 20:] = np.nan  # past the section
    whole[:, :2] = np.nan
    np.testing.assert_array_equal(copy[:, :, :], whole)
    np.testing.assert_array_equal(copy[0, 3:17:4, ::-5], whole[0, 3:17:4, ::-5])
    np.testing.assert_array_equal(copy[0, -1, 7], whole[0, -1, 7])
    assert copy[:, 5:5].shape == (1, 0, len(INSTRUMENTS))
    with pytest.raises(TypeError, match="integers and slices"):
        copy[[0]]


def test_a_lazy_cube_reads_the_file_as_it_is_when_computed(lib, client):
    dates = dates_of(6)
    lib.write_packs({"alpha": packs_of(values_for(dates, 1.0))}, create=True)
    cube = lib.read(["alpha"], start=dates[0], end=dates[-1], chunks="auto")
    lib.write(dates[2], {"alpha": {"S000": -7.0}})
    assert cube.sel(instrument="S000").values[0, 2] == -7.0
    # Dates past the section planned at build time stay out; the key changes with the file.
    again = lib.read(["alpha"], start=dates[0], end=dates[-1], chunks="auto")
    assert again.data.name != cube.data.name
    os.remove(lib.path("alpha"))
    with pytest.raises(FileNotFoundError, match="alpha.h5"):
        cube.compute()


# ---- writes on the cluster --------------------------------------------------------


def test_writes_through_the_cluster_equal_writes_in_process(client, tmp_path):
    dates = dates_of(12)
    roots = {}
    for where in ("cluster", "local"):
        root = tmp_path / where
        (root / "style").mkdir(parents=True)
        lib = quorbel.FactorLibrary(root)
        lib.write_packs({"alpha": packs_of(values_for(dates[:4], 0.5))}, create=True)
        os.symlink(lib.path("alpha"), root / "alias.h5")
        roots[where] = (root, lib)
    batches = [
        lambda lib, c: lib.write_packs({"alpha": packs_of(values_for(dates[4:9], 1.5)),
                                        "style/new": packs_of(values_for(dates[2:10], 2.5, every=4))},
                                       create=True, client=c),
        lambda lib, c: lib.write(dates[10], {"alpha": {"S003": 9.0}, "style/new": {"S004": np.nan, "S005": 3},
                                             "alias": {"S006": 4.0}}, client=c),
        # Frames and cubes travel as arrays: a wide and a long frame, then a cube.
        lambda lib, c: lib.write_frame(
            {"alpha": pd.DataFrame(np.arange(6.0).reshape(3, 2), index=dates[5:8], columns=["S001", "S007"]),
             "style/new": pd.DataFrame({"date": dates[1:3], "order_book_id": ["S002", "S003"],
                                        "value": [7.0, 8.0]})}, client=c),
        lambda lib, c: lib.write_cube(xarray.DataArray(
            np.arange(12.0).reshape(2, 2, 3), dims=("factor", "date", "instrument"),
            coords={"factor": ["alpha", "style/new"], "date": [str(d) for d in dates[8:10]],
                    "instrument": ["S001", "S002", "S008"]}), client=c),
    ]
    for batch in batches:
        with distributed.get_task_stream(client) as stream:
            report = batch(roots["cluster"][1], client)
        assert batch(roots["local"][1], None) == report and report.ok
        # alpha and its alias are one file: one task for both.
        assert len(tasks_named(stream, "quorbel-write")) == 2
    assert_same_files(roots["cluster"][0], roots["local"][0])
    assert roots["cluster"][1].cross_section(dates[10], ["alias"]).loc["S006", "alias"] == 4.0
    # The writes' claims and outcomes do not stay behind on the scheduler.
    deadline = time.monotonic() + 30
    while client.run_on_scheduler(_write_state_left) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert client.run_on_scheduler(_write_state_left) == []
    # The tasks pause the workers' garbage collector while they write: it is on again after.
    assert set(client.run(gc.isenabled).values()) == {True}


def test_cluster_writes_keep_the_history_a_read_as_of_goes_back_to(lib, client):
    # The workers write in other processes: the history they record must be
    # the one reads in this process undo, for factors created there too.
    lib.enable_history()
    dates = dates_of(4)
    lib.write_packs({"alpha": packs_of(values_for(dates[:3], 0.5))}, create=True, client=client)
    assert os.path.exists(lib.path("alpha") + ".history")
    first = lib.read(["alpha"], start=dates[0], end=dates[2])
    lib.snapshot("first")
    lib.write(dates[1], {"alpha": {"S001": -1.0}}, client=client)
    lib.write_packs({"alpha": packs_of(values_for(dates[3:], 9.5))}, client=client)
    now = lib.read(["alpha"], start=dates[0], end=dates[3])
    assert now.sel(instrument="S001").values[0, 1] == -1.0
    then = lib.read(["alpha"], start=dates[0], end=dates[3], as_of="first")
    np.testing.assert_array_equal(then.values[0, :3], first.values[0])
    assert np.isnan(then.values[0, 3]).all()
    known = lib.known_at("alpha", dates)
    assert known.iloc[:3].notna().all() and known.iloc[3] > lib.snapshots()["first"]
    assert lib.revert("alpha", to="first").cells == 1 + len(INSTRUMENTS)
    np.testing.assert_array_equal(lib.read(["alpha"], start=dates[0], end=dates[3]).values, then.values)


def test_a_cluster_write_forgets_its_outcomes_without_a_log_line_each(lib, client):
    # The scheduler runs in this process; its logger does not reach the root logger.
    scheduler_log = logging.getLogger("distributed.scheduler")
    seen = []
    handler = logging.Handler(logging.INFO)
    handler.emit = lambda record: seen.append(record.getMessage())
    scheduler_log.addHandler(handler)
    try:
        dates = dates_of(3)
        report = lib.write_packs({f"f{i}": packs_of(values_for(dates, 0.5 + i)) for i in range(6)}, create=True,
                                 client=client)
        left = client.run_on_scheduler(_write_state_left)
    finally:
        scheduler_log.removeHandler(handler)
    assert report.ok and left == []
    assert [m for m in seen if "Remove client" in m] == []


def test_hard_links_of_one_file_share_one_task(lib, client):
    dates = dates_of(2)
    lib.write_packs({"alpha": packs_of(values_for(dates[:1], 0.5))}, create=True)
    os.link(lib.path("alpha"), lib.path("hard"))
    assert lib.names() == ["alpha"]
    with distributed.get_task_stream(client) as stream:
        report = lib.write(dates[1], {"alpha": {"S001": 1.0}, "hard": {"S002": 2.0}}, client=client,
                           raise_errors=False)
    assert len(tasks_named(stream, "quorbel-write")) == 1
    assert not [e for e in report.failed.values() if "already in progress" in str(e)]


def _write_state_left(dask_scheduler):
    locks = dask_scheduler.extensions["multi_locks"].locks
    variables = dask_scheduler.extensions["variables"].variables
    held = [name for name, holders in locks.items() if holders]
    return sorted(name for name in [*held, *variables] if str(name).startswith("quorbel-write"))


def test_failures_on_workers_are_reported_per_factor(lib, client):
    dates = dates_of(3)
    lib.write_packs({"alpha": packs_of(values_for(dates, 0.5)), "beta": packs_of(values_for(dates, 0.5))},
                    create=True)
    with open(lib.path("beta"), "r+b") as f:
        f.write(b"garbage!")
    with pytest.raises(library_module.FactorWriteError, match="beta") as raised:
        lib.write(dates[1], {"alpha": {"S001": 5.0}, "beta": {"S001": 5.0}}, client=client)
    assert list(raised.value.failures) == ["beta"] and isinstance(raised.value.failures["beta"], OSError)
    assert lib.cross_section(dates[1], ["alpha"]).loc["S001", "alpha"] == 5.0


def test_bad_arguments_send_and_write_nothing(lib, client):
    dates = dates_of(3)
    lib.write_packs({"alpha": packs_of(values_for(dates, 0.5)), "beta": packs_of(values_for(dates, 0.5))},
                    create=True)
    before = fingerprint(lib.root)
    good = {"S001": 1.0}
    cases = [
        (KeyError, "'missing'", lambda: lib.write(dates[0], {"alpha": good, "missing": good}, client=client)),
        (TypeError, "item 0", lambda: lib.write(dates[0], {"alpha": good, "beta": [3]}, client=client)),
        (ValueError, "no packs", lambda: lib.write_packs({"alpha": packs_of({dates[0]: good}), "beta": []},
                                                         client=client)),
        (TypeError, "cannot be sent", lambda: lib.write(dates[0], {"alpha": good, "beta": {threading.Lock(): 2.0}},
                                                        client=client)),
        # Values are converted in the caller, as the writers would convert them.
        (ValueError, f"factor 'beta', date {dates[0]}, instrument 'S002': value 'abc'",
         lambda: lib.write(dates[0], {"alpha": good, "beta": {"S002": "abc"}}, client=client)),
        (TypeError, f"factor 'beta', pack 1 \\(date {dates[1]}\\), instrument 'S002': value <NA>",
         lambda: lib.write_packs({"alpha": packs_of({dates[0]: good}),
                                  "beta": packs_of({dates[0]: good, dates[1]: {"S002": pd.NA}})}, client=client)),
        (TypeError, "dask.distributed Client", lambda: lib.write(dates[0], {"alpha": good}, client="tcp://x:1")),
    ]
    with distributed.get_task_stream(client) as stream:
        for kind, text, call in cases:
            with pytest.raises(kind, match=text):
                call()
    assert tasks_named(stream, "quorbel-write") == []
    assert fingerprint(lib.root) == before


def _die_while_writing(path, dates_in=10):
    """Installed on the workers: the write of `path` kills its worker when
    the undo journal shows the dates_in-th date it sees in flight (or, at the
    latest, right after the write)."""
    import quorbel.library.cluster_writes as library

    real = library._write_one
    journal = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".journal")

    def kill():
        os.kill(os.getpid(), signal.SIGKILL)

    def watch(done):
        seen, was = 0, False
        while not done.is_set():
            now = os.path.exists(journal)
            seen += now and not was
            was = now
            if seen >= dates_in:
                kill()
            done.wait(0.0002)

    def write_one(target, *args):
        if target != path:
            return real(target, *args)
        done = threading.Event()
        threading.Thread(target=watch, args=(done,), daemon=True).start()
        try:
            real(target, *args)
        finally:
            kill()

    library._write_one = write_one
    library._real_write_one = real


def _restore_writes():
    import quorbel.library.cluster_writes as library

    if hasattr(library, "_real_write_one"):
        library._write_one = library._real_write_one


def test_a_worker_killed_mid_write_fails_only_its_factor_and_leaves_it_whole(lib, client):
    dates = dates_of(60)
    # The data of tasks 0 and 2 are scattered to one worker and those of 1 and
    # 3 to the other; beta's write waits behind the victim's on its worker,
    # so its data are lost with that worker before it starts.
    names = ["victim", "alpha", "beta", "gamma"]
    lib.write_packs({name: packs_of(values_for(dates[:20], 0.5)) for name in names}, create=True)
    before = {name: matrices(lib.root)[name + ".h5"][0] for name in names}
    new = {name: packs_of(values_for(dates, 100.0 + n)) for n, name in enumerate(names)}
    client.run(_die_while_writing, lib.path("victim"))
    try:
        with distributed.get_task_stream(client) as stream:
            report = lib.write_packs(new, client=client, raise_errors=False)
    finally:
        client.run(_restore_writes)
    assert list(report.failed) == ["victim"]
    # beta was sent again, in a second round, and written whole (below).
    assert [t["key"].split("-")[-2] for t in tasks_named(stream, "quorbel-write")].count("1") >= 1
    # Dask ran the task again; that run found the write started and did not redo it.
    assert isinstance(report.failed["victim"], RuntimeError)
    assert "lost during the write; it was not retried" in str(report.failed["victim"])
    client.wait_for_workers(2, timeout=60)

    expected = {name: lib.read([name], start=dates[0], end=dates[-1]) for name in names}  # opens: undoes a journal
    after = matrices(lib.root)
    first = engine._get_date_index(dates[0])
    for n, name in enumerate(names):
        data = after[name + ".h5"][0]
        assert not os.path.exists(os.path.join(lib.root, f".{name}.h5.journal"))
        new_cols = [data[: len(INSTRUMENTS), first + k] for k in range(len(dates))]
        wanted = [np.array([values_for(dates, 100.0 + n)[d].get(oid, np.nan) for oid in INSTRUMENTS])
                  for d in dates]
        old = [before[name][: len(INSTRUMENTS), first + k] for k in range(len(dates))]
        whole = [np.array_equal(c, w, equal_nan=True) for c, w in zip(new_cols, wanted)]
        if name != "victim":
            assert all(whole), name
            continue
        # Each date is the old column or the new one, never a mix; the new ones are a prefix.
        kept = [np.array_equal(c, o, equal_nan=True) for c, o in zip(new_cols, old)]
        assert all(w or k for w, k in zip(whole, kept))
        written = sum(whole)
        assert all(whole[:written]) and all(kept[written:])
        np.testing.assert_array_equal(expected[name].values[0], np.stack(new_cols))


def test_the_cluster_reports_what_it_stored_and_skipped_as_in_process(client, tmp_path, caplog):
    dates = dates_of(3)
    saturday = 20240106  # between two trading dates of the calendar
    assert dates[0] < saturday < engine.get_all_trading_dates()[-1] and saturday not in engine.get_all_trading_dates()
    seen = {}
    for where, dask_client in (("cluster", client), ("local", None)):
        root = tmp_path / where
        root.mkdir()
        lib = quorbel.FactorLibrary(root)
        lib.write_packs({name: packs_of(values_for(dates[:1], 0.5)) for name in ("alpha", "beta")}, create=True)
        untouched = fingerprint(lib.root)[lib.path("beta")]
        calls = [
            lambda: lib.write(dates[1], {"alpha": {"S001": 1.0, "600000.SH": 2.0}, "beta": {"600000.SH": 3.0}},
                              client=dask_client, raise_errors=False),
            lambda: lib.write_packs({"alpha": {saturday: {"S001": 1.0}, dates[2]: {"S002": 2.0, "X": 1.0}}},
                                    client=dask_client),
            lambda: lib.write_frame({"alpha": pd.DataFrame({"S001": [1.0, 2.0], "Y.SZ": [3.0, np.nan]},
                                                           index=[dates[0], saturday])}, client=dask_client),
        ]
        caplog.clear()
        reports = [call() for call in calls]
        assert len([r for r in caplog.records if r.levelname == "WARNING"]) == len(calls)  # one per call
        seen[where] = [({name: None if e is None else f"{type(e).__name__}: {e}" for name, e in r.items()},
                        r.details) for r in reports]
        assert fingerprint(lib.root)[lib.path("beta")] == untouched
    assert seen["cluster"] == seen["local"]
    first, _, frame = seen["cluster"]
    assert first[0]["beta"].startswith("NothingStoredError: factor 'beta': none of the numbers given would be stored")
    assert first[1]["alpha"].skipped["unlisted"].examples == ("600000.SH",)
    assert frame[1]["alpha"].skipped["not_trading_date"].examples == (saturday,)
