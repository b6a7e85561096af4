"""QUORBEL_FILE_LOCKING: on (locked opens), off (never locked, for shared file
systems whose locks fail) and best-effort (locked unless the file system
refuses). Without locks a reader never returns a half-written date: it waits
while a writer's journal stands, follows a file that changed since it was
opened, and otherwise raises OSError (EBUSY) naming the journal."""

import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import h5py
import numpy as np
import pytest

import quorbel
from quorbel import config

needs_strace = pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]
INSTRUMENTS = {f"S{i:04d}": i for i in range(600)}

# A child that writes one date (every instrument gets `value`) and says when
# it has the file open.
WRITER = textwrap.dedent(
    """
    import json, os, sys
    import quorbel.detail as d
    job = json.loads(sys.argv[1])
    d.get_all_trading_dates = lambda: job["calendar"]
    d._get_all_instrument_index = lambda: job["instruments"]
    class Item:
        def __init__(self, order_book_id, value):
            self.order_book_id, self.value = order_book_id, value
    h5 = d.get_h5.__wrapped__(job["path"], True)  # one attempt: a refusal shows at once
    print(os.getpid(), flush=True)
    for date, value in job["dates"]:
        d.put_factor_value(h5, date, [Item(i, value) for i in job["instruments"]])
    h5.close()
    """
)


@pytest.fixture
def factor(detail, market, monkeypatch, tmp_path):
    """A factor file with the first date written (1.0 everywhere)."""
    market.set_calendar(CALENDAR)
    market.set_instruments(INSTRUMENTS)
    monkeypatch.setattr(detail, "EXPAND_INSTRUMENT_LENGTH", 10)
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 5)
    path = str(tmp_path / "f.h5")
    write_dates(path, [(CALENDAR[0], 1.0)], "on")
    return path


def write_dates(path, dates, locking, strace_args=None, wait=True):
    job = {"path": path, "dates": dates, "calendar": CALENDAR, "instruments": INSTRUMENTS}
    command = [sys.executable, "-c", WRITER, json.dumps(job)]
    if strace_args is not None:
        command = ["strace", "-f", "-qq", *strace_args] + command
    env = dict(os.environ, QUORBEL_FILE_LOCKING=locking)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    if not wait:
        return process
    out, err = process.communicate(timeout=120)
    return process.returncode, out, err


def h5py_matrix(path):
    with h5py.File(path, "r") as f:
        return f["data"][...]


def journal_of(path):
    directory, name = os.path.split(path)
    return os.path.join(directory, "." + name + ".journal")


# ---- the setting ------------------------------------------------------------

def test_setting_values_and_bad_values(monkeypatch):
    monkeypatch.delenv("QUORBEL_FILE_LOCKING", raising=False)
    assert config.get_file_locking() == "on"
    for text, value in [("", "on"), ("  ", "on"), ("OFF", "off"), (" best-effort ", "best-effort"), ("on", "on")]:
        monkeypatch.setenv("QUORBEL_FILE_LOCKING", text)
        assert config.get_file_locking() == value
    for text in ["no", "false", "0", "besteffort", "on,off"]:
        monkeypatch.setenv("QUORBEL_FILE_LOCKING", text)
        with pytest.raises(ValueError, match=r"QUORBEL_FILE_LOCKING must be one of on, off, best-effort"):
            config.get_file_locking()


def test_bad_value_fails_every_open_with_value_error_and_is_read_at_each_open(detail, factor, monkeypatch, logs):
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "sometimes")
    new = os.path.join(os.path.dirname(factor), "new.h5")
    calls = [lambda: detail.get_h5(factor), lambda: detail.get_h5(factor, True),
             lambda: detail.create_new_factor_h5(new, (3, 3)), lambda: detail.rewrite_factor(factor),
             lambda: quorbel.read_panel(factor, ["S0001"], CALENDAR[0], CALENDAR[-1])]
    for call in calls:
        with pytest.raises(ValueError, match="QUORBEL_FILE_LOCKING.*'sometimes'"):
            call()
    assert not os.path.exists(new) and logs() == []
    # The same process opens once the value is fixed: no restart needed.
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "off")
    with detail.get_h5(factor) as h5:
        assert h5["data"][1, 0] == 1.0


