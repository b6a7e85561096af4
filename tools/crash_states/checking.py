"""Checking crash states: each one laid out in a fresh scratch directory and
opened by the engine in a forked child.

The parent has imported numpy, h5py and the engine; between calls the engine
holds no open file and no thread, so a forked child starts as clean as a new
process, without paying for the imports. In the child the state's journals
are made to name the scratch files that stand for the files they were
written for (through the engine's own journal tools: the journal's format
stays the engine's business), the file is opened read-only first or
read-write first, everything is read through the engine and through h5py,
and the result is judged against what the reference run allows.
"""

import json
import logging
import os
import shutil
import signal
import tempfile
import traceback

import numpy as np

from .history_check import history_faults
from .sync_classes import role
from .verdicts import column_digests, judge, spans
from .writer import packs

CHECK_SECONDS = 120  # a child still running after this is reported as hung


def lay_out(names, contents, dirs, scratch):
    """Writes a state's files under `scratch`; names of one file become hard links."""
    for directory in sorted(dirs):
        os.makedirs(os.path.join(scratch, directory), exist_ok=True)
    first = {}
    for name in sorted(names):
        ident, path = names[name], os.path.join(scratch, name)
        if ident in first:
            os.link(first[ident], path)
            continue
        with open(path, "wb") as f:
            f.write(contents[ident])
        first[ident] = path


def journal_targets(layout, recording, scratch):
    """{journal name: name of the file it must name in the scratch tree, or
    None}: for every file of the state that is one of the engine's journals,
    the file object it was written for, if the state holds that file."""
    from quorbel import _extras

    targets = {}
    for name, ident in sorted(layout.names.items()):
        named = _extras._journal_written_for(os.path.join(scratch, name))
        if named is None:
            continue
        target = recording.file_for_inode(named[0], named[1], recording.files[ident].born)
        holders = sorted(n for n, i in layout.names.items() if i == target)
        targets[name] = holders[0] if holders else None
    return targets


def retarget(targets, scratch):
    from quorbel import _extras

    for journal, target in targets.items():
        if target is not None and not _extras._retarget_journal(os.path.join(scratch, journal),
                                                                os.path.join(scratch, target)):
            raise RuntimeError(f"the journal {journal} could not be made to name {target}")


def drop_journals(scratch):
    """Deletes every live journal of the state: what the checks find then is
    what the journals prevent."""
    dropped = []
    for directory, _, files in os.walk(scratch):
        for name in files:
            if role(name) == "journal":
                os.remove(os.path.join(directory, name))
                dropped.append(name)
    return dropped


class _Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.messages = []

    def emit(self, record):
        self.messages.append(f"{record.levelname}: {record.getMessage()}")


def read_cells(data):
    """(matrix, mask of unreadable cells or None) of a dataset: read whole,
    else chunk by chunk, so that a damaged chunk names the cells it holds."""
    try:
        return np.asarray(data[...], dtype=float), None
    except Exception:  # noqa: BLE001 - which cells fail is the finding
        rows, columns = data.shape
        chunk_rows, chunk_columns = data.chunks
        matrix, unreadable = np.full((rows, columns), np.nan), np.zeros((rows, columns), bool)
        for r in range(0, rows, chunk_rows):
            for c in range(0, columns, chunk_columns):
                block = (slice(r, min(rows, r + chunk_rows)), slice(c, min(columns, c + chunk_columns)))
                try:
                    matrix[block] = data[block]
                except Exception:  # noqa: BLE001
                    unreadable[block] = True
        return matrix, unreadable


def _columns_of(unreadable):
    return set() if unreadable is None else {int(j) for j in np.nonzero(unreadable.any(axis=0))[0]}


def read_with_engine(path, write_first, calendar, listed):
    """(matrix, unreadable columns, cursor, rows of the row stream or None) as
    the engine reads them; None when the engine finds no file."""
    import quorbel.detail as detail

    # Without the retry wrapper: a file that does not open fails the same way
    # five times, a second apart.
    opener = getattr(detail.get_h5, "__wrapped__", detail.get_h5)
    h5 = opener(path, True) if write_first else opener(path, False, 0)
    if h5 is None:
        return None
    try:
        data = h5["data"]
        cursor = int(data.attrs["cursor_col"]) if "cursor_col" in data.attrs else None
        matrix, unreadable = read_cells(data)
        ids = [f"I{i}" for i in range(listed)]
        try:
            rows = {oid: np.asarray(row, dtype=float)
                    for oid, row in detail.get_factor_value(h5, ids, calendar[0], calendar[-1])}
        except Exception:  # noqa: BLE001 - compared below
            rows = None
    finally:
        h5.close()
    return matrix, unreadable, cursor, rows


