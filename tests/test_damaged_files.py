"""A damaged factor file (no HDF5 signature, a superblock cut short) fails
fast, as an OSError that names it, on reads and writes, in the engine, the
library and the command line; waiting for a busy file still works."""

import errno
import re
import time

import pytest

import quorbel
from quorbel import cli, utils


def damaged_files(detail, folder):
    """{what is wrong: path} of three ways a factor file is past mending."""
    folder.mkdir(exist_ok=True)
    whole = folder / "whole.h5"
    detail.create_new_factor_h5(str(whole), (4, 4)).close()
    files = {"no HDF5 signature": folder / "text.h5", "empty": folder / "empty.h5", "cut short": folder / "cut.h5"}
    files["no HDF5 signature"].write_bytes(b"date,value\n20240102,1.5\n" * 40)
    files["empty"].write_bytes(b"")
    files["cut short"].write_bytes(whole.read_bytes()[:300])
    whole.unlink()
    return files


@pytest.fixture
def sleeps(monkeypatch):
    """The pauses the retries take, recorded instead of slept."""
    taken = []
    monkeypatch.setattr(time, "sleep", taken.append)
    return taken


REASONS = {"no HDF5 signature": "it holds no HDF5 signature", "empty": "it is empty",
           "cut short": "it is cut short: 300 bytes where its superblock records"}


@pytest.mark.parametrize("what", sorted(REASONS))
@pytest.mark.parametrize("write", [False, True])
def test_get_h5_names_a_damaged_file_after_one_retry_cycle(detail, tmp_path, sleeps, what, write):
    path = damaged_files(detail, tmp_path)[what]
    if what == "empty" and write:
        pytest.skip("an empty file is a factor file not made yet: writing makes it")
    with pytest.raises(OSError) as raised:
        detail.get_h5(str(path), write=write)
    error = raised.value
    assert (error.errno, error.filename) == (errno.EIO, str(path))
    assert f"the factor file is damaged ({REASONS[what]}" in str(error)
    assert "Restore it from a backup" in str(error)
    # One retry cycle: the read loop's growing pauses, or the retry wrapper's
    # for a write, never one inside the other.
    assert sleeps == ([1, 1, 1, 1] if write else pytest.approx([0.1, 0.2, 0.4, 0.8]))


def test_the_retry_cycle_still_waits_out_a_busy_file(sleeps):
    attempts = []

    @utils.retry(5, OSError, 1)
    def busy():
        attempts.append(1)
        raise OSError(errno.EAGAIN, "Unable to lock file")

    with pytest.raises(OSError, match="lock"):
        busy()
    assert (len(attempts), sleeps) == (5, [1, 1, 1, 1])


def test_the_library_and_the_command_line_name_the_damaged_file(detail, market, tmp_path, sleeps, capsys):
    market.set_instruments({"A": 0})
    files = damaged_files(detail, tmp_path / "lib")
    lib = quorbel.FactorLibrary(tmp_path / "lib")
    with pytest.raises(OSError, match=f"damaged.*{re.escape(str(files['cut short']))}") as raised:
        lib.read(["cut"], start=20180102, end=20180105)
    assert raised.value.errno == errno.EIO
    report = lib.write(20180102, {"cut": {"A": 1.0}}, raise_errors=False)
    assert isinstance(report.failed["cut"], OSError) and report.failed["cut"].filename == str(files["cut short"])
    assert cli.main(["info", str(files["cut short"])]) == 1
    assert f"quorbel: error: {files['cut short']}: Unable to open file" in capsys.readouterr().err
    assert cli.main(["ls", str(tmp_path / "lib")]) == 1
    lines = {line.split()[0]: line for line in capsys.readouterr().out.splitlines()[1:]}
    assert sorted(lines) == ["cut", "empty", "text"]
    assert all("damaged" in line or "signature" in line for line in lines.values())
