"""Reading and writing one factor file at once, as several processes do on a
research desk: readers never keep a writer waiting, never see a half-written
date, and never act on a journal they cannot prove dead and the file's own."""

import errno
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import h5py
import numpy as np
import pytest

import quorbel

needs_strace = pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108, 20180109, 20180110, 20180111]
INSTRUMENTS = {f"S{i:04d}": i for i in range(300)}
HOLD_SECONDS = 10

CHILD_SETUP = textwrap.dedent(
    """
    import json, os, sys, time
    import numpy as np
    import quorbel.detail as d
    job = json.loads(sys.argv[1])
    d.get_all_trading_dates = lambda: job["calendar"]
    d._get_all_instrument_index = lambda: job["instruments"]
    """
)

# Holds the file open for reading for a while, reading it whole again and
# again; every date it sees must hold one value in every row, or none.
HOLDING_READER = CHILD_SETUP + textwrap.dedent(
    """
    h5 = d.get_h5(job["path"])
    print("holding", flush=True)
    end, reads = time.monotonic() + job["seconds"], 0
    rows = len(job["instruments"])
    while time.monotonic() < end:
        matrix = h5["data"][:rows, :len(job["calendar"])]
        for date in matrix.T:
            assert np.isnan(date).all() or (date == date[0]).all(), date
        reads += 1
        time.sleep(0.05)
    h5.close()
    print(reads, flush=True)
    """
)

# Writes dates, each a value in every row; run under strace to stop or kill it.
WRITER = CHILD_SETUP + textwrap.dedent(
    """
    class Item:
        def __init__(self, order_book_id, value):
            self.order_book_id, self.value = order_book_id, value
    h5 = d.get_h5.__wrapped__(job["path"], True)
    print(os.getpid(), flush=True)
    for date, value in job["dates"]:
        d.put_factor_value(h5, date, [Item(i, value) for i in job["instruments"]])
    h5.close()
    """
)


def job_for(path, **more):
    return json.dumps({"path": path, "calendar": CALENDAR, "instruments": INSTRUMENTS, **more})


def start(code, job, locking, strace=None):
    command = [sys.executable, "-c", code, job]
    if strace is not None:
        command = ["strace", "-f", "-qq", *strace, *command]
    env = dict(os.environ, QUORBEL_FILE_LOCKING=locking)
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def journal_of(path):
    directory, name = os.path.split(path)
    return os.path.join(directory, "." + name + ".journal")


def h5py_column(path, column):
    with h5py.File(path, "r") as f:
        return f["data"][: len(INSTRUMENTS), column]


@pytest.fixture
def factor(detail, market, monkeypatch, tmp_path):
    """f.h5 in a library folder, the first date written (1.0 everywhere)."""
    market.set_calendar(CALENDAR)
    market.set_instruments(INSTRUMENTS)
    monkeypatch.setattr(detail, "EXPAND_INSTRUMENT_LENGTH", 10)
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 5)
    path = str(tmp_path / "f.h5")
    done = start(WRITER, job_for(path, dates=[[CALENDAR[0], 1.0]]), "on")
    _, err = done.communicate(timeout=120)
    assert done.returncode == 0, err
    return path


def test_a_reader_holding_the_file_never_fails_the_daily_write(factor, monkeypatch):
    # With locks on, a reader used to hold HDF5's shared lock, and a write
    # gave up after get_h5's retries while a long read held it.
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "on")
    reader = start(HOLDING_READER, job_for(factor, seconds=HOLD_SECONDS), "on")
    try:
        assert reader.stdout.readline().strip() == "holding"
        library = quorbel.FactorLibrary(os.path.dirname(factor))
        for k, date in enumerate(CALENDAR[1:4], start=2):
            report = library.write(date, {"f": {i: float(k) for i in INSTRUMENTS}})
            assert report.ok
        still_reading = reader.poll() is None
        out, err = reader.communicate(timeout=HOLD_SECONDS + 60)
    finally:
        if reader.poll() is None:
            reader.kill()
    assert still_reading, "the writes waited for the reader to let go"
    assert reader.returncode == 0, err
    assert int(out.strip()) > 0
    for k, column in enumerate(range(1, 4), start=2):
        assert (h5py_column(factor, column) == float(k)).all()


def test_a_read_handle_whose_reopen_failed_works_again_once_the_file_does(detail, factor, tmp_path, monkeypatch):
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "off")
    h5 = detail.get_h5(factor)
    try:
        np.testing.assert_array_equal(h5["data"][:3, 0], 1.0)
        # The file is replaced by one that does not open (another tool half-way
        # through putting a copy in place): the read fails, and the handle
        # must not stay closed for good.
        saved = str(tmp_path / "saved.h5")
        os.rename(factor, saved)
        with open(factor, "wb") as f:
            f.write(b"not yet" * 100)
        with pytest.raises(OSError):
            h5["data"][:3, 0]
        assert h5  # still open as far as its owner is concerned
        os.replace(saved, factor)
        np.testing.assert_array_equal(h5["data"][:3, 0], 1.0)
        assert h5.mode == "r"
        stream = dict(detail.get_factor_value(h5, ["S0000", "S0299"], CALENDAR[0], CALENDAR[0]))
        assert {k: list(v) for k, v in stream.items()} == {"S0000": [1.0], "S0299": [1.0]}
    finally:
        h5.close()
    with pytest.raises(ValueError):
        h5["data"]


