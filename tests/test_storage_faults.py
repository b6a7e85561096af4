"""A file system that runs out of space while the engine creates, writes,
flushes or rewrites a factor file: the caller gets an OSError, what was
written before stays readable, and a failed create leaves no file behind.

Each operation runs in a child process (tests/full_disk_child.py) on either
- a small tmpfs filled up to `spare` bytes (needs the right to mount; the
  tests skip when it is missing), or
- a plain directory with RLIMIT_FSIZE set in the child, `spare` bytes above
  the file's size (EFBIG instead of ENOSPC). HDF5 1.10.8 ends every close by
  extending the file to its allocated end, which a full disk allows (the
  extension is sparse) but a size limit does not; so under the limit the
  child lets space return before it closes.
"""

import errno
import json
import os
import shutil
import subprocess
import sys

import h5py
import numpy as np
import pytest

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "full_disk_child.py")
SEEDED = [0, 1, 2, 3, 4]  # the dates every test file starts with
ROWS, CALENDAR = 3000, [20000101 + i for i in range(300)]
FULL = (errno.ENOSPC, errno.EFBIG)


def run_child(job):
    """The child's report and its exit code."""
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, CHILD, json.dumps(job)], capture_output=True, text=True,
                          timeout=120, env=env)
    assert done.stdout.strip(), f"the child printed nothing (exit code {done.returncode}):\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1]), done.returncode


@pytest.fixture(scope="module")
def seed_file(tmp_path_factory):
    """A factor file with the dates of SEEDED written, and its matrix."""
    path = str(tmp_path_factory.mktemp("seed") / "seed.h5")
    report, code = run_child({"op": "seed", "path": path, "columns": SEEDED})
    assert (report["error"], code) == (None, 0)
    with h5py.File(path, "r") as f:
        return path, f["data"][...]


class Tmpfs:
    name = "tmpfs"

    def __init__(self, directory):
        self.directory = str(directory)
        os.makedirs(self.directory)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.directory],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            pytest.skip(f"mounting a tmpfs is not permitted here: {mounted.stderr.strip()}")
        self.filler = os.path.join(self.directory, "filler")

    def fill(self, spare):
        """Leaves `spare` bytes (whole pages) free; returns what the child needs."""
        fd = os.open(self.filler, os.O_WRONLY | os.O_CREAT)
        try:
            written = 0
            while True:
                try:
                    written += os.write(fd, bytes(65536))
                except OSError as e:
                    if e.errno != errno.ENOSPC:
                        raise
                    break
            os.ftruncate(fd, max(0, written - spare))
        finally:
            os.close(fd)
        return {"filler": self.filler}

    def close(self):
        subprocess.run(["umount", self.directory], check=True)


class FileSizeLimit:
    name = "file-size-limit"

    def __init__(self, directory):
        self.directory = str(directory)
        os.makedirs(self.directory)

    def fill(self, spare):
        return {"file_size_limit": spare, "space_returns_before_close": True}

    def close(self):
        pass


@pytest.fixture(params=[Tmpfs, FileSizeLimit], ids=["tmpfs", "file-size-limit"])
def disk(request, tmp_path):
    d = request.param(tmp_path / "disk")
    yield d
    d.close()


def place_seed(disk, seed_file, name="factor.h5"):
    path = os.path.join(disk.directory, name)
    shutil.copyfile(seed_file[0], path)
    return path


def assert_full_disk_error(report, code, closed=True):
    error = report["error"]
    assert error is not None, "the operation did not fail"
    assert error["is_oserror"] and error["errno"] in FULL, error
    assert code == 0
    if closed:
        assert report["left_open"] == 0


def assert_written_or_undone(report, code, path, columns):
    """A write on a full disk either fits (chunks are rewritten in their
    slots, so it may need no new space) and lands whole, or fails with the
    full-disk OSError and is undone: each date is wholly new or wholly as it
    was, and the new ones come first. Returns how many dates landed."""
    if report["error"] is not None:
        assert_full_disk_error(report, code)
    assert code == 0
    with h5py.File(path, "r") as f:
        data = f["data"]
        states = []
        for c in columns:
            cells = data[:, c]
            if np.array_equal(cells, expected_values(c)):
                states.append("new")
            else:
                assert np.isnan(cells).all(), f"date column {c} is half written"
                states.append("old")
        landed = states.count("new")
        assert states == ["new"] * landed + ["old"] * (len(states) - landed)
        assert int(data.attrs["cursor_col"]) == (columns[landed - 1] if landed else SEEDED[-1])
    if report["error"] is None:
        assert landed == len(columns)
    return landed


