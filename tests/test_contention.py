"""Writers and readers in separate processes on one factor file (tools/contention.py)."""

import importlib.util
import json
import math
import os
import subprocess
import sys

import h5py
import numpy as np
import pytest

TOOL = os.path.join(os.path.dirname(__file__), os.pardir, "tools", "contention.py")


@pytest.fixture(scope="module")
def tool():
    found = importlib.util.spec_from_file_location("contention", TOOL)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_the_checker_sees_torn_stale_and_foreign_columns(tool):
    instruments, writers = 4, 2
    whole = tool.column_values(1 * tool.TOKEN_SPAN + 7, instruments)  # writer 1's write, owns column 1
    older = tool.column_values(1 * tool.TOKEN_SPAN + 3, instruments)
    torn = older[:2] + whole[2:]  # half of one write over another
    foreign = tool.column_values(0 * tool.TOKEN_SPAN + 5, instruments)  # writer 0 in writer 1's column
    nan = [math.nan] * (instruments + 1)
    partial = whole[:-1] + [math.nan]

    def matrix(*columns):
        return [list(row) for row in zip(*columns)]

    assert tool.column_problems(matrix(nan, whole), writers) == []
    for column, reason in [(torn, "checksum"), (foreign, "does not own"), (partial, "NaN")]:
        (problem,) = tool.column_problems(matrix(nan, column), writers)
        assert problem.startswith("column 1") and reason in problem
    seen = {}
    assert tool.column_problems(matrix(nan, whole), writers, seen) == []
    (problem,) = tool.column_problems(matrix(nan, older), writers, seen)
    assert "went back" in problem


def test_writers_and_readers_contend_without_inconsistency(tool, tmp_path):
    proc = subprocess.run(
        [sys.executable, TOOL, "--duration", "8", "--json", "--dir", str(tmp_path)],
        capture_output=True, text=True, timeout=300,
    )
    assert proc.stdout, proc.stderr
    summary = json.loads(proc.stdout)
    totals = summary["totals"]
    assert summary["problems"] == [] and totals["inconsistencies"] == 0, summary["problems"]
    assert proc.returncode == 0
    assert totals["writes_landed"] > 0 and totals["reads"] > 0 and totals["columns_verified"] > 0
    assert {(c["role"], c["id"]) for c in summary["children"]} == {
        (role, i) for role in ("writer", "reader") for i in range(4)}
    # Each give-up is get_h5's retry ending on a file another process holds.
    for error in summary["give_up_errors"]:
        assert error.startswith("BlockingIOError: [Errno 11]") and "unable to lock file" in error

    # The file, read by an independent reader: every date holds the last
    # write its writer reported, rows and checksum alike.
    instruments = summary["config"]["instruments"]
    with h5py.File(tmp_path / "contended.h5", "r") as f:
        data = f["data"][: instruments + 1, : summary["config"]["dates"]]
        cursor = int(f["data"].attrs["cursor_col"])
    expected = {int(j): token for j, token in summary["expected_tokens"].items()}
    assert len(expected) == totals["dates_in_final_file"] > 0
    for column in range(data.shape[1]):
        if column in expected:
            np.testing.assert_array_equal(data[:, column], tool.column_values(expected[column], instruments))
        else:
            assert np.isnan(data[:, column]).all()
    assert cursor == max(expected)

