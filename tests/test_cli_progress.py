"""The command's progress display, and progress callables that stop a pass."""

import io
import os
import subprocess
import sys

import h5py
import numpy as np
import pytest

from quorbel import _extras
from quorbel.cli import ProgressDisplay

FULL = "scanning [" + "#" * 30 + "] 100%"


@pytest.fixture
def factor(tmp_path):
    values = np.full((100, 40), np.nan)
    values[:70, :30] = np.arange(70 * 30).reshape(70, 30)
    path = str(tmp_path / "f.h5")
    with h5py.File(path, "w") as f:
        d = f.create_dataset("data", data=values, chunks=(8, 8), maxshape=(None, None), compression="gzip",
                             compression_opts=9, fillvalue=np.nan)
        d.attrs["cursor_col"] = 29
    return path, values


def test_verify_into_a_log_writes_one_line_and_no_carriage_returns(factor, tmp_path):
    log = tmp_path / "log"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with open(log, "wb") as stderr:
        done = subprocess.run([sys.executable, "-m", "quorbel.cli", "verify", factor[0]], stdout=subprocess.PIPE,
                              stderr=stderr, env=env, timeout=120)
    assert done.returncode == 0, log.read_text()
    # Only the progress line is checked: the MongoDB driver may warn at start-up.
    log = log.read_bytes()
    assert b"\r" not in log
    assert log.splitlines().count(b"reading chunks [" + b"#" * 30 + b"] 100%") == 1


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream_type", [Terminal, io.StringIO])
def test_progress_display_draws_a_bar_on_a_terminal_and_one_line_elsewhere(stream_type):
    stream = stream_type()
    with ProgressDisplay("scanning", file=stream) as progress:
        for done in range(0, 11):
            progress(done, 10)
    text = stream.getvalue()
    assert text.endswith(FULL + "\n")
    if stream_type is Terminal:
        assert text.startswith("\rscanning [" + "-" * 30 + "]   0%")
    else:
        assert text == FULL + "\n"

    # A pass that fails leaves no completion line in a log.
    stream = io.StringIO()
    with pytest.raises(KeyError):
        with ProgressDisplay("scanning", file=stream) as progress:
            progress(3, 10)
            raise KeyError("stop")
    assert stream.getvalue() == ""


def stop_at(step):
    seen = []

    def progress(done, total):
        seen.append((done, total))
        if len(seen) == step:
            raise KeyboardInterrupt
    return progress, seen


def test_scans_report_each_batch_and_end_when_the_callable_raises(factor):
    path, values = factor
    progress, seen = stop_at(0)
    extent = _extras._value_extent(path, progress)
    assert {key: extent[key] for key in ("first", "last", "instruments")} == {"first": 0, "last": 29, "instruments": 70}
    assert seen[0] == (0, 100) and seen[-1] == (100, 100)
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)

    for scan in (lambda p: _extras._value_extent(path, p), lambda p: _extras._unreadable_chunks(path, p),
                 lambda p: _extras._draw_coverage(path, path + ".png", 10, 10, p)):
        progress, seen = stop_at(3)
        with pytest.raises(KeyboardInterrupt):
            scan(progress)
        assert len(seen) == 3


def test_an_interrupted_rewrite_leaves_the_file_as_it_was(factor):
    path, values = factor
    before = sorted(os.listdir(os.path.dirname(path)))
    for phase in ("reading", "writing"):
        progress, seen = stop_at(1)
        with pytest.raises(KeyboardInterrupt):
            _extras._rewrite(path, **{phase: progress})
        assert seen and sorted(os.listdir(os.path.dirname(path))) == before
        with h5py.File(path, "r") as f:
            np.testing.assert_array_equal(f["data"][...], values)
            assert f["data"].compression_opts == 9 and f["data"].attrs["cursor_col"] == 29

    reading, read = stop_at(0)
    writing, written = stop_at(0)
    _extras._rewrite(path, reading, writing)
    assert read[-1] == written[-1] == (1000, 1000)
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][...], values)
