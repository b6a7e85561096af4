"""An undo journal is applied only to the file it was written for; any other is set aside."""

import errno
import glob
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
import types
import zlib

import h5py
import numpy as np
import pytest

import quorbel
from quorbel import _extras

needs_strace = pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")

ROWS, COLS = 60, 30
# Writes dates [first, last) through the engine; run under strace to kill it.
WRITER = textwrap.dedent(
    """
    import os, sys, types
    import quorbel.detail as d
    path, first, last = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    if len(sys.argv) > 4:
        os.umask(int(sys.argv[4], 8))
    calendar = list(range(20200101, 20200101 + %d))
    d.get_all_trading_dates = lambda: calendar
    d._get_all_instrument_index = lambda: {f"I{i}": i for i in range(%d)}
    h5 = d.get_h5(path, True)
    for col in range(first, last):
        d.put_factor_value(h5, calendar[col], [types.SimpleNamespace(order_book_id=f"I{i}", value=col * 100.0 + i)
                                               for i in range(%d)])
    h5.close()
    """ % (COLS, ROWS, ROWS)
)
# With dates 0-4 written, writing dates 5 and 6 makes 24 pwrite64 calls here;
# a kill at each of these falls inside date 6's write and leaves its journal.
KILL_POINTS = (14, 18, 20, 22, 23)


def write_dates(path, first, last, kill_at=None, umask=None):
    command = [sys.executable, "-c", WRITER, path, str(first), str(last)] + ([umask] if umask else [])
    if kill_at is not None:
        command = ["strace", "-f", "-qq", "-o", os.devnull, "-e", f"inject=pwrite64:signal=SIGKILL:when={kill_at}",
                   *command]
    return subprocess.run(command, capture_output=True, text=True, timeout=120)


def journal_of(path):
    directory, name = os.path.split(path)
    return os.path.join(directory, f".{name}.journal")


def set_aside_copies(path):
    return glob.glob(journal_of(path) + ".set-aside-*")


@pytest.fixture(scope="module")
def five_dates(tmp_path_factory):
    """A factor file with dates 0-4 written, copied for each kill."""
    import quorbel.detail as detail

    path = str(tmp_path_factory.mktemp("base") / "base.h5")
    detail.create_new_factor_h5(path, (ROWS, COLS)).close()
    done = write_dates(path, 0, 5)
    assert done.returncode == 0, done.stderr
    return path


def killed_writer(five_dates, path, kill_at, mode=None, umask=None):
    """The file at `path` with a writer killed half-way through a date, and its journal left behind."""
    shutil.copy(five_dates, path)
    if mode is not None:
        os.chmod(path, mode)
    killed = write_dates(path, 5, 7, kill_at=kill_at, umask=umask)
    assert killed.returncode != 0, killed.stderr
    assert os.path.exists(journal_of(path)), f"the kill at pwrite64 {kill_at} left no journal"


def set_aside_records(logs, path):
    return [args for level, _, args in logs() if level == "ERROR" and args[:2] == (journal_of(path), path)]


def assert_empty_factor(detail, path):
    with detail.get_h5(path) as h5:
        assert np.isnan(h5["data"][...]).all()
    with h5py.File(path, "r") as f:
        assert f["data"].shape == (ROWS, COLS) and np.isnan(f["data"][...]).all()


@needs_strace
@pytest.mark.parametrize("kill_at", KILL_POINTS)
def test_a_new_file_on_a_recycled_inode_never_gets_the_old_journal(detail, tmp_path, five_dates, logs, market,
                                                                   kill_at):
    path = str(tmp_path / "f.h5")
    killed_writer(five_dates, path, kill_at)
    os.remove(path)  # by hand: the journal stays behind
    detail.create_new_factor_h5(path, (ROWS, COLS)).close()
    assert_empty_factor(detail, path)
    # Not applied, not deleted: moved aside, and said so with both paths.
    assert not os.path.exists(journal_of(path))
    [moved] = set_aside_copies(path)
    [record] = set_aside_records(logs, path)
    assert record[-1] == moved
    # A write to the new file and a second open find nothing left to undo.
    market.set_instruments({"I0": 0})
    with detail.get_h5(path, True) as h5:
        detail.put_factor_value(h5, market.calendar[0], [types.SimpleNamespace(order_book_id="I0", value=7.0)])
    with detail.get_h5(path) as h5:
        assert h5["data"][0, 0] == 7.0 and np.isnan(h5["data"][1:, :]).all() and np.isnan(h5["data"][:, 1:]).all()
    assert set_aside_copies(path) == [moved] and len(set_aside_records(logs, path)) == 1