# ---- off opens without locks, on with them -------------------------------

def test_a_file_another_process_holds_locked_opens_for_reading_and_off_for_writing(detail, factor, monkeypatch):
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, sys\nf = open(sys.argv[1], 'rb')\nfcntl.flock(f, fcntl.LOCK_EX)\n"
                               "print('held', flush=True)\nsys.stdin.read()", factor],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        monkeypatch.setenv("QUORBEL_FILE_LOCKING", "on")
        with pytest.raises(BlockingIOError) as busy:
            detail.get_h5.__wrapped__(factor, True)
        # The writer says what it waits for; a reader takes no lock, and opens.
        assert busy.value.errno == errno.EAGAIN
        assert f"process {holder.pid} holds it open for writing" in str(busy.value)
        with detail.get_h5(factor) as h5:
            assert list(h5["data"][:3, 0]) == [1.0, 1.0, 1.0]
        monkeypatch.setenv("QUORBEL_FILE_LOCKING", "off")
        with detail.get_h5(factor) as h5:
            assert list(h5["data"][:3, 0]) == [1.0, 1.0, 1.0]
        with detail.get_h5(factor, True) as h5:
            detail.put_factor_value(h5, CALENDAR[1], [type("V", (), {"order_book_id": "S0002", "value": 5.0})()])
    finally:
        holder.communicate("")
    data = h5py_matrix(factor)
    assert data[2, 1] == 5.0 and np.isnan(data[1, 1]) and data[2, 0] == 1.0


@needs_strace
def test_off_never_calls_flock_and_on_does(factor, tmp_path):
    for locking, expect_flock in [("off", False), ("on", True)]:
        log = str(tmp_path / f"{locking}.strace")
        code, _, err = write_dates(factor, [(CALENDAR[2], 3.0)], locking, ["-e", "trace=flock", "-o", log])
        assert code == 0, err
        with open(log) as f:
            assert ("flock(" in f.read()) == expect_flock
    assert (h5py_matrix(factor)[: len(INSTRUMENTS), 2] == 3.0).all()


@needs_strace
def test_best_effort_uses_a_file_system_that_refuses_locks(factor):
    refuse = ["-o", os.devnull, "-e", "trace=flock", "-e", "inject=flock:error=ENOLCK"]
    code, _, err = write_dates(factor, [(CALENDAR[1], 2.0)], "on", refuse)
    assert code != 0 and "errno = 37" in err
    assert np.isnan(h5py_matrix(factor)[:, 1]).all()
    code, _, err = write_dates(factor, [(CALENDAR[1], 2.0)], "best-effort", refuse)
    assert code == 0, err
    assert (h5py_matrix(factor)[: len(INSTRUMENTS), 1] == 2.0).all()
    assert not os.path.exists(journal_of(factor))


# ---- reading without locks ---------------------------------------------------

def fdatasync_count(factor, tmp_path):
    """How many fdatasync calls a one-date write makes; the last is the
    file's sync just before the journal is deleted (the commit)."""
    trial = str(tmp_path / "trial.h5")
    shutil.copyfile(factor, trial)
    log = str(tmp_path / "count.strace")
    code, _, err = write_dates(trial, [(CALENDAR[1], 2.0)], "off", ["-e", "trace=fdatasync", "-o", log])
    assert code == 0, err
    with open(log) as f:
        return sum("fdatasync(" in line for line in f)


def assert_refused_for_the_journal(call, factor):
    with pytest.raises(OSError) as refused:
        call()
    assert refused.value.errno == errno.EBUSY
    assert journal_of(factor) in str(refused.value) and "one writer at a time" in str(refused.value)