def expected_values(column):
    return np.random.default_rng(column).normal(size=ROWS)


def assert_dates_intact(path, seed_matrix, columns=SEEDED, cursor=None):
    """The seeded dates read back unchanged, through h5py and the engine."""
    with h5py.File(path, "r") as f:
        data = f["data"]
        np.testing.assert_array_equal(data[:, columns], seed_matrix[:, columns])
        if cursor is not None:
            assert int(data.attrs["cursor_col"]) == cursor
    from quorbel import detail

    with detail.get_h5(path) as h5:
        ids = ["I0", "I1499", "I2999"]
        rows = dict(detail.get_factor_value(h5, ids, CALENDAR[columns[0]], CALENDAR[columns[-1]]))
    for k in ids:
        np.testing.assert_array_equal(rows[k][np.array(columns) - columns[0]], seed_matrix[int(k[1:]), columns])


@pytest.fixture
def reading_market(market):
    market.set_calendar(CALENDAR)
    market.set_instruments({f"I{i}": i for i in range(ROWS)})


# --- create ------------------------------------------------------------------


@pytest.mark.parametrize("spare", [0, 600, 1300])
def test_failed_create_leaves_no_file(disk, reading_market, spare, detail):
    """0: the first bytes of the file fail; 600: the create fails after its
    exclusive open; 1300: the flush of the new dataset fails."""
    if disk.name == "tmpfs" and spare:
        pytest.skip("a tmpfs frees whole pages only")
    path = os.path.join(disk.directory, "new.h5")
    report, code = run_child(dict(disk.fill(spare), op="create", path=path))
    error = report["error"]
    assert error and error["is_oserror"] and error["errno"] in FULL, error
    # A failed flush leaves HDF5 unable to close the file; the child then
    # skips HDF5's exit handler (see full_disk_child.py), exit code 0 still.
    assert code == 0
    assert not os.path.lexists(path)
    if disk.name == "tmpfs":
        os.remove(disk.filler)
    with detail.create_new_factor_h5(path, (3, 3)):  # the path is free for the next create
        pass


def test_open_for_writing_on_a_full_disk(disk, reading_market):
    """get_h5 retries a failed creation; every attempt must find the path free
    again, or the later ones would fail on the first one's leftover."""
    path = os.path.join(disk.directory, "new.h5")
    report, code = run_child(dict(disk.fill(0), op="open_for_writing", path=path))
    assert report["error"]["errno"] in FULL and "Unable to create file" in report["error"]["text"]
    assert code == 0 and not os.path.lexists(path)


# --- writes ----------------------------------------------------------------------


@pytest.mark.parametrize("spare", [0, 16384])
def test_failed_date_write_keeps_earlier_dates(disk, seed_file, reading_market, spare):
    path = place_seed(disk, seed_file)
    report, code = run_child(dict(disk.fill(spare), op="put_value", path=path, column=5))
    assert_written_or_undone(report, code, path, [5])
    assert_dates_intact(path, seed_file[1])


def test_failed_batch_keeps_the_dates_before_the_failure(disk, seed_file, reading_market):
    path = place_seed(disk, seed_file)
    # Room for about one and a half dates of the three.
    report, code = run_child(dict(disk.fill(65536), op="put_packs", path=path, column=5))
    assert_written_or_undone(report, code, path, [5, 6, 7])
    assert_dates_intact(path, seed_file[1])


