"""Opening factor files for reading and writing, with waiting and retries."""

import errno
import os
import subprocess
import sys
import textwrap
import time
import types

import h5py
import numpy as np
import pytest

from conftest import run_python

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]
INSTRUMENTS = {"A": 0, "B": 1, "C": 2}


@pytest.fixture
def reference_data(detail, monkeypatch):
    calls = []
    monkeypatch.setattr(detail, "_get_all_instrument_index", lambda: calls.append("instruments") or INSTRUMENTS,
                        raising=False)
    monkeypatch.setattr(detail, "get_all_trading_dates", lambda: calls.append("calendar") or CALENDAR,
                        raising=False)
    return calls


@pytest.fixture
def sleeps(monkeypatch):
    """Records the pauses instead of sleeping."""
    pauses = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    return pauses


def test_missing_file_for_reading_is_none(detail, tmp_path, logs, reference_data):
    path = tmp_path / "absent.h5"
    assert detail.get_h5(str(path)) is None
    assert detail.get_h5(str(path), False, 0.1, 2) is None
    assert not path.exists() and logs() == [] and reference_data == []


def test_missing_file_for_writing_is_created(detail, tmp_path, logs, reference_data):
    path = str(tmp_path / "new.h5")
    with detail.get_h5(path, write=True) as h5:
        assert h5.mode == "r+"
        assert "cursor_col" not in h5["data"].attrs
    assert reference_data == ["instruments", "calendar"]
    assert logs() == [("INFO", "create factor %s", (path,)), ("INFO", "finish create factor %s", (path,))]
    with h5py.File(path, "r") as f:
        assert f["data"].shape == (3 + 500, 5 + 250)


def test_dangling_link(detail, tmp_path, reference_data, sleeps):
    link = tmp_path / "link.h5"
    os.symlink(tmp_path / "gone.h5", link)
    assert detail.get_h5(str(link)) is None
    # Exclusive creation does not follow links: a clear error, not endless retries.
    with pytest.raises(FileNotFoundError, match="symbolic link"):
        detail.get_h5(str(link), True)
    assert sleeps == [1, 1, 1, 1]
    assert not (tmp_path / "gone.h5").exists() and os.path.islink(link)


def test_file_behind_a_symbolic_link_reads_and_writes(detail, tmp_path, reference_data, monkeypatch):
    monkeypatch.setattr(detail, "TRADING_DATES", detail.TRADING_DATES)  # the write refreshes the snapshot
    target = tmp_path / "store" / "factor.h5"
    target.parent.mkdir()
    detail.create_new_factor_h5(str(target), (4, 3)).close()
    link = tmp_path / "link.h5"
    os.symlink(target, link)
    with detail.get_h5(str(link), True) as h5:
        detail.put_factor_value(h5, CALENDAR[1], [types.SimpleNamespace(order_book_id="B", value=2.5)])
    with detail.get_h5(str(link)) as h5:
        assert h5["data"][1, 1] == 2.5
    with h5py.File(target, "r") as f:
        assert f["data"][1, 1] == 2.5 and int(f["data"].attrs["cursor_col"]) == 1
    assert os.path.islink(link)


def test_existing_file_opens_for_writing_unchanged(detail, tmp_path, logs, reference_data):
    path = str(tmp_path / "old.h5")
    with detail.create_new_factor_h5(path, (4, 3)) as h5:
        h5["data"][:, 1] = [1, 2, 3, 4]
        h5["data"].attrs["cursor_col"] = 1
    logs_before = len(logs())
    with detail.get_h5(path, True) as h5:
        assert h5.mode == "r+" and h5["data"].shape == (4, 3)
    with detail.get_h5(path) as h5:
        assert h5.mode == "r"
    assert reference_data == [] and len(logs()) == logs_before
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][:, 1], [1, 2, 3, 4])
        assert f["data"].attrs["cursor_col"] == 1


def test_unopenable_file_gives_up_with_growing_pauses(detail, tmp_path, logs, sleeps):
    path = tmp_path / "not-hdf5.h5"
    path.write_text("plain text")
    with pytest.raises(OSError, match="signature"):
        detail.get_h5(str(path))
    # One cycle of five attempts: a file with no HDF5 signature is damaged,
    # and the retry wrapper does not repeat the cycle.
    assert sleeps == pytest.approx([0.1, 0.2, 0.4, 0.8])
    errors = [r for r in logs() if r[0] == "ERROR"]
    assert len(errors) == 5
    for level, message, args in errors:
        assert isinstance(message, OSError) and args == ()
        assert message.errno == errno.EIO and message.strerror.startswith("Unable to open file")


@pytest.mark.parametrize(
    "read_wait, rate, expected",
    [(0.1, 1, [0.1] * 4), (0, 2, [0, 0, 0, 0]), (20, 2, [20, 30, 30, 30]), (1, 0.5, [1, 0.5, 0.25, 0.125])],
)
def test_pause_rules(detail, tmp_path, sleeps, read_wait, rate, expected):
    path = tmp_path / "junk.h5"
    path.write_bytes(b"\0" * 64)
    with pytest.raises(OSError):
        detail.get_h5(str(path), read_wait=read_wait, rate=rate)
    assert sleeps == pytest.approx(expected)


def test_directory_at_path_fails_instead_of_hanging(detail, tmp_path, sleeps):
    with pytest.raises(OSError):
        detail.get_h5(str(tmp_path))
    assert len(sleeps) == 24


def test_file_removed_while_waiting_gives_none(detail, tmp_path, logs, monkeypatch):
    path = tmp_path / "vanishing.h5"
    path.write_text("not yet a factor file")
    monkeypatch.setattr(time, "sleep", lambda s: path.unlink())
    assert detail.get_h5(str(path)) is None
    assert len([r for r in logs() if r[0] == "ERROR"]) == 2  # the failed open, then the vanished file