@needs_strace
def test_a_dead_writers_journal_is_neither_read_past_nor_undone_without_locks(detail, factor, monkeypatch, tmp_path):
    before = h5py_matrix(factor)
    n = fdatasync_count(factor, tmp_path)
    # Killed with every new cell on disk but the write not committed.
    code, _, _ = write_dates(factor, [(CALENDAR[1], 2.0)], "off",
                             ["-o", os.devnull, "-e", "trace=fdatasync", "-e", f"inject=fdatasync:signal=SIGKILL:when={n}"])
    assert code != 0 and os.path.exists(journal_of(factor))
    assert (h5py_matrix(factor)[: len(INSTRUMENTS), 1] == 2.0).all()  # what a reader must not be given
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "off")
    assert_refused_for_the_journal(lambda: detail.get_h5.__wrapped__(factor, False, 0, 1), factor)
    assert_refused_for_the_journal(lambda: detail.get_h5.__wrapped__(factor, True), factor)
    assert os.path.exists(journal_of(factor))
    # With locks the dead writer is told apart, and its write undone.
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "on")
    with detail.get_h5(factor) as h5:
        np.testing.assert_array_equal(h5["data"][...], before)
    assert not os.path.exists(journal_of(factor))
    np.testing.assert_array_equal(h5py_matrix(factor), before)


def uncommitted_date_on_disk(factor):
    if not os.path.exists(journal_of(factor)):
        return False
    try:
        return bool((h5py_matrix(factor)[: len(INSTRUMENTS), 1] == 2.0).all())
    except OSError:  # caught half-way through the write
        return False


@needs_strace
def test_a_reader_waits_out_a_stopped_writer_and_then_reads_the_whole_date(detail, factor, monkeypatch, tmp_path):
    n = fdatasync_count(factor, tmp_path)
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "off")
    reader = detail.get_h5(factor)  # opened before the write, read after it
    pid = None
    writer = write_dates(factor, [(CALENDAR[1], 2.0)], "off",
                         ["-o", os.devnull, "-e", "trace=fdatasync", "-e", f"inject=fdatasync:signal=SIGSTOP:when={n}"],
                         wait=False)
    try:
        pid = int(writer.stdout.readline())
        # The stop comes right after the last cell reaches the disk (a traced
        # process passes through stops at every system call, so its state
        # alone says nothing).
        while not uncommitted_date_on_disk(factor):
            time.sleep(0.01)
        # Every cell of the date is on disk, uncommitted: no read may return it.
        assert_refused_for_the_journal(lambda: detail.get_h5.__wrapped__(factor, False, 0, 1), factor)
        ids = list(INSTRUMENTS)[:3]
        for read in [lambda: list(detail.get_factor_value(reader, ids, CALENDAR[0], CALENDAR[1])),
                     lambda: reader["data"][:3, :2],
                     lambda: quorbel.read_panel(reader, ids, CALENDAR[0], CALENDAR[1])]:
            assert_refused_for_the_journal(read, factor)
    finally:
        # SIGCONT until it has passed its stop; a writer that never gets there is killed.
        for _ in range(1200):
            if writer.poll() is not None:
                break
            try:
                os.kill(writer.pid if pid is None else pid, signal.SIGCONT)
            except ProcessLookupError:  # the writer has ended; strace is about to
                pass
            time.sleep(0.05)
        if writer.poll() is None:
            writer.kill()
        writer.communicate()
    assert writer.returncode == 0
    with reader:
        rows = dict(detail.get_factor_value(reader, ["S0000", "S0599"], CALENDAR[0], CALENDAR[1]))
        assert {k: list(v) for k, v in rows.items()} == {"S0000": [1.0, 2.0], "S0599": [1.0, 2.0]}
        frame = quorbel.read_panel(reader, list(INSTRUMENTS), CALENDAR[0], CALENDAR[1])
        assert (frame.to_numpy() == np.array([[1.0], [2.0]])).all()
    np.testing.assert_array_equal(h5py_matrix(factor)[: len(INSTRUMENTS), 1], 2.0)


