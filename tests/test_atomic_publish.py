"""Creation and rewrite publish a whole file or nothing. Killed at every
write, rename, link, unlink and sync, they leave at the path the whole old
file, the whole new one, or (creation only) nothing, and the next call of the
operation works and clears the leftovers. Failed system calls (injected)
leave the path as it was and no temporary behind."""

import json
import os
import shutil
import stat
import subprocess
import sys
import textwrap

import h5py
import numpy as np
import pytest

pytestmark = pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")

SYSCALLS = ["pwrite64", "write", "rename", "renameat2", "link", "linkat", "unlink", "unlinkat", "fsync",
            "fdatasync"]
# A stat of this name marks where the operation starts in the child's trace.
MARKER = "/quorbel-operation-starts-here"
CREATED_SHAPE = (52, 35)  # 2 instruments + 50 rows, 10 dates + 25 columns
CALENDAR = list(range(20200101, 20200111))

CHILD = textwrap.dedent(
    """
    import json, os, sys
    import quorbel.detail as d
    job = json.loads(sys.argv[1])
    d.EXPAND_INSTRUMENT_LENGTH, d.EXPAND_TRADING_DATE_LENGTH = 50, 25
    d.get_all_trading_dates = lambda: job["calendar"]
    d._get_all_instrument_index = lambda: {"A": 0, "B": 1}
    try:
        os.stat(job["marker"])
    except FileNotFoundError:
        pass
    try:
        if job["operation"] == "create":
            d.create_new_factor_h5(job["path"], tuple(job["shape"])).close()
        elif job["operation"] == "get_h5":
            d.get_h5(job["path"], True).close()
        else:
            d.rewrite_factor(job["path"])
    except OSError as e:
        print(json.dumps([type(e).__name__, e.errno, str(e)]))
        sys.exit(3)
    """
)


def kill(job, name, n, extra=()):
    return child(job, ["-o", os.devnull, *extra, "-e", f"trace={name}",
                       "-e", f"inject={name}:signal=SIGKILL:when={n}"])


def child(job, strace_args):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    command = ["strace", "-f", "-qq", *strace_args, sys.executable, "-c", CHILD, json.dumps(job)]
    return subprocess.run(command, capture_output=True, text=True, timeout=120, env=env)


def kill_points(job, log, extra=()):
    """(syscall, n) for every call of the operation itself: the n-th call of
    that system call in the whole child, counted in an unkilled run."""
    done = child(job, [*extra, "-e", "trace=" + ",".join(SYSCALLS + ["stat", "newfstatat", "statx"]), "-o", log])
    assert done.returncode == 0, done.stderr
    seen, points, started = {s: 0 for s in SYSCALLS}, [], False
    with open(log) as f:
        for line in f:
            if MARKER in line:
                started = True
            name = line.split(None, 1)[1].split("(", 1)[0] if " " in line else ""
            if name in seen:
                seen[name] += 1
                if started:
                    points.append((name, seen[name]))
    os.remove(log)
    return points


def leftovers(directory, name):
    return sorted(n for n in os.listdir(directory) if n != name)


def h5py_matrix(path):
    with h5py.File(path, "r") as f:
        assert list(f.keys()) == ["data"]
        return f["data"][...], dict(f["data"].attrs)


def engine_matrix(detail, path):
    h5 = detail.get_h5(str(path), read_wait=0)
    try:
        return h5["data"][...]
    finally:
        h5.close()


# A file system without RENAME_NOREPLACE: creation publishes by link and unlink.
WITHOUT_NOREPLACE = ("-e", "inject=renameat2:error=EINVAL")


@pytest.mark.parametrize("operation, extra, publishing", [
    ("create", (), {"renameat2"}),
    ("get_h5", (), {"renameat2"}),
    ("create", WITHOUT_NOREPLACE, {"link", "unlink"}),
])
def test_killed_creation_leaves_nothing_or_the_whole_file(detail, market, monkeypatch, tmp_path, operation, extra,
                                                          publishing):
    market.set_calendar(CALENDAR)
    market.set_instruments({"A": 0, "B": 1})
    monkeypatch.setattr(detail, "EXPAND_INSTRUMENT_LENGTH", 50)
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 25)
    path = tmp_path / "f.h5"
    job = {"operation": operation, "path": str(path), "shape": CREATED_SHAPE, "calendar": CALENDAR,
           "marker": MARKER}
    points = kill_points(job, str(tmp_path / "count.strace"), extra)
    assert path.exists()
    path.unlink()
    called = {name for name, _ in points}
    assert {"pwrite64", "fsync"} | publishing <= called, points

    outcomes = {}
    for name, n in points:
        killed = kill(job, name, n, extra)
        if path.exists():
            matrix, attrs = h5py_matrix(path)
            assert matrix.shape == CREATED_SHAPE and np.isnan(matrix).all() and attrs == {}, (name, n)
            assert engine_matrix(detail, path).shape == CREATED_SHAPE
            outcome = "whole"
        else:
            outcome = "nothing"
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        assert killed.returncode == -9 or outcome == "whole", (name, n, killed.stderr)

        # The next call works and clears what the killed one left.
        if operation == "create":
            if outcome == "whole":
                with pytest.raises(FileExistsError):
                    detail.create_new_factor_h5(str(path), CREATED_SHAPE)
            else:
                detail.create_new_factor_h5(str(path), CREATED_SHAPE).close()
        else:
            detail.get_h5(str(path), True).close()
        assert h5py_matrix(path)[0].shape == CREATED_SHAPE
        assert leftovers(tmp_path, "f.h5") == [], (name, n)
        path.unlink()
    # The sweep reached both sides of the publishing rename.
    assert set(outcomes) == {"nothing", "whole"}, outcomes