@needs_strace
def test_a_file_made_by_get_h5_for_writing_never_gets_the_old_journal(detail, tmp_path, five_dates, logs, market):
    market.set_instruments({f"I{i}": i for i in range(3)})
    path = str(tmp_path / "f.h5")
    killed_writer(five_dates, path, KILL_POINTS[4])
    os.remove(path)
    h5 = detail.get_h5(path, True)  # made afresh, then its first write finds the old journal in its way
    detail.put_factor_value(h5, market.calendar[1], [types.SimpleNamespace(order_book_id=f"I{i}", value=i + 0.5)
                                                      for i in range(3)])
    h5.close()
    [moved] = set_aside_copies(path)
    with detail.get_h5(path) as h5:  # the next call of the engine logs what the write set aside
        data = h5["data"][...]
    np.testing.assert_array_equal(data[:3, 1], [0.5, 1.5, 2.5])
    assert np.isnan(data[:, 0]).all() and np.isnan(data[3:, :]).all()
    [record] = set_aside_records(logs, path)
    assert record[-1] == moved and not os.path.exists(journal_of(path))


@needs_strace
@pytest.mark.parametrize("kill_at", KILL_POINTS[1::2])
def test_remove_factor_takes_the_files_own_journal(detail, tmp_path, five_dates, logs, kill_at):
    path = str(tmp_path / "f.h5")
    killed_writer(five_dates, path, kill_at)
    detail.remove_factor(path)
    assert os.listdir(tmp_path) == []
    detail.create_new_factor_h5(path, (ROWS, COLS)).close()
    assert_empty_factor(detail, path)
    assert not [record for record in logs() if record[0] == "ERROR"]


@needs_strace
def test_remove_factor_leaves_a_journal_that_is_not_the_files(detail, tmp_path, five_dates):
    other, path = str(tmp_path / "other.h5"), str(tmp_path / "f.h5")
    killed_writer(five_dates, other, KILL_POINTS[0])
    shutil.copy(five_dates, path)
    shutil.copy(journal_of(other), journal_of(path))
    detail.remove_factor(path)
    assert sorted(os.listdir(tmp_path)) == sorted([".f.h5.journal", ".other.h5.journal", "other.h5"])


@needs_strace
def test_a_file_replaced_by_another_tool_keeps_its_content(detail, tmp_path, five_dates, logs):
    path = str(tmp_path / "f.h5")
    killed_writer(five_dates, path, KILL_POINTS[2])
    os.remove(path)
    values = np.arange(ROWS * COLS, dtype="<f8").reshape(ROWS, COLS)
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=values, chunks=(ROWS, 10), maxshape=(None, None))
    before = open(path, "rb").read()
    # The write path opens an existing file: it must not undo another file's write.
    h5 = detail.get_h5(path, True)
    np.testing.assert_array_equal(h5["data"][...], values)
    h5.close()
    assert open(path, "rb").read() == before
    assert len(set_aside_copies(path)) == 1 and len(set_aside_records(logs, path)) == 1


@needs_strace
def test_a_journal_copied_beside_an_unrelated_file(detail, tmp_path, five_dates, logs):
    crashed, path = str(tmp_path / "crashed.h5"), str(tmp_path / "f.h5")
    killed_writer(five_dates, crashed, KILL_POINTS[1])
    shutil.copy(five_dates, path)  # the same content as the crashed file had before its write
    shutil.copy(journal_of(crashed), journal_of(path))
    before = open(path, "rb").read()
    for _ in range(2):  # told once, however often it is met
        with detail.get_h5(path) as h5:
            assert h5["data"][0, 4] == 400.0
    assert open(path, "rb").read() == before
    # A reader leaves it where it is and says so; the next write moves it.
    [record] = set_aside_records(logs, path)
    assert "another file" in record[2] and "leaves it in place" in record[2]
    assert os.path.exists(journal_of(path)) and not set_aside_copies(path)
    detail.get_h5(path, True).close()
    [moved] = set_aside_copies(path)
    assert set_aside_records(logs, path)[-1][-1] == moved
    # The crashed file's own journal is still its own, and still undoes its write.
    with detail.get_h5(crashed) as h5:
        assert h5["data"][0, 4] == 400.0 and np.isnan(h5["data"][:, 6]).all()
    assert not os.path.exists(journal_of(crashed))


@pytest.fixture(scope="module")
def foreign_journal(five_dates, tmp_path_factory):
    """The journal of a killed writer, to copy beside other files."""
    path = str(tmp_path_factory.mktemp("crashed") / "crashed.h5")
    killed_writer(five_dates, path, KILL_POINTS[3])
    return journal_of(path)


def open_through_cli(detail, path, monkeypatch, market):
    monkeypatch.setattr(sys, "argv", ["quorbel", "verify", path])
    assert _extras.main() == 0  # another file's journal is no problem of this file