@pytest.mark.parametrize("spare", [150_000, 600_000])
def test_failed_batch_over_several_chunk_columns_keeps_a_prefix(disk, seed_file, reading_market, spare):
    # 40 dates over three chunk columns (19 wide) share transactions; the
    # disk fills in one of them. Each date stays wholly new or wholly old,
    # the new ones first, and the dates before the batch are untouched.
    path = place_seed(disk, seed_file)
    report, code = run_child(dict(disk.fill(spare), op="put_packs", path=path, column=5, count=40))
    landed = assert_written_or_undone(report, code, path, list(range(5, 45)))
    assert report["error"] is not None and landed < 40
    if spare >= 600_000:  # room for the first chunk column at least: kept, not undone with the rest
        assert landed >= 14
    assert_dates_intact(path, seed_file[1])


@pytest.mark.parametrize("spare", [0, 40960])
def test_failed_write_through_the_matrix_view(disk, seed_file, reading_market, spare):
    path = place_seed(disk, seed_file)
    report, code = run_child(dict(disk.fill(spare), op="view_write_flush", path=path, column=5))
    if report["error"] is not None:  # the view may rewrite the chunks in their slots
        assert_full_disk_error(report, code)
    assert_dates_intact(path, seed_file[1])


def test_a_write_after_a_failed_one(disk, seed_file, reading_market):
    """A failed write is undone and the handle reopened, so a later write on
    the same handle, once space has returned, lands without touching the
    dates written before."""
    path = place_seed(disk, seed_file)
    job = dict(disk.fill(16384), op="write_after_space_returns", path=path, column=5, later_column=45)
    report, code = run_child(job)
    assert (report["error"], code, report["left_open"]) == (None, 0, 0)
    assert_dates_intact(path, seed_file[1])
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][:, 45], expected_values(45))
        assert int(f["data"].attrs["cursor_col"]) == 45


def test_view_changes_after_a_failed_one(disk, seed_file, reading_market):
    """A failed change through the views is undone and the handle reopened:
    the same handle may try again, and once space returns its change lands."""
    path = place_seed(disk, seed_file)
    done = subprocess.run([sys.executable, CHILD, json.dumps(dict(disk.fill(0), op="view_changes_after_a_failed_one",
                                                                  path=path, column=5))],
                          capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    attempts = json.loads(done.stdout.splitlines()[0])["attempts"]
    assert attempts[0] in FULL and attempts[1] in FULL and attempts[2] is None, (attempts, done.stderr[-2000:])
    assert done.returncode == 0
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][:, SEEDED], seed_file[1][:, SEEDED])
        np.testing.assert_array_equal(f["data"][:, 5], expected_values(5))
        assert f["data"].attrs["note"] == "x" * 20000


def test_failed_metadata_flush_on_a_full_disk(seed_file, reading_market, tmp_path):
    """A change that HDF5 keeps in its metadata cache (a large attribute) is
    committed at once; on a full disk that fails and is undone by the journal,
    so the file stays readable as it was."""
    disk = Tmpfs(tmp_path / "disk")
    try:
        path = place_seed(disk, seed_file)
        report, code = run_child(dict(disk.fill(0), op="attribute_flush", path=path))
        assert report["error"]["is_oserror"] and report["error"]["errno"] == errno.ENOSPC
        assert code == 0
        assert_dates_intact(path, seed_file[1], cursor=SEEDED[-1])
        with h5py.File(path, "r") as f:
            assert "note" not in f["data"].attrs
        assert sorted(os.listdir(disk.directory)) == ["factor.h5", "filler"]  # no journal left
    finally:
        disk.close()


# --- rewrite -------------------------------------------------------------------


@pytest.mark.parametrize("spare", [0, 4096, 65536])
def test_failed_rewrite_keeps_the_old_file(disk, seed_file, reading_market, spare):
    """0: the new file cannot be created; 4096: its matrix cannot be filled;
    65536: filling stops part of the way."""
    path = place_seed(disk, seed_file)
    with open(path, "rb") as f:
        before = f.read()
    report, code = run_child(dict(disk.fill(spare), op="rewrite", path=path))
    # The rewrite closes its half-made copy itself, while the size limit still
    # holds, so HDF5 cannot extend and close it (see the module text).
    assert_full_disk_error(report, code, closed=disk.name == "tmpfs" or spare == 0)
    with open(path, "rb") as f:
        assert f.read() == before
    assert sorted(os.listdir(disk.directory)) == sorted(["factor.h5"] + (["filler"] if disk.name == "tmpfs" else []))
