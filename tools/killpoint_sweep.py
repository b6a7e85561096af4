"""Kill a writer at every write system call and check what survives.

For each scenario a factor file is prepared with some dates already written.
A child process then writes one more date through the engine, and strace
kills it with SIGKILL at the N-th pwrite64 (or ftruncate) for every N the
write makes. After each kill the file is opened through get_h5 (which undoes
an unfinished write) and checked:

- every date written before the kill reads back bit for bit;
- the date in flight is either wholly old or wholly new;
- cursor_col never points past the data.

    python3 tools/killpoint_sweep.py            # every kill point
    python3 tools/killpoint_sweep.py --every 7  # a sample
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

READ_BACK = CHILD_SETUP + textwrap.dedent(
    """
    h5 = d.get_h5(job["path"], read_wait=0)
    data = h5["data"]
    matrix = data[...]
    cursor = int(data.attrs["cursor_col"]) if "cursor_col" in data.attrs else -1
    h5.close()
    np.save(job["out"], matrix)
    print(json.dumps({"cursor": cursor}))
    """
)


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

    def __init__(self, name, workdir, written, date_column, listed=ROWS, shape=(ROWS + 20, 250)):
        self.name = name
        self.workdir = workdir
        self.date_column = date_column
        self.listed = listed
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
            h5.close()
            """
        )
        job = {"calendar": CALENDAR, "listed": min(listed, shape[0]), "path": self.base, "shape": list(shape),
                "written": written}
        done = run_child(prepare, job)
        if done.returncode != 0:
            raise RuntimeError(f"preparing {name} failed:\n{done.stderr}")
        self.before, self.cursor_before = self.read(self.base)

    def job(self, path):
        return {"calendar": CALENDAR, "listed": self.listed, "path": path, "date": CALENDAR[self.date_column],
                "values": self.values_path}

    def read(self, path):
        out = path + ".read.npy"
        done = run_child(READ_BACK, {"calendar": CALENDAR, "listed": self.listed, "path": path, "out": out})
        if done.returncode != 0:
            raise RuntimeError(f"reading {path} failed:\n{done.stderr}")
        matrix = np.load(out)
        os.remove(out)
        return matrix, json.loads(done.stdout)["cursor"]

    def count_writes(self, syscall):
        path = os.path.join(self.workdir, f"{self.name}-count.h5")
        shutil.copy(self.base, path)
        log = path + ".strace"
        command = ["strace", "-f", "-qq", "-e", f"trace={syscall}", "-o", log,
                   sys.executable, "-c", WRITE_ONE_DATE, json.dumps(self.job(path))]
        done = subprocess.run(command, capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            raise RuntimeError(f"the write itself failed:\n{done.stderr}")
        with open(log) as f:
            count = sum(1 for line in f if f"{syscall}(" in line)
        self.after, self.cursor_after = self.read(path)
        return count

    def kill_at(self, syscall, n, keep_journal=True):
        """Kills the write at its n-th call of `syscall`; returns the outcome.
        keep_journal=False throws the undo journal away before the file is
        reopened, to show what the sweep finds without it."""
        path = os.path.join(self.workdir, f"{self.name}-kill.h5")
        for stale in (path, os.path.join(self.workdir, f".{self.name}-kill.h5.journal")):
            if os.path.exists(stale):
                os.remove(stale)
        shutil.copy(self.base, path)
        killed = run_child(WRITE_ONE_DATE, self.job(path),
                           strace=["-e", f"inject={syscall}:signal=SIGKILL:when={n}"])
        journal = os.path.join(self.workdir, f".{self.name}-kill.h5.journal")
        if not keep_journal and os.path.exists(journal):
            os.remove(journal)
        try:
            matrix, cursor = self.read(path)
        except RuntimeError as error:
            return "unreadable", str(error).splitlines()[-1]
        return self.judge(matrix, cursor, killed.returncode)

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


def random_batch_kills(trials, seed=0, workdir=None, report=print):
    """Kills a batch write of several dates at random write calls. Dates are
    committed one after another, so after any kill the batch's dates must be
    a run of wholly new dates followed by wholly old ones, and cursor_col
    must not pass the last new one."""
    own = workdir is None
    workdir = workdir or tempfile.mkdtemp(prefix="quorbel-batch-kills-")
    rng = np.random.default_rng(seed)
    columns = list(range(30, 38))  # crosses into a new band of chunks at 32
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


def scenarios(workdir):
    # Chunks of a (320, 250) matrix are 40 x 32 here; see the printed shapes.
    return [
        Scenario("mid-band", workdir, written=list(range(0, 40)), date_column=40),
        Scenario("new-band", workdir, written=list(range(0, 64)), date_column=64),
        Scenario("growth-columns", workdir, written=list(range(240, 250)), date_column=250),
        Scenario("growth-rows", workdir, written=list(range(0, 10)), date_column=10, listed=ROWS + 30,
                 shape=(ROWS, 250)),
    ]


def sweep(every=1, syscalls=("pwrite64", "ftruncate"), workdir=None, report=print, keep_journal=True,
          only=None):
    """Runs the sweep; returns {scenario: {outcome: count}} and the failures."""
    own = workdir is None
    workdir = workdir or tempfile.mkdtemp(prefix="quorbel-killpoints-")
    results, failures = {}, []
    try:
        for scenario in scenarios(workdir):
            if only and scenario.name not in only:
                continue
            counts = {}
            for syscall in syscalls:
                total = scenario.count_writes(syscall)
                points = sorted(set(range(1, total + 1, every)) | {1, total} if total else set())
                for n in points:
                    outcome, detail = scenario.kill_at(syscall, n, keep_journal)
                    counts[outcome] = counts.get(outcome, 0) + 1
                    if outcome not in ("old", "new"):
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
    args = parser.parse_args()
    results, failures = sweep(every=args.every, keep_journal=not args.drop_journal)
    _, batch_failures = random_batch_kills(args.batch_trials)
    failures += [("batch", *f) for f in batch_failures]
    for failure in failures:
        print("FAILED", *failure)
    print(f"kill points: {sum(sum(v for k, v in c.items() if not k.endswith('calls')) for c in results.values())}, "
          f"lost or torn: {len(failures)}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