# (opens the file, moves the journal aside): writers set aside a journal that
# is not the file's; readers never move a journal, they only say so.
OPENERS = {
    "get_h5 for reading": (lambda detail, path, *_: detail.get_h5(path).close(), False),
    "get_h5 for writing": (lambda detail, path, *_: detail.get_h5(path, True).close(), True),
    "read_panel by path": (lambda detail, path, *_: quorbel.read_panel(path, ["I0"], 20180102, 20180103), False),
    "rewrite_factor": (lambda detail, path, *_: detail.rewrite_factor(path), True),
    "quorbel verify": (open_through_cli, False),
}


@needs_strace
@pytest.mark.parametrize("opener", OPENERS)
def test_every_way_of_opening_logs_and_only_writers_set_aside(detail, tmp_path, five_dates, foreign_journal, logs,
                                                             market, monkeypatch, opener):
    market.set_instruments({"I0": 0})
    path = str(tmp_path / "f.h5")
    shutil.copy(five_dates, path)
    shutil.copy(foreign_journal, journal_of(path))
    with h5py.File(path, "r") as f:
        before = f["data"][...]
    open_it, moves = OPENERS[opener]
    open_it(detail, path, monkeypatch, market)
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][...], before)
    [record] = set_aside_records(logs, path)
    if moves:
        [moved] = set_aside_copies(path)
        assert record[-1] == moved
        assert open(moved, "rb").read() == open(foreign_journal, "rb").read()
    else:
        assert not set_aside_copies(path) and "leaves it in place" in record[2]
        assert open(journal_of(path), "rb").read() == open(foreign_journal, "rb").read()


@needs_strace
@pytest.mark.parametrize("mode, umask", [(0o600, None), (0o640, "077")])
def test_the_journal_takes_the_files_mode_and_group(tmp_path, five_dates, mode, umask):
    path = str(tmp_path / "f.h5")
    killed_writer(five_dates, path, KILL_POINTS[0], mode=mode, umask=umask)
    data, journal = os.stat(path), os.stat(journal_of(path))
    assert stat.S_IMODE(journal.st_mode) == mode
    assert journal.st_gid == data.st_gid


def test_a_journal_older_than_the_file_is_not_applied(detail, tmp_path, logs, caplog):
    # Journals of the first format name the file by device and inode only.
    path = str(tmp_path / "f.h5")
    for _ in range(20):
        detail.create_new_factor_h5(path, (ROWS, COLS)).close()
        st = os.stat(path)
        head = b"QRBJRNL1" + struct.pack("<QQQ", st.st_dev, st.st_ino, st.st_size)
        record = struct.pack("<QQ", 0, 64) + b"\0" * 64  # would wipe the superblock
        crc = zlib.crc32(b"\0" * 64, zlib.crc32(struct.pack("<Q", 64), zlib.crc32(struct.pack("<Q", 0))))
        with open(journal_of(path), "wb") as f:
            f.write(head + struct.pack("<II", zlib.crc32(head), 0) + record[:16] + struct.pack("<II", crc, 0)
                    + record[16:])
        os.remove(path)
        detail.create_new_factor_h5(path, (ROWS, COLS)).close()
        if os.stat(path).st_ino == st.st_ino:
            break
        # Another inode (a busy machine may take the freed one first): the
        # create has already set the journal aside as another file's. Start
        # over with nothing left from this round.
        os.remove(path)
        for leftover in [journal_of(path), *set_aside_copies(path)]:
            if os.path.exists(leftover):
                os.remove(leftover)
        caplog.clear()
    else:
        pytest.skip("the file system gave the new file another inode every time")
    assert_empty_factor(detail, path)
    assert len(set_aside_copies(path)) == 1 and len(set_aside_records(logs, path)) == 1


def test_a_journal_needs_a_writable_directory(tmp_path):
    # Run as another user where the tests run as root, who may write anywhere.
    directory = tempfile.mkdtemp()
    try:
        path = os.path.join(directory, "f.h5")
        code = textwrap.dedent(
            """
            import os, sys
            import quorbel.detail as d
            d.create_new_factor_h5(sys.argv[1], (4, 4)).close()
            os.chmod(sys.argv[1], 0o666)
            """
        )
        subprocess.run([sys.executable, "-c", code, path], check=True)
        os.chmod(directory, 0o555)
        # Everything is imported before dropping to another user, who may not read the installation.
        code = textwrap.dedent(
            """
            import logging, os, sys, types
            import quorbel.detail as d
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            d.get_all_trading_dates = lambda: [20200101, 20200102]
            d._get_all_instrument_index = lambda: {"A": 0}
            h5 = d.get_h5(sys.argv[1], True)
            try:
                d.put_factor_value(h5, 20200101, [types.SimpleNamespace(order_book_id="A", value=1.0)])
            except OSError as e:
                print(type(e).__name__, e.errno, e)
            h5.close()
            """
        )
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        done = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, env=env)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("PermissionError 13 "), done.stdout
        assert f"'{directory}'" in done.stdout and "writable directory" in done.stdout
    finally:
        os.chmod(directory, 0o755)
        shutil.rmtree(directory)


