"""The power-loss crash-state explorer (tools/crash_explorer.py).

The quick pass records real writers under strace, lays out their crash
states and checks them through the engine: it must find no violation, and
the same states with their journals deleted must show violations (or the
checks could not see what they are for). The unit tests below pin the parts
a wrong answer would hide in: reading traces, the power-loss model and the
judging of a file against the reference run.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

TOOLS = os.path.join(os.path.dirname(__file__), "..", "tools")
sys.path.insert(0, TOOLS)
from crash_states import checking, crash_model, exploring, recording, scenarios, strace_log, sync_classes  # noqa: E402
from crash_states import verdicts  # noqa: E402
from crash_states.recording import Op  # noqa: E402

needs_strace = pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")


# ---- traces ------------------------------------------------------------------

def hexed(data):
    if isinstance(data, str):
        data = data.encode()
    return '"' + "".join(f"\\x{b:02x}" for b in data) + '"'


def read_trace(tmp_path, lines, prepared=None):
    root = tmp_path / "root"
    root.mkdir(exist_ok=True)
    log = tmp_path / "trace"
    log.write_text("".join(line + "\n" for line in lines))
    return recording.record(str(log), str(root), prepared or {}, cwd=str(tmp_path)), str(root)


def test_a_trace_becomes_operations_in_completion_order(tmp_path):
    root = str(tmp_path / "root")
    lines = [
        f'10 write(1, {hexed("QXMARK 1 start")}, 14) = 14',
        f'10 openat(AT_FDCWD, {hexed(root + "/f.h5")}, O_RDWR|O_CREAT|O_EXCL|O_CLOEXEC, 0644) = 3',
        f'10 newfstatat(3, "", {{st_dev=makedev(0xfe, 0x1), st_ino=77, st_mode=S_IFREG|0644}}, AT_EMPTY_PATH) = 0',
        # Thread 11's write starts first but returns after thread 10's.
        f'11 pwrite64(3, {hexed(b"late")}, 4, 100 <unfinished ...>',
        f'10 pwrite64(3, {hexed(b"early")}, 5, 0) = 5',
        '11 <... pwrite64 resumed>) = 4',
        f'10 writev(3, [{{iov_base={hexed(b"ab")}, iov_len=2}}, {{iov_base={hexed(b"cd")}, iov_len=2}}], 2) = 3',
        '10 fdatasync(3) = 0',
        f'10 openat(AT_FDCWD, {hexed(root)}, O_RDONLY|O_CLOEXEC|O_DIRECTORY) = 4',
        '10 fsync(4) = 0',
        f'10 openat(AT_FDCWD, {hexed("/elsewhere/x")}, O_WRONLY|O_CREAT, 0644) = 5',
        f'10 pwrite64(5, {hexed(b"not ours")}, 8, 0) = 8',
        f'10 renameat2(AT_FDCWD, {hexed(root + "/f.h5")}, AT_FDCWD, {hexed(root + "/g.h5")}, RENAME_NOREPLACE) = 0',
        f'10 unlink({hexed(root + "/missing")}) = -1 ENOENT (No such file or directory)',
        f'10 write(1, {hexed("QXMARK 1 returned")}, 17) = 17',
        "10 exit_group(0) = ?",
    ]
    rec, _ = read_trace(tmp_path, lines)
    summary = [(op.kind, op.data, op.offset) if op.kind == "write" else (op.kind, op.path, op.path2)
               for op in rec.ops]
    assert summary == [
        ("mark", "", ""), ("link", "f.h5", ""),
        ("write", b"early", 0), ("write", b"late", 100),
        ("write", b"abc", 0),  # writev at the description's position, cut to what it returned
        ("sync", "", ""), ("sync", "", ""), ("rename", "f.h5", "g.h5"), ("mark", "", ""),
    ]
    assert rec.files[0].inode == (os.makedev(0xfe, 1), 77) and rec.files[0].names == ["f.h5", "g.h5"]
    assert [op.sync_class for op in rec.ops if op.kind == "sync"] == [
        "sync of the factor file", "directory sync after the factor file is created"]


def test_a_write_that_escapes_the_model_fails_the_recording(tmp_path):
    root = str(tmp_path / "root")
    opened = f'10 openat(AT_FDCWD, {hexed(root + "/f.h5")}, O_RDWR|O_CREAT, 0644) = 3'
    cases = {
        "sendfile": f"10 sendfile(3, 7, NULL, 4096) = 4096",
        "mapped shared and writable": "10 mmap(NULL, 4096, PROT_READ|PROT_WRITE, MAP_SHARED, 3, 0) = 0x7f0000000000",
        "cut a string short": f'10 pwrite64(3, {hexed(b"abc")}..., 9, 0) = 9',
        "pwritev2 with flags": f'10 pwritev2(3, [{{iov_base={hexed(b"a")}, iov_len=1}}], 1, 0, RWF_DSYNC) = 1',
        "never completed": f'10 pwrite64(3, {hexed(b"abc")}, 3, 0 <unfinished ...>',
        "model has no such name": f'10 openat(AT_FDCWD, {hexed(root + "/ghost")}, O_RDONLY) = 4',
    }
    for expected, line in cases.items():
        with pytest.raises(strace_log.TraceError, match=expected) as caught:
            read_trace(tmp_path, [opened, line])
        assert str(tmp_path / "trace") in str(caught.value), expected


def test_untracked_writes_and_failed_calls_change_nothing(tmp_path):
    root = str(tmp_path / "root")
    lines = [
        f'10 openat(AT_FDCWD, {hexed(root + "/f.h5")}, O_RDONLY|O_CREAT|O_EXCL, 0644) = -1 EEXIST (File exists)',
        f'10 sendfile(1, 7, NULL, 10) = 10',
        f'10 write(2, {hexed("QXMARK 1 start")}, 14) = 14',  # marks are on stdout only
    ]
    rec, _ = read_trace(tmp_path, lines, prepared={"f.h5": (b"old", (1, 2))})
    assert rec.ops == []
    assert rec.initial_content == {0: b"old"} and rec.files[0].inode == (1, 2)


def test_descriptors_positions_and_processes_follow_the_kernel(tmp_path):
    root = str(tmp_path / "root")
    f, g = hexed(root + "/f.h5"), hexed(root + "/g.h5")
    lines = [
        f"10 openat(AT_FDCWD, {f}, O_RDWR) = 3",
        "10 dup(3) = 4",
        "10 close(3) = 0",
        "10 lseek(4, 2, SEEK_SET) = 2",
        "10 read(0x4, 0x7ffd0000, 0x3) = 0x3",                      # raw: the position moves to 5
        f"10 write(4, {hexed(b'W')}, 1) = 1",                       # at 5, through the dup
        "10 fcntl(4, F_DUPFD_CLOEXEC, 10) = 10",
        "10 clone(child_stack=NULL, flags=CLONE_CHILD_CLEARTID|SIGCHLD, child_tidptr=0x7f00) = 20",
        "20 close(10) = 0",                                         # the child's copy only
        f"10 pwrite64(10, {hexed(b'P')}, 1, 0) = 1",
        f"10 openat(AT_FDCWD, {g}, O_WRONLY|O_APPEND) = 5",
        f"10 write(5, {hexed(b'tail')}, 4) = 4",                    # O_APPEND: at the end
        f"10 openat(AT_FDCWD, {f}, O_WRONLY|O_TRUNC|O_SYNC) = 6",
        f"10 write(6, {hexed(b'sync')}, 4) = 4",                    # O_SYNC: synced with the write
        "10 ftruncate(5, 2) = 0",
        "10 fallocate(5, 0, 0, 6) = 0",
        "10 fallocate(5, FALLOC_FL_KEEP_SIZE|FALLOC_FL_PUNCH_HOLE, 0, 1) = 0",
        f"10 mkdirat(AT_FDCWD, {hexed(root + '/sub')}, 0755) = 0",
        f"10 renameat2(AT_FDCWD, {f}, AT_FDCWD, {g}, RENAME_EXCHANGE) = 0",
        f"10 linkat(AT_FDCWD, {g}, AT_FDCWD, {hexed(root + '/h.h5')}, 0) = 0",
        f"10 unlinkat(AT_FDCWD, {hexed(root + '/sub')}, AT_REMOVEDIR) = 0",
        "10 sync() = 0",
    ]
    prepared = {"f.h5": (b"0123456789", (1, 1)), "g.h5": (b"abc", (1, 2))}
    rec, _ = read_trace(tmp_path, lines, prepared)
    kinds = [op.kind for op in rec.ops]
    assert kinds == ["write", "write", "write", "truncate", "write", "sync", "truncate", "extend", "zero", "mkdir",
                     "exchange", "link", "rmdir", "sync"]
    model = crash_model.CrashModel(rec)
    end = model.layout(len(rec.ops))
    files = {name: end.contents[ident] for name, ident in end.names.items()}
    # The exchange swapped the files; the link named the one then at g.h5.
    assert files == {"g.h5": b"sync", "f.h5": b"\0b\0\0\0\0", "h.h5": b"sync"}
    assert end.names["g.h5"] == end.names["h.h5"] and model.pending(len(rec.ops)) == []
    # Before the truncation, the writes through dup'ed descriptors had landed where the kernel puts them.
    early = model.layout(2)
    assert early.contents[early.names["f.h5"]] == b"P1234W6789"


def test_malformed_traces_are_refused_with_the_line_named(tmp_path):
    for lines, expected in [
        (["garbage without a thread id"], "trace:1: not a traced call"),
        (["10 <... pwrite64 resumed>) = 4"], "trace:1: pwrite64 resumed without its start"),
        (["10 write(1, \"\\x41\", 1"], "trace:1: the arguments of write do not end"),
        (["10 close(3)"], "trace:1: close without a result"),
        (["10 --- SIGCHLD {si_signo=SIGCHLD} ---", "10 pwrite64(3, not a string, 1, 0) = 1"], None),
    ]:
        log = tmp_path / "trace"
        log.write_text("\n".join(lines) + "\n")
        calls = strace_log.read_calls(str(log))
        if expected is None:
            assert [c.name for c in calls] == ["pwrite64"]
            continue
        with pytest.raises(strace_log.TraceError, match=expected):
            list(calls)


def test_journal_lookups_pick_the_file_alive_when_the_journal_was_made(tmp_path):
    # Inode 9 was the prepared file's; once it went, a later file got it.
    rec, _ = read_trace(tmp_path, [], prepared={"a.h5": (b"", (1, 9))})
    later = recording.FileObject(1, born=5, inode=(1, 9), names=["b.h5"])
    rec.files[1] = later
    assert rec.file_for_inode(1, 9, at=3) == 0
    assert rec.file_for_inode(1, 9, at=7) == 1
    assert rec.file_for_inode(1, 10, at=7) is None


# ---- the power-loss model ---------------------------------------------------

def model_of(ops, initial=None):
    initial = initial or {"f.h5": b"0123456789"}
    files = {i: recording.FileObject(i, -1, (1, 100 + i), [name]) for i, name in enumerate(initial)}
    names = {name: i for i, name in enumerate(initial)}
    rec = recording.Recording("/root", names, {""}, {names[n]: c for n, c in initial.items()}, list(ops), files)
    for op in ops:
        if op.kind == "link":
            files.setdefault(op.file, recording.FileObject(op.file, 0, None, [op.path]))
    sync_classes.classify_syncs(rec)
    return crash_model.CrashModel(rec)


def test_what_a_power_cut_may_lose_and_where_it_may_strike():
    ops = [
        Op("mark", call=1, phase="start"),
        Op("write", file=0, offset=0, data=b"AB"),          # 1
        Op("link", file=1, path=".f.h5.journal"),           # 2: the journal appears
        Op("write", file=1, offset=0, data=b"J"),           # 3
        Op("sync", file=1),                                 # 4: the journal's bytes, not its name
        Op("write", file=0, offset=5, data=b"CD"),          # 5
        Op("sync", path=""),                                # 6: the directory
        Op("sync", file=0),                                 # 7
        Op("unlink", file=1, path=".f.h5.journal"),         # 8
        Op("mark", call=1, phase="returned"),
    ]
    model = model_of(ops)
    assert model.points() == [3, 4, 5, 6, 7, 8, 9, 10]
    assert model.pending(6) == [1, 2, 5]   # the journal's write was synced, its name not yet
    assert model.pending(7) == [1, 5]      # the directory sync made the name durable
    assert model.pending(10) == [8]
    assert model.context(6) == (0, 1) and model.context(10) == (1, None)

    # Each op is lost on its own: an earlier write may survive a later one's loss.
    lost_early = model.layout(6, lost=(1,))
    assert lost_early.contents[lost_early.names["f.h5"]] == b"01234CD789"
    lost_name = model.layout(6, lost=(2,))
    assert ".f.h5.journal" not in lost_name.names
    unlink_lost = model.layout(10, lost=(8,))
    assert unlink_lost.contents[unlink_lost.names[".f.h5.journal"]] == b"J"

    patterns = list(crash_model.loss_patterns(model.units(6), __import__("random").Random(0)))
    lost_sets = {lost for _, lost in patterns}
    assert {(), (1, 2, 5), (1,), (2,), (5,), (2, 5), (1, 5), (1, 2)} <= lost_sets


def test_a_rename_that_survives_names_the_file_even_if_its_creation_did_not():
    ops = [
        Op("link", file=1, path=".f.h5.123.tmp"),
        Op("write", file=1, offset=0, data=b"new"),
        Op("sync", file=1),
        Op("rename", file=1, path=".f.h5.123.tmp", path2="f.h5"),
        Op("sync", path=""),
    ]
    model = model_of(ops)
    assert [op.sync_class for op in ops if op.kind == "sync"] == [
        "sync of the new file (temporary)", "directory sync after the new file is published (rename)"]
    both_lost = model.layout(4, lost=(0, 3))
    assert both_lost.contents[both_lost.names["f.h5"]] == b"0123456789"
    creation_lost = model.layout(4, lost=(0,))
    assert sorted(creation_lost.names) == ["f.h5"] and creation_lost.contents[creation_lost.names["f.h5"]] == b"new"

    # Without that directory sync, the rename stays at risk to the end.
    removed = crash_model.CrashModel(model.recording, removed_syncs={ops[4].sync_class})
    assert model.pending(5) == [] and removed.pending(5) == [0, 3]


def test_torn_writes_lose_pages_of_the_file_independently():
    page = crash_model.PAGE
    data = bytes(range(256)) * 40  # 10,240 bytes from offset 1000: into three pages of the file
    model = model_of([Op("write", file=0, offset=1000, data=data)], {"f.h5": b"\xee" * 12000})
    pieces = model.units(1, torn=True)
    assert [(p.lo, p.hi) for p in pieces] == [(1000, page), (page, 2 * page), (2 * page, 11240)]
    state = model.layout(1, lost=(pieces[1],))
    content = state.contents[state.names["f.h5"]]
    assert content[page:2 * page] == b"\xee" * page
    assert content[1000:page] == data[:page - 1000] and content[2 * page:11240] == data[2 * page - 1000:]
    assert model.units(1, torn=False) == [0]


# ---- judging a file ---------------------------------------------------------

def matrix(columns, rows=6, width=8, seed=0):
    out = np.full((rows, width), np.nan)
    rng = np.random.default_rng(seed)
    for j in columns:
        out[:, j] = rng.normal(size=rows) + j
    return out


def history_of_one_date():
    before = matrix([1, 2])
    after = before.copy()
    after[:, 3] = np.arange(6.0)
    history = verdicts.FileHistory([(before, 2), (after, 3)], {}, {1: [3]}, prepared_columns=[1, 2])
    return history, before, after


def test_a_date_in_flight_is_wholly_old_or_wholly_new():
    history, before, after = history_of_one_date()
    expect = json.loads(json.dumps(history.expectation(0, 1)))  # as a reproduction carries it
    assert verdicts.judge(before, 2, expect) == ([], "3:old")
    assert verdicts.judge(after, 3, expect) == ([], "3:new")

    half = before.copy()
    half[:3, 3] = after[:3, 3]
    assert [k for k, _ in verdicts.judge(half, 2, expect)[0]] == ["torn"]
    assert [k for k, _ in verdicts.judge(after, 2, expect)[0]] == ["torn"]      # cells new, cursor old
    assert [k for k, _ in verdicts.judge(before, 3, expect)[0]] == ["cursor-past"]
    assert [k for k, _ in verdicts.judge(after, 3, expect, unreadable={3})[0]] == ["torn", "cursor-past"]

    lost = after.copy()
    lost[0, 1] = 99.0
    nobody = after.copy()
    nobody[0, 6] = 1.0
    assert [k for k, _ in verdicts.judge(lost, 3, expect)[0]] == ["lost"]
    assert [k for k, _ in verdicts.judge(nobody, 3, expect)[0]] == ["unwritten-changed"]

    # Once the call returned, the old state is a lost date.
    assert {k for k, _ in verdicts.judge(before, 2, history.expectation(1, None))[0]} == {"lost"}


def test_growth_in_flight_is_compared_on_the_common_region():
    before = matrix([1], rows=4, width=5)
    grown = np.full((9, 10), np.nan)
    grown[:4, :5] = before
    grown[:, 7] = np.arange(9.0)
    history = verdicts.FileHistory([(before, 1), (grown, 7)], {}, {1: [7]}, [1])
    expect = history.expectation(0, 1)
    grown_only = grown.copy()
    grown_only[:, 7] = np.nan
    assert verdicts.judge(grown_only, 1, expect) == ([], "7:old")
    assert verdicts.judge(grown, 7, expect) == ([], "7:new")
    odd_shape = np.full((9, 5), np.nan)
    odd_shape[:4] = before
    assert [k for k, _ in verdicts.judge(odd_shape, 1, expect)[0]] == ["torn"]
    # Rows past every state's: values there were written by nobody.
    taller = np.full((12, 10), np.nan)
    taller[:9] = grown
    taller[11, 2] = 5.0
    problems = verdicts.judge(taller, 7, expect)[0]
    assert problems == [("unwritten-changed", "column 2 holds values below row 9"),
                        ("torn", "shape (12, 10) is none of [(4, 5), (9, 10)]")]
    assert verdicts.spans([8, 0, 1, 2, 5, 7]) == "0-2, 5, 7-8"


def test_a_batch_commits_a_prefix_of_its_dates():
    states = [matrix([0])]
    for j in (1, 2, 3):
        nxt = states[-1].copy()
        nxt[:, j] = np.full(6, float(j))
        states.append(nxt)
    history = verdicts.FileHistory([(states[0], 0), (states[3], 3)], {1: [(states[1], 1), (states[2], 2)]},
                                   {1: [1, 2, 3]}, [0])
    expect = history.expectation(0, 1)
    for done in range(4):
        assert verdicts.judge(states[done], done, expect)[0] == [], done
    gap = states[3].copy()
    gap[:, 2] = np.nan
    assert [k for k, _ in verdicts.judge(gap, 3, expect)[0]] == ["not-prefix", "cursor-past"]
    assert [k for k, _ in verdicts.judge(states[1], 3, expect)[0]] == ["cursor-past"]


def test_a_batch_commits_whole_bands_of_its_dates():
    states = [matrix([0])]
    for j in (1, 2, 3):
        nxt = states[-1].copy()
        nxt[:, j] = np.full(6, float(j))
        states.append(nxt)
    # Dates 1 and 2 share a band, 3 opens the next.
    history = verdicts.FileHistory([(states[0], 0), (states[3], 3)], {1: [(states[1], 1), (states[2], 2)]},
                                   {1: [1, 2, 3]}, [0], band_ends={1: [0, 2, 3]})
    expect = json.loads(json.dumps(history.expectation(0, 1)))
    for done in (0, 2, 3):
        assert verdicts.judge(states[done], done, expect)[0] == [], done
    assert [k for k, _ in verdicts.judge(states[1], 1, expect)[0]] == ["split-band"]
    # Once the batch returned, no prefix is left to judge.
    assert verdicts.judge(states[3], 3, history.expectation(1, None))[0] == []


def test_a_scenario_that_cannot_show_what_it_claims_is_refused(tmp_path):
    import h5py

    # A column written with the values it held: old and new look alike.
    before = matrix([1, 2])
    same = verdicts.FileHistory([(before, 2), (before.copy(), 2)], {}, {1: [2]}, [1, 2])
    assert same.unchanged_writes() == {1: [2]}
    # A batch said to open a new band that stays in one chunk column.
    prepared = tmp_path / "prepared"
    prepared.mkdir()
    with h5py.File(prepared / "f.h5", "w") as f:
        f.create_dataset("data", shape=(320, 250), chunks=(40, 63), dtype="f8")
    steps = [{"op": "packs", "file": "f.h5", "columns": [30, 31, 32]}]
    one_band = scenarios.Scenario("one-band", "", {}, steps, bands=2)
    with pytest.raises(RuntimeError, match="spans 1 band"):
        scenarios._band_ends(one_band, "f.h5", str(prepared))
    steps[0]["columns"] = [61, 62, 63]
    assert scenarios._band_ends(one_band, "f.h5", str(prepared)) == {1: [0, 2, 3]}


def test_the_next_write_is_held_to_an_uncrashed_one(detail, market, tmp_path):
    from crash_states import writer

    calendar, listed, columns = scenarios.CALENDAR[:12], 5, [3, 4, 5, 6]
    market.set_calendar(calendar)
    market.set_instruments({f"I{i}": i for i in range(listed)})
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, (6, 12)) as h5:
        detail.put_factor_packs(h5, writer.packs("f.h5", range(5), calendar, listed))
    found = (h5_matrix(path), None, 4)
    shutil.copy(path, tmp_path / "reference.h5")
    with detail.get_h5(str(tmp_path / "reference.h5"), True) as h5:
        detail.put_factor_packs(h5, writer.packs("f.h5", columns, calendar, listed, round=1))
    history = verdicts.FileHistory([(found[0], 4), (h5_matrix(str(tmp_path / "reference.h5")), 6)], {},
                                   {1: columns}, range(5), write_again={"call": 1, "columns": columns, "round": 1})
    again = json.loads(json.dumps(history.write_again))

    def check(again=again, found=found):
        shutil.copy(path, tmp_path / "state.h5")  # a crash state that kept none of the batch
        return [d for k, d in checking.check_next_write(str(tmp_path / "state.h5"), "f.h5", again, found, 6,
                                                        calendar, listed) if k == "next-write"]

    assert check() == []
    assert [d[:30] for d in check(again={**again, "round": 2})] == ["written again, column(s) 3-6 d"]
    other = found[0].copy()
    other[0, 1] += 1.0
    assert check(found=(other, None, 4)) == ["writing the batch again changed column(s) 1"]
    assert check(found=(found[0], None, 9)) == ["written again, cursor_col is 6, not 9"]


def test_a_history_must_hold_exactly_the_commits_its_file_holds(detail, market, tmp_path):
    from crash_states import history_check, writer

    calendar, listed = scenarios.CALENDAR[:12], 5
    market.set_calendar(calendar)
    market.set_instruments({f"I{i}": i for i in range(listed)})
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, (6, 12)) as h5:
        detail.put_factor_packs(h5, writer.packs("f.h5", range(3), calendar, listed))
        detail._enable_history(h5)
    shutil.copy(path, tmp_path / "before.h5")
    shutil.copy(path + ".history", tmp_path / "before.h5.history")
    with detail.get_h5(path, True) as h5:
        detail.put_factor_packs(h5, writer.packs("f.h5", [1, 5], calendar, listed, round=1))
    snapshots = [(h5_matrix(str(tmp_path / "before.h5")), 2), (h5_matrix(path), 5)]
    history = verdicts.FileHistory(snapshots, {}, {1: [1, 5]}, range(3))
    summaries = [verdicts.summarize(m, c, history.rows) for m, c in snapshots]
    history = verdicts.FileHistory(snapshots, {}, {1: [1, 5]}, range(3), history={
        "chain": history_check.chain_of(summaries, [1, 2], "s", "f.h5"), "counts": [1, 2]})
    expectation = json.loads(json.dumps(history.expectation(0, 1)))

    def faults(data, history_of):
        state = tmp_path / "state.h5"
        shutil.copy(data, state)
        shutil.copy(history_of + ".history", str(state) + ".history")
        return [d for _, d in history_check.history_faults(str(state), h5_matrix(str(state)),
                                                                5 if data == path else 2, expectation)]

    before = str(tmp_path / "before.h5")
    assert faults(path, path) == [] and faults(before, before) == []
    assert faults(before, path) == ["the file is not the state its 2 records describe"]  # a record of an undone write
    assert faults(path, before) == ["the file is not the state its 1 records describe"]  # a commit without its record
    with open(path + ".history", "ab") as f:
        f.write(b"QRBC")
    assert faults(path, path) == ["4 bytes past the history's last whole record"]
    with pytest.raises(RuntimeError, match="without a history record"):
        history_check.chain_of(summaries, [1, 1], "s", "f.h5")


def h5_matrix(path):
    import h5py

    with h5py.File(path, "r", locking=False) as f:
        return f["data"][...]


def test_files_that_may_and_must_not_be_there():
    empty = np.full((4, 5), np.nan)
    created = verdicts.FileHistory([None, (empty, None)], {}, {}, [])
    assert verdicts.judge(None, None, created.expectation(0, 1)) == ([], "absent")
    assert verdicts.judge(empty, None, created.expectation(0, 1))[0] == []
    assert [k for k, _ in verdicts.judge(None, None, created.expectation(1, None))[0]] == ["missing"]
    assert [k for k, _ in verdicts.judge(empty[:, :3], None, created.expectation(0, 1))[0]] == ["torn"]
    removed = verdicts.FileHistory([(empty, None), None], {}, {}, [])
    assert [k for k, _ in verdicts.judge(empty, None, removed.expectation(1, None))[0]] == ["lost"]


# ---- checking a laid-out state through the engine ---------------------------

@pytest.fixture(scope="module")
def killed_date(tmp_path_factory):
    """A factor file whose writer was killed inside date 6 (dates 0-5
    committed), the journal it left, and h5py's reading of the file with
    dates 0-5 and with dates 0-6."""
    import h5py

    import quorbel.detail as detail
    from test_journal_identity import COLS, KILL_POINTS, ROWS, journal_of, write_dates

    base = tmp_path_factory.mktemp("killed-date")
    seeded = str(base / "seeded.h5")
    detail.create_new_factor_h5(seeded, (ROWS, COLS)).close()
    assert write_dates(seeded, 0, 5).returncode == 0
    outcomes = {}
    for name, last in (("before", 6), ("after", 7)):
        path = str(base / f"{name}.h5")
        shutil.copy(seeded, path)
        assert write_dates(path, 5, last).returncode == 0
        with h5py.File(path, "r") as f:
            outcomes[name] = (f["data"][...], int(f["data"].attrs["cursor_col"]))
    # The first kill inside date 6 that leaves its column half written.
    killed = str(base / "killed.h5")
    for kill_at in range(KILL_POINTS[0], KILL_POINTS[-1] + 1):
        shutil.copy(seeded, killed)
        assert write_dates(killed, 5, 7, kill_at=kill_at).returncode != 0
        with h5py.File(killed, "r") as f:
            column = f["data"][:, 6]
        if os.path.exists(journal_of(killed)) and 0 < np.isnan(column).sum() < ROWS:
            break
    else:
        pytest.fail("no kill of date 6's write left it half written")
    with open(killed, "rb") as f, open(journal_of(killed), "rb") as j:
        contents = {0: f.read(), 1: j.read()}
    st = os.stat(killed)
    rec = recording.Recording(str(base), {"f.h5": 0, ".f.h5.journal": 1}, {""}, contents, [], {
        0: recording.FileObject(0, -1, (st.st_dev, st.st_ino), ["f.h5"]),
        1: recording.FileObject(1, 0, None, [".f.h5.journal"])})
    history = verdicts.FileHistory([outcomes["before"], outcomes["after"]], {}, {1: [6]}, range(6))
    calendar = list(range(20200101, 20200101 + COLS))
    return rec, history, calendar, ROWS, outcomes


def check_killed(killed_date, scratch, targets="found", write_first=False, without_journals=False):
    rec, history, calendar, rows, _ = killed_date
    layout = crash_model.Layout(dict(rec.initial_names), dict(rec.initial_content), {""})
    find = (lambda s: checking.journal_targets(layout, rec, s)) if targets == "found" else (lambda s: targets)
    return checking.check_state(layout, find, {"f.h5": history.expectation(0, 1)}, str(scratch), write_first,
                                calendar, rows, without_journals)


@pytest.fixture
def engine_as_in_a_child(market, monkeypatch, killed_date):
    """What a checking child sets up, undone after the test."""
    _, _, calendar, rows, _ = killed_date
    market.set_calendar(calendar)
    market.set_instruments({f"I{i}": i for i in range(rows)})
    monkeypatch.setenv("QUORBEL_FILE_LOCKING", "on")


@needs_strace
def test_a_laid_out_state_gets_its_journal_and_is_judged(killed_date, engine_as_in_a_child, tmp_path):
    for number, write_first in enumerate((False, True)):
        verdict = check_killed(killed_date, tmp_path / f"state{number}", write_first=write_first)
        assert verdict["targets"] == {".f.h5.journal": "f.h5"}
        assert verdict["violations"] == [] and verdict["outcomes"] == {"f.h5": "6:old"}, verdict
    # A journal left naming the recorded inode is another file's to the
    # engine: not applied, it leaves the date half written. So does none.
    unnamed = check_killed(killed_date, tmp_path / "unnamed", targets={})
    assert "torn" in {v[0] for v in unnamed["violations"]}
    assert any("was not applied" in line for line in unnamed["log"]), unnamed["log"]
    dropped = check_killed(killed_date, tmp_path / "dropped", without_journals=True)
    assert dropped["journals_dropped"] == [".f.h5.journal"] and "torn" in {v[0] for v in dropped["violations"]}


@needs_strace
def test_a_reproduction_holds_everything_its_replay_needs(killed_date, engine_as_in_a_child, tmp_path):
    rec, history, calendar, rows, _ = killed_date
    scenario = scenarios.Scenario("killed", "a date killed half-way", {}, [{"op": "put", "file": "f.h5"}], listed=rows)
    run = scenarios.ScenarioRun(scenario, crash_model.CrashModel(rec), {"f.h5": history}, str(tmp_path))
    state = exploring.State(0, (0, 1), "none", (), True)
    for without_journals, kinds in ((False, set()), (True, {"torn"})):
        verdict = check_killed(killed_date, tmp_path / f"first{without_journals}", without_journals=without_journals)
        assert {v[0] for v in verdict["violations"]} >= kinds
        document = exploring.reproduction(run, "torn", state, verdict, without_journals)
        document["calendar"] = calendar  # the scenario's own calendar is not this writer's
        path = tmp_path / f"repro{without_journals}.json"
        path.write_text(json.dumps(document))
        layout, loaded = exploring.load_reproduction(str(path))
        again = exploring.replay_job(layout, loaded)(str(tmp_path / f"again{without_journals}"))
        assert again["violations"] == verdict["violations"] and again["outcomes"] == verdict["outcomes"]


def test_reproduction_files_that_cannot_be_replayed_are_refused(tmp_path):
    good = {"format": exploring.REPRO_FORMAT, "names": {"f.h5": 0}, "contents": {"0": "eJwDAAAAAAE="},
            "dirs": [""], "targets": {}, "expectations": {}, "calendar": [1], "listed": 1, "write_first": False}
    path = tmp_path / "repro.json"
    path.write_text(json.dumps(good))
    layout, _ = exploring.load_reproduction(str(path))
    assert layout.contents == {0: b""}
    for change, expected in [
        (lambda d: "{not json", "not JSON"),
        (lambda d: {**d, "format": "other"}, "format is not"),
        (lambda d: {k: v for k, v in d.items() if k != "targets"}, "lacks \\['targets'\\]"),
        (lambda d: {**d, "contents": {"0": "%%%"}}, "damaged file contents"),
        (lambda d: {**d, "names": {"f.h5": 3}}, "refer to contents"),
    ]:
        changed = change(good)
        path.write_text(changed if isinstance(changed, str) else json.dumps(changed))
        with pytest.raises(ValueError, match=expected) as caught:
            exploring.load_reproduction(str(path))
        assert str(path) in str(caught.value)


def test_the_fork_pool_reports_every_child_even_one_that_dies(monkeypatch):
    monkeypatch.setattr(checking, "CHECK_SECONDS", 2)
    pool = checking.ForkPool(2)
    jobs = [
        ("fresh scratch", lambda scratch: {"empty": os.listdir(scratch) == []}),
        ("raises", lambda scratch: 1 / 0),
        ("killed", lambda scratch: os.kill(os.getpid(), signal.SIGKILL)),
        ("hangs", lambda scratch: time.sleep(600)),
    ]
    try:
        results = dict(pool.run(jobs))
    finally:
        pool.close()
    assert results["fresh scratch"] == {"empty": True}
    assert "ZeroDivisionError" in results["raises"]["error"]
    assert results["killed"]["violations"][0][0] == "crash"
    assert results["hangs"]["violations"][0][0] == "hang"
    assert not os.path.exists(pool.base)


def test_states_that_look_alike_are_checked_once_in_their_simplest_form():
    model = model_of([Op("write", file=0, offset=0, data=b"AB"), Op("sync", file=0),
                      Op("write", file=0, offset=2, data=b"CD")])
    states = exploring.distinct_states(model, torn=False)
    # After the sync, and at the end with "CD" lost, the file is what it was
    # before the sync with nothing lost.
    assert [(s.point, s.lost) for s in states] == [(1, ()), (1, (0,)), (3, ())]
    assert exploring.sample(states, 2, seed=1) == exploring.sample(states, 2, seed=1)
    assert len(exploring.sample(states, 2, seed=1)) == 2 and exploring.sample(states, None, 0) == states


# ---- the quick pass ---------------------------------------------------------

def explorer(*args, timeout=900):
    import quorbel

    env = dict(os.environ)
    engine = os.path.dirname(os.path.dirname(os.path.abspath(quorbel.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (engine, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, os.path.join(TOOLS, "crash_explorer.py"), *args], capture_output=True,
                          text=True, timeout=timeout, env=env)


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("crash-explorer")
    done = explorer("--quick", "--out", str(out), "--workers", "2")
    summary_path = out / "summary.json"
    assert summary_path.exists(), done.stderr[-3000:]
    return done, json.loads(summary_path.read_text()), out


@needs_strace
def test_quick_pass_finds_no_violation_and_is_live(quick_run):
    done, summary, _ = quick_run
    assert summary["errors"] == 0, done.stdout
    assert summary["states"] >= 300, summary
    # The journals must matter: without them the same states break.
    assert summary["liveness"]["held"], summary["liveness"]
    assert summary["violations"] == 0, done.stdout
    assert done.returncode == 0


@needs_strace
def test_a_reproduction_replays_alone(quick_run, tmp_path):
    _, summary, out = quick_run
    reproductions = summary["liveness"]["reproductions"]
    assert reproductions, "the liveness recheck found violations but wrote no reproduction"
    kind, path = sorted(reproductions.items())[0]
    moved = tmp_path / "alone.json"  # nothing of the run is needed any more
    shutil.copy(path, moved)
    replayed = explorer("--replay", str(moved), timeout=300)
    assert replayed.returncode == 1, replayed.stdout + replayed.stderr
    assert f"VIOLATION {kind}" in replayed.stdout

    damaged = json.loads(moved.read_text())
    damaged["contents"] = {k: "not base64 of anything" for k in damaged["contents"]}
    moved.write_text(json.dumps(damaged))
    refused = explorer("--replay", str(moved), timeout=300)
    assert refused.returncode == 2 and str(moved) in refused.stderr and "damaged" in refused.stderr