def test_a_handle_follows_writes_made_since_it_was_opened(detail, factor, monkeypatch):
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "off")
    ids = ["S0000", "S0300", "S0599"]
    with detail.get_h5(factor) as h5:
        assert np.isnan(h5["data"][:3, 1]).all()
        stream = detail.get_factor_value(h5, ids, CALENDAR[0], CALENDAR[3])
        first = next(stream)
        np.testing.assert_array_equal(first[1], [1.0, np.nan, np.nan, np.nan])
        # Another process writes two dates, growing nothing; the stream and
        # the handle then read the new state, whole.
        code, _, err = write_dates(factor, [(CALENDAR[1], 2.0), (CALENDAR[2], 3.0)], "off")
        assert code == 0, err
        rest = dict(stream)
        for key in ids[1:]:
            np.testing.assert_array_equal(rest[key], [1.0, 2.0, 3.0, np.nan])
        expected = h5py_matrix(factor)
        np.testing.assert_array_equal(h5["data"][...], expected)
        frame = quorbel.read_panel(h5, ids, CALENDAR[0], CALENDAR[3])
        np.testing.assert_array_equal(frame.to_numpy(), expected[[0, 300, 599], :4].T)


def stripes_of(detail, factor):
    """Rows a row stream reads together: one chunk row of the matrix."""
    with detail.get_h5(factor) as h5:
        return h5["data"].chunks[0]


@pytest.mark.parametrize("locking", ["off", "on"])
@pytest.mark.parametrize("reader", ["panel", "library", "stream"])
def test_readers_racing_a_writer_never_see_a_half_written_date(detail, factor, monkeypatch, reader, locking):
    # With locks on, readers take none: the writer never waits for them, and
    # they check what they read as they do without locks.
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", locking)
    # Each date holds one value in every row: a read that shows a date with
    # some rows written and others not, or with two values, saw it torn. A
    # stream reads a stripe of rows at a time, each stripe from one state.
    writes = [(date, float(k)) for k in range(2, 6) for date in CALENDAR[1:]]
    stripe = stripes_of(detail, factor)
    writer = write_dates(factor, writes, locking, wait=False)
    ids = list(INSTRUMENTS)
    library = quorbel.FactorLibrary(os.path.dirname(factor))
    whole = 0
    with detail.get_h5(factor) as h5:
        while writer.poll() is None or whole == 0:
            try:
                if reader == "panel":
                    matrix = quorbel.read_panel(h5, ids, CALENDAR[0], CALENDAR[-1]).to_numpy()
                elif reader == "library":
                    matrix = library.read(["f"], ids, CALENDAR[0], CALENDAR[-1]).values[0]
                else:
                    rows = dict(detail.get_factor_value(h5, ids, CALENDAR[0], CALENDAR[-1]))
                    matrix = np.array([rows[i] for i in ids]).T
            except OSError as e:
                assert e.errno == errno.EBUSY
                continue
            assert matrix.shape == (len(CALENDAR), len(ids))
            groups = [matrix[:, i:i + stripe] for i in range(0, len(ids), stripe)] if reader == "stream" else [matrix]
            for group in groups:
                for date in group:
                    assert np.isnan(date).all() or (date == date[0]).all(), date
            whole += 1
    _, err = writer.communicate()
    assert writer.returncode == 0, err
    final = h5py_matrix(factor)[: len(ids), : len(CALENDAR)]
    assert (final[:, 0] == 1.0).all() and (final[:, 1:] == 5.0).all()


@pytest.mark.parametrize("locking", ["off", "on"])
def test_threads_sharing_an_unlocked_handle_while_another_process_writes(detail, factor, monkeypatch, locking):
    # A reader that meets a changed file reopens it under every other reader
    # of the same handle: they must take turns, not read through closed ids.
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", locking)
    writes = [(date, float(k)) for k in range(2, 5) for date in CALENDAR[1:]]
    writer = write_dates(factor, writes, locking, wait=False)
    ids = list(INSTRUMENTS)
    failures, reads = [], [0, 0]
    with detail.get_h5(factor) as h5:

        def read(slot):
            try:
                while writer.poll() is None or reads[slot] == 0:
                    try:
                        matrix = quorbel.read_panel(h5, ids, CALENDAR[0], CALENDAR[-1]).to_numpy()
                    except OSError as e:
                        assert e.errno == errno.EBUSY
                        continue
                    for date in matrix:
                        assert np.isnan(date).all() or (date == date[0]).all(), date
                    reads[slot] += 1
            except BaseException as e:  # reported by the main thread
                failures.append(e)

        threads = [threading.Thread(target=read, args=(slot,)) for slot in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    _, err = writer.communicate()
    assert writer.returncode == 0, err
    assert not failures, failures
    assert min(reads) > 0
