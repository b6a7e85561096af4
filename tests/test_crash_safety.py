"""A writer killed at any write call loses nothing that was written before."""

import os
import shutil
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import killpoint_sweep  # noqa: E402

needs_strace = pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
FULL = os.environ.get("QUORBEL_FULL_SWEEP") == "1"  # every kill point, 200 batch kills


@needs_strace
def test_kill_point_sweep(tmp_path):
    # The backfill's kill points are sampled by a test of their own below.
    only = None if FULL else set(killpoint_sweep.SCENARIOS) - {"backfill", "history-backfill"}
    results, failures = killpoint_sweep.sweep(every=1 if FULL else 6, workdir=str(tmp_path), report=lambda *_: None,
                                              only=only)
    assert failures == []
    for name, counts in results.items():
        assert counts.get("old", 0) > 0 and counts.get("new", 0) > 0, (name, counts)


@needs_strace
def test_kills_of_a_backfill_over_two_bands(tmp_path):
    # The first pwrite64, one about half-way and the last. The two bands
    # share one transaction (the batch is far below its size bound), so a
    # kill leaves none of the batch or all of it, never one band of two.
    # Each kill is followed by the whole batch written again.
    results, failures = killpoint_sweep.sweep(every=20, syscalls=("pwrite64",), workdir=str(tmp_path),
                                              report=lambda *_: None, only={"backfill"})
    assert failures == []
    counts = results["backfill"]
    assert counts.get("old") and counts.get("new"), counts
    assert not any(outcome.startswith("prefix of ") for outcome in counts), counts


def test_a_killed_batch_is_judged_by_its_prefix_of_whole_bands():
    rng = np.random.default_rng(3)
    before = np.full((6, 12), np.nan)
    before[:, :6] = rng.normal(size=(6, 6))
    after = before.copy()
    columns = [3, 4, 5, 6, 7]  # bands 3-5 and 6-7: 3 rewritten, 2 new
    after[:, columns] = rng.normal(size=(6, 5))

    def state(new_columns):
        out = before.copy()
        out[:, new_columns] = after[:, new_columns]
        return out

    def judge(matrix, cursor):
        return killpoint_sweep.judge_batch(matrix, cursor, before, 5, after, columns, band_ends=[0, 3, 5])[0]

    assert judge(state([]), 5) == "old"
    assert judge(state([3, 4, 5]), 5) == "prefix of 3 dates"
    assert judge(state(columns), 7) == "new"
    assert judge(state([3, 4]), 5) == "split-band"
    assert judge(state([6, 7]), 7) == "not-prefix"
    assert judge(state(columns), 5) == "lost"            # cursor_col behind the new dates
    assert judge(state([3, 4, 5]), 7) == "cursor"        # cursor_col past them
    half = state([3, 4, 5])
    half[:3, 6] = after[:3, 6]
    assert judge(half, 5) == "torn"
    earlier = state([])
    earlier[0, 1] += 1.0
    assert judge(earlier, 5) == "lost"


@needs_strace
def test_sweep_sees_what_the_journal_prevents(tmp_path):
    # The same kills with the undo journal thrown away leave torn dates: the
    # sweep would notice if the journal stopped doing its work.
    _, failures = killpoint_sweep.sweep(every=4, workdir=str(tmp_path), report=lambda *_: None,
                                        keep_journal=False, only={"mid-band"}, syscalls=("pwrite64",))
    assert failures


@needs_strace
def test_kills_of_a_backfill_into_a_file_with_history(tmp_path):
    # The batch's one record holds the old values of 30 revised dates: a
    # kill leaves the record and the whole batch, or neither.
    results, failures = killpoint_sweep.sweep(every=20, syscalls=("pwrite64",), workdir=str(tmp_path),
                                              report=lambda *_: None, only={"history-backfill"})
    assert failures == []
    counts = results["history-backfill"]
    assert counts.get("old") and counts.get("new"), counts


@needs_strace
def test_kills_between_a_record_and_its_commit(tmp_path):
    # Killed at a sync after its record is appended, a write is undone by
    # its journal, which cuts the record away: the file is found as before
    # and the history as before (the check below refuses anything else).
    results, failures = killpoint_sweep.sweep(every=1, syscalls=("fdatasync",), workdir=str(tmp_path),
                                              report=lambda *_: None, only={"history-date"})
    assert failures == []
    assert results["history-date"]["old"] >= 2, results