def read_with_h5py(path):
    import h5py

    with h5py.File(path, "r", locking=False) as f:
        data = f["data"]
        cursor = int(data.attrs["cursor_col"]) if "cursor_col" in data.attrs else None
        matrix, unreadable = read_cells(data)
        return matrix, unreadable, cursor


def _same(a, b):
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def check_file(scratch, name, expectation, write_first, calendar, listed):
    """Violations of one factor file of a laid-out state, and what it held."""
    path = os.path.join(scratch, name)
    journal = os.path.join(os.path.dirname(path), f".{os.path.basename(name)}.journal")
    if not os.path.lexists(path):
        return judge(None, None, expectation)
    try:
        read = read_with_engine(path, write_first, calendar, listed)
    except Exception as error:  # noqa: BLE001 - every failure to open is the finding
        must_exist = all(s["exists"] for s in expectation["acceptable"])
        detail = f"the engine cannot open it: {type(error).__name__}: {str(error)[:300]}"
        return [("missing", detail if must_exist else "a half-made file at the path: " + detail)], "unopenable"
    if read is None:
        return judge(None, None, expectation)
    matrix, unreadable, cursor, rows = read
    problems = []
    if os.path.lexists(journal):
        problems.append(("journal-left", f"{os.path.basename(journal)} is still there after the open"))
    try:
        other, other_unreadable, other_cursor = read_with_h5py(path)
        same_damage = (unreadable is None and other_unreadable is None) or (
            unreadable is not None and other_unreadable is not None and np.array_equal(unreadable, other_unreadable))
        if not _same(matrix, other) or not same_damage or cursor != other_cursor:
            problems.append(("disagree", f"h5py reads shape {other.shape}, cursor_col {other_cursor}, unreadable "
                                         f"columns {sorted(_columns_of(other_unreadable))}; the engine shape "
                                         f"{matrix.shape}, cursor_col {cursor}, unreadable columns "
                                         f"{sorted(_columns_of(unreadable))}"))
    except Exception as error:  # noqa: BLE001
        problems.append(("disagree", f"h5py cannot open what the engine read: {str(error)[:200]}"))
    if rows is None and unreadable is None:
        problems.append(("disagree", "the row stream fails where a whole read does not"))
    elif rows:
        indices = [int(oid[1:]) for oid in rows]
        streamed = np.array(list(rows.values()))
        if streamed.ndim != 2:
            problems.append(("disagree", "the row stream's rows differ in length"))
        else:
            width = streamed.shape[1]
            expected = matrix[indices, :width]
            if unreadable is not None:  # compared where the whole read could read
                damaged = unreadable[indices, :width]
                streamed, expected = np.where(damaged, 0.0, streamed), np.where(damaged, 0.0, expected)
            if not _same(streamed, expected):
                problems.append(("disagree", "the row stream differs from the matrix"))
    found, outcome = judge(matrix, cursor, expectation, _columns_of(unreadable))
    if unreadable is None:
        found += history_faults(path, matrix, cursor, expectation)
    again = expectation.get("write_again")
    if again:
        found += check_next_write(path, name, again, (matrix, unreadable, cursor), expectation["rows"], calendar,
                                  listed)
    return problems + found, outcome


def check_next_write(path, name, again, found, rows, calendar, listed):
    """Violations once the batch `again` (see FileHistory) is written into the
    file as it was found: the batch's columns must hold what an uncrashed
    write left, every other column what was found, and cursor_col must reach
    the batch's last column."""
    import quorbel.detail as detail

    matrix, unreadable, cursor = found
    columns = again["columns"]
    opener = getattr(detail.get_h5, "__wrapped__", detail.get_h5)
    try:
        h5 = opener(path, True)
        try:
            detail.put_factor_packs(h5, packs(name, columns, calendar, listed, again["round"]))
        finally:
            h5.close()
        h5 = opener(path, False, 0)
        try:
            data = h5["data"]
            written_cursor = int(data.attrs["cursor_col"]) if "cursor_col" in data.attrs else None
            written, _ = read_cells(data)
        finally:
            h5.close()
    except Exception as error:  # noqa: BLE001 - a file that takes no write is the finding
        return [("next-write", f"writing the batch again fails: {type(error).__name__}: {str(error)[:300]}")]
    problems = []
    digests = column_digests(written, rows)
    wrong = [j for j, want in zip(columns, again["digests"]) if j >= len(digests) or digests[j] != want]
    if wrong:
        problems.append(("next-write", f"written again, column(s) {spans(wrong)} differ from an uncrashed write"))
    if written.shape != matrix.shape:
        problems.append(("next-write", f"writing the batch again changed the shape {matrix.shape} to "
                                       f"{written.shape}"))
    else:
        skip = set(columns) | _columns_of(unreadable)
        changed = [j for j in range(matrix.shape[1])
                   if j not in skip and not np.array_equal(matrix[:, j], written[:, j], equal_nan=True)]
        if changed:
            problems.append(("next-write", f"writing the batch again changed column(s) {spans(changed)}"))
    want = max(-1 if cursor is None else cursor, max(columns))
    if written_cursor != want:
        problems.append(("next-write", f"written again, cursor_col is {written_cursor}, not {want}"))
    return problems