# ---- identity resting on what a power cut keeps ---------------------------------------


def first_transaction_kill_point(path, tmp_path):
    """A pwrite64 number inside the first date of a writing session, after
    its journal is synced and some chunks are overwritten."""
    trial = str(tmp_path / "trial.h5")
    shutil.copy(path, trial)
    log = str(tmp_path / "pwrites.strace")
    command = ["strace", "-f", "-qq", "-o", log, "-e", "trace=pwrite64,fdatasync", "-e", "signal=none",
               sys.executable, "-c", WRITER, trial, "5", "6"]
    subprocess.run(command, check=True, capture_output=True, timeout=120)
    calls = [line.split(None, 1)[1] for line in open(log) if "pwrite64(" in line or "fdatasync(" in line]
    data_fd = calls[0][len("pwrite64("):].split(",")[0]  # the open's own rewrite of the superblock
    synced = False
    count = 0
    for call in calls:
        if call.startswith("fdatasync("):
            synced = True
            continue
        count += 1
        if synced and call.startswith(f"pwrite64({data_fd},"):
            return count + 1  # the second overwrite of the file: the first has reached it
    raise AssertionError("no overwrite of the file after the journal's sync")


@needs_strace
def test_a_power_cut_that_takes_back_the_opens_superblock_write_keeps_the_journal_the_files(
        detail, tmp_path, five_dates, logs):
    # Opening for writing rewrites the superblock (a flag changes); nothing
    # syncs that before the first date's journal is written. A power cut may
    # take it back while keeping the journal and some overwritten chunks:
    # the journal must still be found to be the file's, and undo the date.
    path = str(tmp_path / "f.h5")
    shutil.copy(five_dates, path)
    superblock = open(path, "rb").read(96)
    with h5py.File(path, "r") as f:
        before = f["data"][...]
    killed = write_dates(path, 5, 6, kill_at=first_transaction_kill_point(path, tmp_path))
    assert killed.returncode != 0 and os.path.exists(journal_of(path))
    with open(path, "r+b") as f:
        assert f.read(96) != superblock  # the open's write reached the page cache...
        f.seek(0)
        f.write(superblock)  # ...and the power cut took it back
    with detail.get_h5(path) as h5:
        np.testing.assert_array_equal(h5["data"][...], before)
    assert not os.path.exists(journal_of(path)) and not set_aside_copies(path)
    assert not [record for record in logs() if record[0] == "ERROR"]


# ---- one file, several names ---------------------------------------------------------


@needs_strace
def test_a_journal_is_found_through_every_link_to_the_file(detail, tmp_path, five_dates, logs):
    path, alias = str(tmp_path / "f.h5"), str(tmp_path / "alias.h5")
    shutil.copy(five_dates, path)
    os.symlink("f.h5", alias)
    with h5py.File(path, "r") as f:
        before = f["data"][...]
    killed = write_dates(alias, 5, 7, kill_at=KILL_POINTS[2])  # date 6 left half-written through the link
    assert killed.returncode != 0
    # The journal lies beside the file itself, so a reader by the real name finds it.
    assert os.path.exists(journal_of(path)) and not os.path.exists(journal_of(alias))
    with detail.get_h5(path) as h5:
        data = h5["data"][...]
    np.testing.assert_array_equal(data[:, :5], before[:, :5])
    assert (data[:, 5] == 500.0 + np.arange(ROWS)).all() and np.isnan(data[:, 6]).all()
    assert not os.path.exists(journal_of(path)) and not set_aside_copies(path)
    # A rewrite through the link rewrites the file and keeps the link a link.
    detail.rewrite_factor(alias)
    assert os.path.islink(alias) and os.readlink(alias) == "f.h5"
    with detail.get_h5(alias) as h5:
        np.testing.assert_array_equal(h5["data"][...], data)
    assert not [record for record in logs() if record[0] == "ERROR"]


def test_a_file_with_several_names_is_not_written_until_each_has_its_own(detail, tmp_path, five_dates):
    path, other = str(tmp_path / "f.h5"), str(tmp_path / "hard.h5")
    shutil.copy(five_dates, path)
    os.link(path, other)
    for name in (path, other):
        with pytest.raises(OSError) as refused:
            detail.get_h5.__wrapped__(name, True)
        assert refused.value.errno == errno.EMLINK
        assert name in str(refused.value) and "hard links" in str(refused.value)
        with detail.get_h5(name) as h5:  # reading is fine
            assert h5["data"][0, 4] == 400.0
    detail.rewrite_factor(other)  # the name gets a file of its own
    assert os.stat(path).st_nlink == 1 and os.stat(other).st_ino != os.stat(path).st_ino
    for name in (path, other):
        detail.get_h5(name, True).close()
