"""Kill a writer at every write system call and check what survives.

For each scenario a factor file is prepared with some dates already written.
A child process then writes one more date through the engine (or, in the
backfill scenario, a batch of 40 over two bands of chunk columns), and strace
kills it with SIGKILL at the N-th pwrite64 (or ftruncate; and fdatasync in
the scenarios with history) for every N the write makes. After each kill the
file is opened through get_h5 (which undoes an unfinished write) and checked:

- every date written before the kill reads back bit for bit;
- the date in flight is either wholly old or wholly new;
- a batch's new dates are a prefix of it that ends where a band ends, and
  writing the batch again then gives what an unkilled write gives;
- cursor_col never points past the data;
- in the scenarios with history, the history holds one record per commit the
  file holds and none for a commit it does not: undoing the new records,
  newest first, gives back the file before the write, cell for cell.

    python3 tools/killpoint_sweep.py            # every kill point
    python3 tools/killpoint_sweep.py --every 7  # a sample
    python3 tools/killpoint_sweep.py --scenarios backfill --batch-trials 0
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

# The history is decoded with the tests' reader, written from the documented format.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import history_reader  # noqa: E402

ROWS = 300          # listed instruments
DATES = 400         # trading dates in the injected calendar
CALENDAR = list(range(20100101, 20100101 + DATES))

# The engine as a child process sees it: a fixed calendar and instrument index.
CHILD_SETUP = textwrap.dedent(
    """
    import json, sys, types
    import numpy as np
    import quorbel.detail as d
    job = json.loads(sys.argv[1])
    d.get_all_trading_dates = lambda: job["calendar"]
    d._get_all_instrument_index = lambda: {f"I{i}": i for i in range(job["listed"])}
    """
)

WRITE_ONE_DATE = CHILD_SETUP + textwrap.dedent(
    """
    values = np.load(job["values"])
    h5 = d.get_h5(job["path"], True)
    d.put_factor_value(h5, job["date"], [types.SimpleNamespace(order_book_id=f"I{i}", value=float(v))
                                          for i, v in enumerate(values)])
    h5.close()
    """
)

# Opening through get_h5 undoes what a killed writer left half done (the
# history's record included); the history is copied as the open left it.
READ_BODY = textwrap.dedent(
    """
    import os, shutil
    h5 = d.get_h5(job["path"], read_wait=0)
    data = h5["data"]
    matrix = data[...]
    cursor = int(data.attrs["cursor_col"]) if "cursor_col" in data.attrs else -1
    chunks = list(data.chunks)
    h5.close()
    if os.path.exists(job["path"] + ".history"):
        shutil.copyfile(job["path"] + ".history", job["out"] + ".history")
    np.save(job["out"], matrix)
    print(json.dumps({"cursor": cursor, "chunks": chunks}))
    """
)
READ_BACK = CHILD_SETUP + READ_BODY

# The batch's values differ from those the prepared dates hold (seeded by
# column alone), so that an overwritten date is told old from new.
WRITE_BATCH = CHILD_SETUP + textwrap.dedent(
    """
    h5 = d.get_h5(job["path"], True)
    packs = [types.SimpleNamespace(date=job["calendar"][c], values=[
                types.SimpleNamespace(order_book_id=f"I{i}", value=float(v))
                for i, v in enumerate(np.random.default_rng(1000 + c).normal(size=job["listed"]))])
             for c in job["columns"]]
    d.put_factor_packs(h5, packs)
    h5.close()
    """
)

# After a kill: what recovery leaves, then the whole batch written again and
# what that leaves (one child for both, as interpreters are slow to start).
READ_THEN_WRITE_AGAIN = CHILD_SETUP + READ_BODY + WRITE_BATCH[len(CHILD_SETUP):] + READ_BODY.replace(
    'job["out"]', 'job["out_again"]')


KILLED_SYSCALLS = ("pwrite64", "ftruncate")
# A history's record is appended by the last pwrite64 of a commit; only the
# syncs after it show a kill between the record and the commit.
HISTORY_SYSCALLS = KILLED_SYSCALLS + ("fdatasync",)


def run_child(code, job, strace=None, timeout=120):
    command = [sys.executable, "-c", code, json.dumps(job)]
    if strace:
        command = ["strace", "-f", "-qq", "-o", os.devnull, *strace, *command]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


def values_for(seed, listed):
    rng = np.random.default_rng(seed)
    return rng.normal(size=listed)


class Scenario:
    """A prepared file, the date to write into it, and what that date holds."""

    write_code = WRITE_ONE_DATE

    def __init__(self, name, workdir, written, date_column, listed=ROWS, shape=(ROWS + 20, 250), history=False):
        self.name = name
        self.workdir = workdir
        self.date_column = date_column
        self.listed = listed
        self.history = history
        self.syscalls = HISTORY_SYSCALLS if history else KILLED_SYSCALLS
        self.base = os.path.join(workdir, f"{name}.h5")
        self.values_path = os.path.join(workdir, f"{name}.npy")
        np.save(self.values_path, values_for(date_column, listed))
        prepare = CHILD_SETUP + textwrap.dedent(
            """
            h5 = d.create_new_factor_h5(job["path"], tuple(job["shape"]))
            packs = [types.SimpleNamespace(date=job["calendar"][c], values=[
                        types.SimpleNamespace(order_book_id=f"I{i}", value=float(v))
                        for i, v in enumerate(np.random.default_rng(c).normal(size=job["listed"]))])
                     for c in job["written"]]
            d.put_factor_packs(h5, packs)
            if job["history"]:
                d._enable_history(h5)
                d._put_factor_block(h5, [job["calendar"][job["written"][0]]], ["I0"], np.array([[-1.0]]))
            h5.close()
            """
        )
        job = {"calendar": CALENDAR, "listed": min(listed, shape[0]), "path": self.base, "shape": list(shape),
                "written": written, "history": history}
        done = run_child(prepare, job)
        if done.returncode != 0:
            raise RuntimeError(f"preparing {name} failed:\n{done.stderr}")
        self.before, report = self.read_report(self.base)
        self.cursor_before, self.chunks = report["cursor"], report["chunks"]
        self.records_before = len(history_reader.read_history(self.base + ".history").records) if history else 0
        self.calls = None  # {syscall: count} of an unkilled write

    def job(self, path):
        return {"calendar": CALENDAR, "listed": self.listed, "path": path, "date": CALENDAR[self.date_column],
                "values": self.values_path}

    def read(self, path):
        matrix, report = self.read_report(path)
        return matrix, report["cursor"]


    def read_report(self, path):
        """(matrix, {"cursor": cursor_col or -1, "chunks": chunk shape}) as get_h5 reads them."""
        out = path + ".read.npy"
        done = run_child(READ_BACK, {"calendar": CALENDAR, "listed": self.listed, "path": path, "out": out})
        if done.returncode != 0:
            raise RuntimeError(f"reading {path} failed:\n{done.stderr}")
        matrix = np.load(out)
        os.remove(out)
        return matrix, json.loads(done.stdout)

    def copy_base(self, path):
        """The prepared file (and its history) at `path`, nothing else of an earlier run beside it."""
        journal = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.journal")
        for stale in (path, path + ".history", path + ".read.npy.history", journal):
            if os.path.exists(stale):
                os.remove(stale)
        shutil.copy(self.base, path)
        if self.history:
            shutil.copy(self.base + ".history", path + ".history")

    def history_fault(self, history_path, matrix, cursor, outcome):
        """What is wrong with the history a kill left (read from `history_path`,
        as the open after the kill left it) for a file found `outcome`; None
        when its new records are exactly the commits the file holds."""
        if not self.history:
            return None
        try:
            history = history_reader.read_history(history_path)
        except (OSError, ValueError) as error:
            return f"the history cannot be read: {error}"
        if history.end != history.size:
            return f"{history.size - history.end} bytes past the history's last whole record"
        if [r.seq for r in history.records] != list(range(1, len(history.records) + 1)):
            return "the history's sequence numbers are not 1, 2, 3, ..."
        new = history.records[self.records_before:]
        wanted = {"old": 0, "new": self.records_after - self.records_before}.get(outcome)
        if len(history.records) < self.records_before or (wanted is not None and len(new) != wanted):
            return (f"{len(history.records) - self.records_before} new record(s) for a file found {outcome} "
                    f"(an unkilled write adds {self.records_after - self.records_before})")
        rebuilt = np.array(matrix, dtype=float)
        try:
            for record in reversed(new):
                cursor = history_reader.undo(rebuilt, record)
        except ValueError as error:
            return f"the new records cannot be undone: {error}"
        rows, cols = self.before.shape
        if not (np.array_equal(rebuilt[:rows, :cols], self.before, equal_nan=True)
                and np.isnan(rebuilt[rows:]).all() and np.isnan(rebuilt[:, cols:]).all()):
            return "undoing the new records does not give back the file before the write"
        if cursor != self.cursor_before:
            return f"undoing the new records gives cursor_col {cursor}, not {self.cursor_before}"
        return None

    def count_writes(self, syscall):
        """Calls of `syscall` an unkilled write makes; the first call runs
        the write (counting every syscall a kill may target) and reads what
        it leaves into self.after and self.cursor_after."""
        if self.calls is None:
            path = os.path.join(self.workdir, f"{self.name}-count.h5")
            self.copy_base(path)
            log = path + ".strace"
            command = ["strace", "-f", "-qq", "-e", f"trace={','.join(HISTORY_SYSCALLS)}", "-o", log,
                       sys.executable, "-c", self.write_code, json.dumps(self.job(path))]
            done = subprocess.run(command, capture_output=True, text=True, timeout=120)
            if done.returncode != 0:
                raise RuntimeError(f"the write itself failed:\n{done.stderr}")
            with open(log) as f:
                lines = f.read().splitlines()
            self.calls = {name: sum(1 for line in lines if f" {name}(" in line) for name in HISTORY_SYSCALLS}
            self.after, self.cursor_after = self.read(path)
            if self.history:
                self.records_after = len(history_reader.read_history(path + ".history").records)
                if self.records_after == self.records_before:
                    raise RuntimeError(f"{self.name}: the write left no history record")
        return self.calls[syscall]

    def kill_at(self, syscall, n, keep_journal=True):
        """Kills the write at its n-th call of `syscall`; returns the outcome.
        keep_journal=False throws the undo journal away before the file is
        reopened, to show what the sweep finds without it."""
        path = os.path.join(self.workdir, f"{self.name}-kill.h5")
        self.copy_base(path)
        killed = run_child(self.write_code, self.job(path),
                           strace=["-e", f"inject={syscall}:signal=SIGKILL:when={n}"])
        journal = os.path.join(self.workdir, f".{self.name}-kill.h5.journal")
        if not keep_journal and os.path.exists(journal):
            os.remove(journal)
        return self.after_kill(path, killed.returncode)

    @staticmethod
    def sound(outcome):
        return outcome in ("old", "new")

    def after_kill(self, path, returncode):
        out = path + ".read.npy"
        try:
            matrix, cursor = self.read(path)
        except RuntimeError as error:
            return "unreadable", str(error).splitlines()[-1]
        outcome, detail = self.judge(matrix, cursor, returncode)
        fault = self.sound(outcome) and self.history_fault(out + ".history", matrix, cursor, outcome)
        return ("history", fault) if fault else (outcome, detail)

    def judge(self, matrix, cursor, returncode):
        column = self.date_column
        old, new = self.before, self.after
        if matrix.shape[1] <= column:
            matrix = np.pad(matrix, ((0, 0), (0, column + 1 - matrix.shape[1])), constant_values=np.nan)
        rows = min(old.shape[0], matrix.shape[0])
        others = np.ones(old.shape[1], dtype=bool)
        if column < old.shape[1]:
            others[column] = False
        if not np.array_equal(matrix[:rows, :old.shape[1]][:, others], old[:rows][:, others], equal_nan=True):
            return "lost", "an earlier date changed"
        in_flight = matrix[:new.shape[0], column]
        if np.array_equal(in_flight, new[:, column], equal_nan=True):
            state = "new"
        elif np.array_equal(in_flight[:old.shape[0]] if column < old.shape[1] else in_flight,
                            old[:, column][:len(in_flight)] if column < old.shape[1] else np.full_like(in_flight, np.nan),
                            equal_nan=True):
            state = "old"
        else:
            return "torn", "the date in flight is half written"
        if cursor > (self.cursor_after if state == "new" else self.cursor_before):
            return "cursor", f"cursor_col {cursor} points past the data"
        return state, "killed" if returncode == -9 else f"finished (exit {returncode})"


class BackfillScenario(Scenario):
    """A batch of dates over two bands of chunk columns (put_factor_packs),
    overwriting dates already written and adding new ones.

    A band is committed whole, so a kill must leave a prefix of the batch's
    dates, in batch order, that ends where a band does; the dates before the
    batch as they were; cursor_col at the last committed date. Writing the
    whole batch again must then give the file an unkilled write gives.
    """

    write_code = WRITE_BATCH

    def __init__(self, name, workdir, written, columns, history=False):
        self.columns = list(columns)
        super().__init__(name, workdir, written, date_column=self.columns[0], history=history)
        width = self.chunks[1]
        self.band_ends = [0] + [k + 1 for k, c in enumerate(self.columns)
                                if k + 1 == len(self.columns) or self.columns[k + 1] // width != c // width]
        if len(self.band_ends) < 3:
            raise RuntimeError(f"{name}: the batch {self.columns[0]}..{self.columns[-1]} lies in one chunk column "
                               f"of {width}; it must span two for a kill to land between bands")

    def job(self, path):
        return {"calendar": CALENDAR, "listed": self.listed, "path": path, "columns": self.columns}

    def count_writes(self, syscall):
        count = super().count_writes(syscall)
        alike = [c for c in self.columns if np.array_equal(self.before[:, c], self.after[:, c], equal_nan=True)]
        if alike or self.after.shape != self.before.shape:
            raise RuntimeError(f"{self.name}: the batch must change every date it writes and no shape; "
                               f"columns {alike} stayed as they were, shape {self.before.shape} -> {self.after.shape}")
        return count

    @staticmethod
    def sound(outcome):
        return outcome in ("old", "new") or outcome.startswith("prefix of ")

    def after_kill(self, path, returncode):
        out, out_again = path + ".read.npy", path + ".again.npy"
        for stale in (out, out_again):
            if os.path.exists(stale):
                os.remove(stale)
        done = run_child(READ_THEN_WRITE_AGAIN, {**self.job(path), "out": out, "out_again": out_again})
        reports = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
        failure = (done.stderr.strip().splitlines() or [f"exit {done.returncode}"])[-1]
        if not reports:
            return "unreadable", failure
        outcome, detail = self.judge(np.load(out), reports[0]["cursor"], returncode)
        if not self.sound(outcome):
            return outcome, detail
        fault = self.history_fault(out + ".history", np.load(out), reports[0]["cursor"], outcome)
        if fault:
            return "history", fault
        if done.returncode != 0 or len(reports) < 2:
            return "next-write", f"writing the batch again failed: {failure}"
        again, cursor = np.load(out_again), reports[1]["cursor"]
        if not np.array_equal(again, self.after, equal_nan=True) or cursor != self.cursor_after:
            return "next-write", (f"writing the batch again left other cells or cursor_col {cursor} "
                                  f"(an unkilled write leaves {self.cursor_after})")
        return outcome, detail

    def judge(self, matrix, cursor, returncode):
        outcome, detail = judge_batch(matrix, cursor, self.before, self.cursor_before, self.after, self.columns,
                                      self.band_ends)
        if detail is None:
            detail = "killed" if returncode == -9 else f"finished (exit {returncode})"
        return outcome, detail


def spans(columns):
    """Sorted column numbers as runs: [0, 1, 2, 5] -> "0-2, 5"."""
    runs = []
    for c in sorted(columns):
        if runs and c == runs[-1][1] + 1:
            runs[-1][1] = c
        else:
            runs.append([c, c])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def judge_batch(matrix, cursor, before, cursor_before, after, columns, band_ends):
    """What a killed batch left, as (outcome, detail).

    Outcomes: "old", "new" and "prefix of N dates" are sound (detail None);
    "torn", "lost", "not-prefix", "split-band" and "cursor" are faults.
    `band_ends` are the numbers of the batch's first dates after which one
    of its bands ends, 0 included: only those prefixes may be committed.
    """
    if matrix.shape != before.shape:
        return "torn", f"shape {matrix.shape}, where the batch leaves {before.shape}"
    others = np.ones(before.shape[1], dtype=bool)
    others[columns] = False
    changed = [int(c) for c in np.nonzero(others)[0] if not np.array_equal(matrix[:, c], before[:, c], equal_nan=True)]
    if changed:
        return "lost", f"column(s) {spans(changed)} outside the batch changed"
    states = []
    for c in columns:
        if np.array_equal(matrix[:, c], after[:, c], equal_nan=True):
            states.append("new")
        elif np.array_equal(matrix[:, c], before[:, c], equal_nan=True):
            states.append("old")
        else:
            states.append("torn")
    if "torn" in states:
        return "torn", f"column(s) {spans(c for c, s in zip(columns, states) if s == 'torn')} half written"
    done = states.count("new")
    if states != ["new"] * done + ["old"] * (len(states) - done):
        return "not-prefix", (f"new columns {spans(c for c, s in zip(columns, states) if s == 'new')} are not a "
                              f"prefix of the batch {columns[0]}..{columns[-1]}")
    if done not in band_ends:
        return "split-band", (f"the first {done} dates are new: a band is half committed "
                              f"(bands end after {band_ends[1:]} dates)")
    committed = max([cursor_before, *columns[:done]])
    if cursor > committed:
        return "cursor", f"cursor_col {cursor} points past the last committed date's column {committed}"
    if cursor < committed:
        return "lost", f"cursor_col {cursor} is behind the last committed date's column {committed}"
    return ("old" if done == 0 else "new" if done == len(states) else f"prefix of {done} dates"), None


def random_batch_kills(trials, seed=0, workdir=None, report=print):
    """Kills a batch write of several dates at random write calls. Bands of
    dates are committed one after another (these 8 dates make one), so after
    any kill the batch's dates must be a run of wholly new dates followed by
    wholly old ones, and cursor_col must not pass the last new one."""
    own = workdir is None
    workdir = workdir or tempfile.mkdtemp(prefix="quorbel-batch-kills-")
    rng = np.random.default_rng(seed)
    columns = list(range(30, 38))  # one band: chunk column 0 holds columns 0-62
    failures, outcomes = [], {}
    try:
        scenario = Scenario("batch", workdir, written=list(range(0, 30)), date_column=30)
        job = {"calendar": CALENDAR, "listed": scenario.listed, "columns": columns}
        path = os.path.join(workdir, "batch-run.h5")
        shutil.copy(scenario.base, path)
        log = path + ".strace"
        done = subprocess.run(["strace", "-f", "-qq", "-e", "trace=pwrite64", "-o", log, sys.executable, "-c",
                               WRITE_BATCH, json.dumps({**job, "path": path})], capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(done.stderr)
        with open(log) as f:
            total = sum(1 for line in f if "pwrite64(" in line)
        full, _ = scenario.read(path)
        for _ in range(trials):
            n = int(rng.integers(1, total + 1))
            os.remove(path)
            journal = os.path.join(workdir, ".batch-run.h5.journal")
            if os.path.exists(journal):
                os.remove(journal)
            shutil.copy(scenario.base, path)
            run_child(WRITE_BATCH, {**job, "path": path}, strace=["-e", f"inject=pwrite64:signal=SIGKILL:when={n}"])
            matrix, cursor = scenario.read(path)
            states = []
            for c in columns:
                if np.array_equal(matrix[:, c], full[:, c], equal_nan=True):
                    states.append("new")
                elif np.array_equal(matrix[:, c], scenario.before[:, c], equal_nan=True):
                    states.append("old")
                else:
                    states.append("torn")
            earlier_intact = np.array_equal(matrix[:, :30], scenario.before[:, :30], equal_nan=True)
            committed = states.count("new")
            prefix = states == ["new"] * committed + ["old"] * (len(states) - committed)
            cursor_ok = cursor <= (columns[committed - 1] if committed else scenario.cursor_before)
            outcome = f"{committed} of {len(columns)} dates"
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            if not (earlier_intact and prefix and cursor_ok):
                failures.append((n, states, cursor, earlier_intact))
        report(f"batch of {len(columns)} dates, {total} pwrite64 calls, {trials} random kills: {outcomes}")
    finally:
        if own:
            shutil.rmtree(workdir, ignore_errors=True)
    return outcomes, failures


# Chunks of a (320, 250) matrix are 40 x 63: band 1 is columns 63-125.
SCENARIOS = {
    "mid-band": lambda workdir: Scenario("mid-band", workdir, written=list(range(0, 40)), date_column=40),
    "new-band": lambda workdir: Scenario("new-band", workdir, written=list(range(0, 63)), date_column=63),
    "growth-columns": lambda workdir: Scenario("growth-columns", workdir, written=list(range(240, 250)),
                                               date_column=250),
    "growth-rows": lambda workdir: Scenario("growth-rows", workdir, written=list(range(0, 10)), date_column=10,
                                            listed=ROWS + 30, shape=(ROWS, 250)),
    # 23 dates rewritten in band 0 (columns 40-62), then 7 rewritten and 10
    # new in band 1 (63-79).
    "backfill": lambda workdir: BackfillScenario("backfill", workdir, written=list(range(0, 70)),
                                                 columns=list(range(40, 80))),
    # With history: the record of the date (a first write: one entry of
    # state 0; a growth first, which records nothing) and of a backfill
    # that revises 30 dates (old values kept) and adds 10.
    "history-date": lambda workdir: Scenario("history-date", workdir, written=list(range(0, 40)), date_column=40,
                                             history=True),
    "history-growth": lambda workdir: Scenario("history-growth", workdir, written=list(range(240, 250)),
                                               date_column=250, history=True),
    "history-backfill": lambda workdir: BackfillScenario("history-backfill", workdir, written=list(range(0, 70)),
                                                         columns=list(range(40, 80)), history=True),
}


def scenarios(workdir, only=None):
    """The scenarios named in `only` (default: all), prepared in `workdir`."""
    unknown = set(only or ()) - set(SCENARIOS)
    if unknown:
        raise ValueError(f"unknown kill-sweep scenario(s) {sorted(unknown)}; known: {sorted(SCENARIOS)}")
    return [make(workdir) for name, make in SCENARIOS.items() if not only or name in only]


def sweep(every=1, syscalls=None, workdir=None, report=print, keep_journal=True, only=None):
    """Runs the sweep; returns {scenario: {outcome: count}} and the failures.
    `syscalls`: the calls killed at, by default each scenario's own."""
    own = workdir is None
    workdir = workdir or tempfile.mkdtemp(prefix="quorbel-killpoints-")
    results, failures = {}, []
    try:
        for scenario in scenarios(workdir, only):
            counts = {}
            for syscall in syscalls or scenario.syscalls:
                total = scenario.count_writes(syscall)
                points = sorted(set(range(1, total + 1, every)) | {1, total} if total else set())
                for n in points:
                    outcome, detail = scenario.kill_at(syscall, n, keep_journal)
                    counts[outcome] = counts.get(outcome, 0) + 1
                    if not scenario.sound(outcome):
                        failures.append((scenario.name, syscall, n, outcome, detail))
                counts[f"{syscall} calls"] = total
            results[scenario.name] = counts
            report(f"{scenario.name:15s} {counts}")
    finally:
        if own:
            shutil.rmtree(workdir, ignore_errors=True)
    return results, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--every", type=int, default=1, help="kill at every n-th write call only")
    parser.add_argument("--batch-trials", type=int, default=200, help="random kills of a batch write")
    parser.add_argument("--drop-journal", action="store_true",
                        help="delete the undo journal after each kill, to see what it prevents")
    parser.add_argument("--scenarios", help="comma-separated scenario names (default: all)")
    args = parser.parse_args()
    only = set(args.scenarios.split(",")) if args.scenarios else None
    try:
        results, failures = sweep(every=args.every, keep_journal=not args.drop_journal, only=only)
    except ValueError as error:
        parser.error(str(error))
    if args.batch_trials:
        _, batch_failures = random_batch_kills(args.batch_trials)
        failures += [("batch", *f) for f in batch_failures]
    for failure in failures:
        print("FAILED", *failure)
    print(f"kill points: {sum(sum(v for k, v in c.items() if not k.endswith('calls')) for c in results.values())}, "
          f"lost or torn: {len(failures)}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