def check_state(layout, find_targets, expectations, scratch, write_first, calendar, listed, without_journals=False):
    """Lays out a state and checks every factor file; runs in the child.

    Parameters
    ----------
    layout : crash_model.Layout
    find_targets : callable
        ``find_targets(scratch)`` gives ``{journal: file it must name}`` once
        the files are laid out (see journal_targets).
    expectations : dict
        ``{factor file: FileHistory.expectation(...)}``.
    write_first : bool
        Open read-write first (else read-only first).
    without_journals : bool
        Delete the state's journals before the engine sees them.

    Returns
    -------
    dict
        ``violations`` ([kind, file, detail] lists), ``outcomes`` per file,
        ``targets``, ``log`` (the engine's log records) and ``journals_dropped``.
    """
    os.environ["QUORBEL_FILE_LOCKING"] = "on"
    collect = _Collect()
    root = logging.getLogger()
    level = root.level
    root.addHandler(collect)
    root.setLevel(logging.INFO)
    try:
        lay_out(layout.names, layout.contents, layout.dirs, scratch)
        targets = find_targets(scratch)
        retarget(targets, scratch)
        dropped = drop_journals(scratch) if without_journals else []
        verdict = {"violations": [], "outcomes": {}, "journals_dropped": dropped, "targets": targets}
        for name, expectation in expectations.items():
            found, outcome = check_file(scratch, name, expectation, write_first, calendar, listed)
            verdict["violations"] += [[kind, name, detail] for kind, detail in found]
            verdict["outcomes"][name] = outcome
    finally:
        root.removeHandler(collect)
        root.setLevel(level)
    verdict["log"] = collect.messages[:20]
    return verdict


class ForkPool:
    """Runs functions in forked children, `workers` at a time.

    Each function gets a fresh scratch directory and returns a JSON-able
    dict; a child that dies or overruns CHECK_SECONDS gets a verdict naming
    that instead.
    """

    def __init__(self, workers, base=None):
        self.workers = max(1, workers)
        self.base = tempfile.mkdtemp(prefix="quorbel-crash-states-", dir=base)
        self.running = {}

    def close(self):
        while self.running:
            self._reap()
        shutil.rmtree(self.base, ignore_errors=True)

    def run(self, jobs):
        """Yields (key, result) for every (key, function) of `jobs`, in the
        order the children finish."""
        for key, function in jobs:
            while len(self.running) >= self.workers:
                yield self._reap()
            scratch = tempfile.mkdtemp(dir=self.base)
            pid = os.fork()
            if pid == 0:
                self._child(function, scratch)
            self.running[pid] = (key, scratch)
        while self.running:
            yield self._reap()

    @staticmethod
    def _child(function, scratch):
        status = 0
        try:
            signal.alarm(CHECK_SECONDS)
            result = function(scratch)
            with open(scratch + ".verdict", "w") as f:
                json.dump(result, f)
        except BaseException:  # noqa: BLE001 - the parent reports it
            try:
                with open(scratch + ".verdict", "w") as f:
                    json.dump({"error": traceback.format_exc()}, f)
            finally:
                status = 3
        finally:
            os._exit(status)

    def _reap(self):
        pid, status = os.waitpid(-1, 0)
        while pid not in self.running:  # not one of ours
            pid, status = os.waitpid(-1, 0)
        key, scratch = self.running.pop(pid)
        verdict_path = scratch + ".verdict"
        result = None
        if os.path.exists(verdict_path):
            with open(verdict_path) as f:
                result = json.load(f)
            os.remove(verdict_path)
        if os.WIFSIGNALED(status):
            kind = "hang" if os.WTERMSIG(status) == signal.SIGALRM else "crash"
            result = {"violations": [[kind, "", f"the checking child ended by signal {os.WTERMSIG(status)}"]],
                      "outcomes": {}}
        elif result is None:
            result = {"error": f"the checking child exited with status {os.WEXITSTATUS(status)} and no verdict"}
        shutil.rmtree(scratch, ignore_errors=True)
        return key, result