@pytest.mark.parametrize("bad, kind", [("slow", TypeError), (-1, ValueError), (float("nan"), ValueError)])
def test_bad_pause_arguments(detail, tmp_path, bad, kind):
    path = tmp_path / "f.h5"
    detail.create_new_factor_h5(str(path), (1, 1)).close()
    with pytest.raises(kind, match="read_wait"):
        detail.get_h5(str(path), read_wait=bad)


def test_write_failures_are_retried_then_raised(detail, tmp_path, sleeps):
    path = tmp_path / "junk.h5"
    path.write_text("not hdf5")
    with pytest.raises(OSError):
        detail.get_h5(str(path), True)
    assert sleeps == [1, 1, 1, 1]  # five counted attempts, one second apart


@pytest.mark.parametrize(
    "text, counts",
    [
        ("Unable to create file (unable to open file: name = 'f', errno = 17, error message = 'File exists')", False),
        ("[Errno 35] Unable to open file (unable to lock file, errno = 35, error message = 'x')", False),
        ("x errno = 350 y", False),
        ("Unable to open file (unable to lock file, errno = 11, error message = 'Resource temporarily unavailable')",
         True),
        ("errno=17", True),
        ("first line\nerrno = 17", True),
        ("", True),
    ],
)
def test_temporary_unavailability_predicate(detail, text, counts):
    assert detail.do_not_decrease_when_temporarily_unavailable(OSError(text)) is counts
    assert detail.do_not_decrease_when_temporarily_unavailable(text) is counts


def start_holder(path):
    """A second process that keeps the file open for writing until told to close."""
    proc = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import sys, quorbel.detail as d
            h5 = d.get_h5({str(path)!r}, True)
            print("holding", flush=True)
            sys.stdin.readline()
            h5.close()
        """)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )
    assert proc.stdout.readline().strip() == "holding"
    return proc


def test_a_reader_never_waits_for_a_writer_in_another_process(detail, tmp_path, logs, monkeypatch):
    path = tmp_path / "busy.h5"
    with detail.create_new_factor_h5(str(path), (3, 3)) as h5:
        h5["data"][:, 0] = [1.0, 2.0, 3.0]
    holder = start_holder(path)
    pauses = []
    try:
        with monkeypatch.context() as patched:
            patched.setattr(time, "sleep", pauses.append)
            with detail.get_h5(str(path)) as h5:
                assert h5.mode == "r"
                np.testing.assert_array_equal(h5["data"][:, 0], [1.0, 2.0, 3.0])
    finally:
        holder.stdin.write("close\n")
        holder.stdin.flush()
        holder.wait(timeout=60)
    assert pauses == [] and [r for r in logs() if r[0] == "ERROR"] == []


def test_reader_retries_a_file_that_does_not_open_yet(detail, tmp_path, logs, monkeypatch):
    # A file that is not a factor file yet (another tool still copying it
    # into place, say) fails each open; the reader logs and pauses, growing
    # the pause, until it opens.
    good = tmp_path / "good.h5"
    detail.create_new_factor_h5(str(good), (3, 3)).close()
    path = tmp_path / "coming.h5"
    path.write_bytes(b"not yet" * 100)
    real_sleep = time.sleep
    pauses = []

    def sleep_then_complete(seconds):
        pauses.append(seconds)
        if len(pauses) == 3:
            os.replace(good, path)
        real_sleep(seconds)

    monkeypatch.setattr(time, "sleep", sleep_then_complete)
    with detail.get_h5(str(path)) as h5:
        assert h5.mode == "r" and h5["data"].shape == (3, 3)
    assert pauses == pytest.approx([0.1, 0.2, 0.4])
    errors = [r for r in logs() if r[0] == "ERROR"]
    assert len(errors) == 3
    assert all("signature" in str(message) and args == () for _, message, args in errors)


def test_two_writers_race_to_create(tmp_path):
    # The second writer passes the existence test, waits until the first has
    # created the file, then fails to create it (errno 17), which must not use
    # up its retries; it then opens the file once the first has closed it.
    path = str(tmp_path / "raced.h5")
    setup = f"""
        import logging, os, sys, time
        import quorbel.detail as d
        records = []
        class Keep(logging.Handler):
            def emit(self, r): records.append((r.levelname, r.getMessage()))
        logging.getLogger().addHandler(Keep()); logging.getLogger().setLevel(logging.INFO)
        d.get_all_trading_dates = lambda: [20180102, 20180103]
        path = {path!r}
    """
    first = run_python_async(setup + """
        d._get_all_instrument_index = lambda: {"A": 0}
        while not os.path.exists(path + ".second-is-in"):
            time.sleep(0.01)
        h5 = d.get_h5(path, True)
        time.sleep(1.5)
        h5.close()
        print("created", h5.mode if False else "ok")
    """)
    second = run_python(setup + """
        def index_after_creation():
            open(path + ".second-is-in", "w").close()
            while not os.path.exists(path):
                time.sleep(0.01)
            return {"A": 0}
        d._get_all_instrument_index = index_after_creation
        h5 = d.get_h5(path, True)
        print(h5.mode, h5["data"].shape)
        print(records)
    """)
    first_out, _ = first.communicate(timeout=60)
    assert first.returncode == 0 and first_out.strip() == "created ok"
    assert second.returncode == 0, second.stderr
    mode_line, records_line = second.stdout.strip().splitlines()
    assert mode_line == "r+ (501, 252)"
    assert "create factor" in records_line and "failed" not in records_line


def run_python_async(code):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, text=True)