@needs_strace
def test_the_sweep_refuses_a_history_that_is_not_its_file_s(tmp_path):
    scenario = killpoint_sweep.SCENARIOS["history-date"](str(tmp_path))
    scenario.count_writes("pwrite64")  # the unkilled write, whose file and history stay
    written = str(tmp_path / "history-date-count.h5.history")
    assert scenario.history_fault(written, scenario.after, scenario.cursor_after, "new") is None
    assert scenario.history_fault(written, scenario.before, scenario.cursor_before, "old") == \
        "1 new record(s) for a file found old (an unkilled write adds 1)"
    assert scenario.history_fault(scenario.base + ".history", scenario.after, scenario.cursor_after, "new") == \
        "0 new record(s) for a file found new (an unkilled write adds 1)"
    with open(written, "ab") as f:
        f.write(b"QRBC")
    assert scenario.history_fault(written, scenario.after, scenario.cursor_after, "new") == \
        "4 bytes past the history's last whole record"


@needs_strace
def test_random_kills_of_a_batch(tmp_path):
    outcomes, failures = killpoint_sweep.random_batch_kills(200 if FULL else 5, seed=7, workdir=str(tmp_path),
                                                            report=lambda *_: None)
    assert failures == [] and sum(outcomes.values()) == (200 if FULL else 5)


def journal_bytes(device, inode, base_size, records):
    """A journal as the engine writes it: header, then (offset, old bytes) records."""
    import struct
    import zlib

    head = b"QRBJRNL1" + struct.pack("<QQQ", device, inode, base_size)
    out = head + struct.pack("<II", zlib.crc32(head), 0)
    for offset, old in records:
        crc = zlib.crc32(old, zlib.crc32(struct.pack("<Q", len(old)), zlib.crc32(struct.pack("<Q", offset))))
        out += struct.pack("<QQII", offset, len(old), crc, 0) + old
    return out


def test_journals_that_describe_no_write_to_this_file(detail, tmp_path):
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, (4, 4)) as h5:
        h5["data"][:, 1] = [1.0, 2.0, 3.0, 4.0]
    st = os.stat(path)
    journal = tmp_path / ".f.h5.journal"
    wipe_superblock = [(0, b"\0" * 64)]
    cases = {
        "header cut short by a kill": journal_bytes(st.st_dev, st.st_ino, st.st_size, [])[:13],
        "another file's journal": journal_bytes(st.st_dev, st.st_ino + 1, st.st_size, wipe_superblock),
        "record cut short by a kill": journal_bytes(st.st_dev, st.st_ino, st.st_size, wipe_superblock)[:-10],
    }
    for case, content in cases.items():
        journal.write_bytes(content)
        with detail.get_h5(path) as h5:
            np.testing.assert_array_equal(h5["data"][:, 1], [1.0, 2.0, 3.0, 4.0]), case
        if case == "another file's journal":
            # A reader never moves a journal that is not the file's; the
            # file's next writer sets it aside.
            assert journal.exists()
            detail.get_h5(path, True).close()
        assert not journal.exists(), case


def test_a_journal_is_undone_on_open(detail, tmp_path):
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, (4, 4)) as h5:
        h5["data"][:, 1] = [1.0, 2.0, 3.0, 4.0]
    original = open(path, "rb").read()
    st = os.stat(path)
    # What a writer killed after overwriting the first 100 bytes and growing
    # the file would leave behind.
    (tmp_path / ".f.h5.journal").write_bytes(journal_bytes(st.st_dev, st.st_ino, st.st_size, [(0, original[:100])]))
    with open(path, "r+b") as f:
        f.write(b"\xff" * 100)
        f.seek(0, 2)
        f.write(b"appended by the killed writer")
    with detail.get_h5(path) as h5:
        np.testing.assert_array_equal(h5["data"][:, 1], [1.0, 2.0, 3.0, 4.0])
    assert open(path, "rb").read() == original
    assert not (tmp_path / ".f.h5.journal").exists()