def test_killed_rewrite_leaves_the_whole_old_or_new_file(detail, tmp_path):
    path = tmp_path / "f.h5"
    rng = np.random.default_rng(3)
    matrix = np.full((60, 40), np.nan)
    with detail.create_new_factor_h5(str(path), matrix.shape) as f:
        for j in range(0, 30, 3):
            matrix[:, j] = rng.normal(size=60)
            f["data"][:, j] = matrix[:, j]
        f["data"].attrs["cursor_col"] = 27
    os.chmod(path, 0o640)
    original = tmp_path / "original.h5"
    shutil.copy2(path, original)
    job = {"operation": "rewrite", "path": str(path), "calendar": CALENDAR, "marker": MARKER}
    points = kill_points(job, str(tmp_path / "count.strace"))
    called = {name for name, _ in points}
    assert {"pwrite64", "fsync", "rename"} <= called, points

    outcomes = {}
    for name, n in points:
        shutil.copy2(original, path)
        old_inode = os.stat(path).st_ino
        kill(job, name, n)
        info = os.stat(path)
        outcome = "old" if info.st_ino == old_inode else "new"
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        assert stat.S_IMODE(info.st_mode) == 0o640, (name, n)
        cells, attrs = h5py_matrix(path)
        np.testing.assert_array_equal(cells, matrix, err_msg=f"{name} {n}")
        assert attrs == {"cursor_col": 27}
        np.testing.assert_array_equal(engine_matrix(detail, path), matrix)

        detail.rewrite_factor(str(path))
        np.testing.assert_array_equal(h5py_matrix(path)[0], matrix)
        assert leftovers(tmp_path, "f.h5") == ["original.h5"], (name, n)
    assert set(outcomes) == {"old", "new"}, outcomes


@pytest.mark.parametrize("syscall, error, kind", [
    ("renameat2", "EEXIST", "FileExistsError"),  # another process published first
    ("fsync", "EIO", "OSError"),
    ("renameat2", "EACCES", "PermissionError"),
])
def test_failed_publishing_of_a_creation(tmp_path, syscall, error, kind):
    path = tmp_path / "f.h5"
    job = {"operation": "create", "path": str(path), "shape": CREATED_SHAPE, "calendar": CALENDAR, "marker": MARKER}
    done = child(job, ["-o", os.devnull, "-e", f"trace={syscall}", "-e", f"inject={syscall}:error={error}:when=1"])
    assert done.returncode == 3, done.stderr
    name, number, text = json.loads(done.stdout)
    assert name == kind and str(path) in text and ".tmp" not in text
    if error == "EEXIST":  # as the exclusive create has always said it
        assert number == 17 and "errno = 17" in text.splitlines()[0]
    # Python's last-resort handler shows the ERROR line; losing the race is none.
    assert (f"create factor {path} failed" in done.stderr) == (error != "EEXIST")
    assert os.listdir(tmp_path) == []


def test_creation_without_rename_noreplace_links(tmp_path):
    path = tmp_path / "f.h5"
    job = {"operation": "create", "path": str(path), "shape": CREATED_SHAPE, "calendar": CALENDAR, "marker": MARKER}
    done = child(job, ["-o", os.devnull, "-e", "trace=renameat2", "-e", "inject=renameat2:error=EINVAL"])
    assert done.returncode == 0, done.stderr
    assert h5py_matrix(path)[0].shape == CREATED_SHAPE
    assert os.listdir(tmp_path) == ["f.h5"]


@pytest.mark.parametrize("syscall, error", [("rename", "EXDEV"), ("fsync", "EIO"), ("fchmod", "EPERM")])
def test_failed_publishing_of_a_rewrite_keeps_the_old_file(detail, tmp_path, syscall, error):
    path = tmp_path / "f.h5"
    with detail.create_new_factor_h5(str(path), (5, 4)) as f:
        f["data"][:, 2] = np.arange(5.0)
    os.chmod(path, 0o400)  # the copy's bits are then set once it is written
    before = path.read_bytes()
    job = {"operation": "rewrite", "path": str(path), "calendar": CALENDAR, "marker": MARKER}
    # The fchmod that follows the writing, not the one that makes the copy.
    when = 2 if syscall == "fchmod" else 1
    done = child(job, ["-o", os.devnull, "-e", f"trace={syscall}", "-e", f"inject={syscall}:error={error}:when={when}"])
    assert done.returncode == 3, done.stderr
    name, number, text = json.loads(done.stdout)
    assert number == getattr(__import__("errno"), error) and str(path) in text and ".tmp" not in text
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["f.h5"]