def fdatasync_count(path, tmp_path, dates):
    """fdatasync calls a writer makes for these dates; the last is the commit's sync of the file."""
    trial = str(tmp_path / "trial.h5")
    shutil.copyfile(path, trial)
    log = str(tmp_path / "count.strace")
    done = start(WRITER, job_for(trial, dates=dates), "off", ["-e", "trace=fdatasync", "-o", log])
    _, err = done.communicate(timeout=120)
    assert done.returncode == 0, err
    with open(log) as f:
        return sum("fdatasync(" in line for line in f)


def wait_for(condition, seconds=60):
    end = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.02)


@needs_strace
def test_a_stalled_reader_never_acts_on_a_journal_it_opened_before_the_file_changed(detail, factor, tmp_path,
                                                                                  monkeypatch):
    # Without locks: a reader opens a dead writer's journal and stalls; the
    # write is undone, the file rewritten (a new inode) and a second writer
    # starts a date. The reader, once it runs again, must neither move the
    # second writer's live journal nor return its date half-written.
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "off")
    journal = journal_of(factor)
    date2 = [[CALENDAR[1], 2.0]]
    killed = start(WRITER, job_for(factor, dates=date2), "off",
                   ["-o", os.devnull, "-e", "trace=fdatasync",
                    "-e", f"inject=fdatasync:signal=SIGKILL:when={fdatasync_count(factor, tmp_path, date2)}"])
    killed.communicate(timeout=120)
    assert killed.returncode != 0 and os.path.exists(journal)

    log = str(tmp_path / "reader.strace")
    reader_code = CHILD_SETUP + textwrap.dedent(
        """
        try:
            h5 = d.get_h5.__wrapped__(job["path"], False, 0, 1)
            print(json.dumps(h5["data"][:len(job["instruments"]), 2].tolist()), flush=True)
        except OSError as e:
            print(json.dumps(e.errno), flush=True)
        """
    )
    reader = start(reader_code, job_for(factor), "off",
                   ["-o", log, "-P", journal, "-e", "trace=openat", "-e", "inject=openat:delay_exit=8000000:when=1"])
    try:
        wait_for(lambda: os.path.exists(log) and ".journal" in open(log).read())
        # The reader holds the dead writer's journal. Undo that write as the
        # README says (one open with locks on), rewrite the file, start a date.
        undo = start(CHILD_SETUP + "d.get_h5(job['path'], True).close()\n", job_for(factor), "on")
        assert undo.wait(timeout=60) == 0
        detail.rewrite_factor(factor)
        date3 = [[CALENDAR[2], 3.0]]
        sync = fdatasync_count(factor, tmp_path, date3)
        second = start(WRITER, job_for(factor, dates=date3), "off",
                       ["-o", os.devnull, "-e", "trace=fdatasync", "-e", f"inject=fdatasync:signal=SIGSTOP:when={sync}"])
        pid = int(second.stdout.readline())
        wait_for(lambda: os.path.exists(journal) and (h5py_column(factor, 2) == 3.0).all())
        live = os.stat(journal).st_ino
        out, err = reader.communicate(timeout=120)
        assert reader.returncode == 0, err
        seen = json.loads(out)
        # Refused (EBUSY), or the date whole: never some rows of it.
        assert seen == errno.EBUSY or np.isnan(seen).all() or (np.array(seen) == 3.0).all(), seen
        assert os.stat(journal).st_ino == live and not glob.glob(journal + ".set-aside-*")
        os.kill(pid, signal.SIGKILL)
        os.kill(second.pid, signal.SIGKILL)
        second.communicate(timeout=60)
    finally:
        for process in (reader,):
            if process.poll() is None:
                process.kill()
    # The second writer is dead: its journal, still in place, undoes its date.
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "on")
    with detail.get_h5(factor) as h5:
        assert np.isnan(h5["data"][: len(INSTRUMENTS), 2]).all()
    assert not os.path.exists(journal)


def test_other_hdf5_programs_cannot_open_a_file_in_the_middle_of_a_write(detail, factor, monkeypatch):
    # The writer keeps HDF5's own exclusive lock: h5py, which takes HDF5's
    # shared lock to read, is kept out; a reader of this engine is not.
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "on")
    with detail.get_h5(factor, True):
        with pytest.raises(OSError, match="lock"):
            h5py.File(factor, "r")
        with detail.get_h5(factor) as h5:
            np.testing.assert_array_equal(h5["data"][:3, 0], 1.0)
    # And an HDF5 program reading the file keeps a writer out, not a reader.
    with h5py.File(factor, "r"):
        with pytest.raises(BlockingIOError):
            detail.get_h5.__wrapped__(factor, True)
        with detail.get_h5(factor) as h5:
            np.testing.assert_array_equal(h5["data"][:3, 0], 1.0)
