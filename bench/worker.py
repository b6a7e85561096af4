"""Runs one side (engine, baseline or floor) of one scenario in this process
and prints one JSON line: the run times, the peak RSS, and what the side
reports. bench/run.py starts one worker per side and scenario, so that each
peak RSS belongs to one scenario.

    python3 bench/worker.py '{"side": "engine", "scenario": "R2", ...}'
"""

import collections
import gc
import importlib
import json
import os
import shutil
import sys
import time

from common import scratch_path, use_source_tree
from market import Market, xshg_calendar
from workloads import define, digest_block, digest_rows

SIDES = {"engine": "engine_ops", "baseline": "baseline_h5py", "floor": "floor"}


def nothing():
    pass


def status_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def start_peak_rss():
    """Restarts the peak RSS from the current RSS (Linux), so that the peak
    covers the timed runs and not the imports before them."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        restarted = True
    except OSError:
        restarted = False
    return {"rss_before_kib": status_kib("VmRSS"), "peak_covers_runs_only": restarted}


def peak_rss(start):
    # VmHWM rather than ru_maxrss: a child's ru_maxrss also counts the
    # parent's RSS, which the child had between fork and exec.
    return {"peak_rss_kib": status_kib("VmHWM"), **start}


def time_runs(before_each, call, runs, budget_seconds):
    """Up to `runs` timed calls, fewer once `budget_seconds` are spent."""
    times = []
    while len(times) < runs and (not times or sum(times) < budget_seconds):
        before_each()
        gc.collect()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def plan(side, workload, market, source, scratch):
    """(untimed set-up before each run, the timed call, an untimed check of
    the result) for a side that runs the scenario itself."""
    kind, cols = workload.kind, workload.cols
    copy_source = lambda: fresh_copy(source, scratch)  # noqa: E731
    written = lambda: digest_block(side.read_block(scratch, cols))  # noqa: E731
    if kind == "read":
        ids = [market.ids[r] for r in workload.rows]
        start, end = market.calendar[cols.start], market.calendar[cols.stop - 1]
        stream = lambda: side.read(source, market, ids, start, end)  # noqa: E731
        return nothing, lambda: collections.deque(stream(), maxlen=0), lambda: digest_rows(stream())
    if kind == "value":
        date, items = market.calendar[cols.start], market.items(cols.start, workload.rows, workload.revision)
        return copy_source, lambda: side.put_value(scratch, market, date, items), written
    if kind == "packs":
        packs = market.packs(cols, workload.rows, workload.revision)
        return copy_source, lambda: side.put_packs(scratch, market, packs), written
    if kind == "rewrite":
        return copy_source, lambda: side.rewrite(scratch, market), written
    if kind == "read_all":
        return nothing, lambda: side.read_all(source, market), None
    if kind == "write_all":
        matrix = side.read_all(source, market)
        return lambda: remove(scratch), lambda: side.write_all(scratch, market, matrix), None
    raise ValueError(f"unknown kind {kind}")


def fresh_copy(source, target):
    """A copy already on disk, so that its write-back does not run into the timed call."""
    shutil.copyfile(source, target)
    with open(target, "rb+") as f:
        os.fsync(f.fileno())


def remove(path):
    for p in (path, path + ".new"):
        if os.path.exists(p):
            os.remove(p)


def run(job):
    side = importlib.import_module(SIDES[job["side"]])
    market = Market(job["instruments"], xshg_calendar(job["dates"]))
    notes = side.prepare(market, job)
    workload = define(job["scenario"], market, job["name"])
    runs, budget = job["runs"], job["budget_seconds"]
    if job["side"] == "floor":
        call, info = side.job(job["file"], workload, market)
        try:
            start = start_peak_rss()
            times = time_runs(nothing, call, runs, budget)
        finally:
            getattr(call, "close", nothing)()
        return {"times": times, **peak_rss(start), "notes": {**notes, **info}}
    scratch = str(scratch_path(os.getpid()))
    try:
        before_each, call, check = plan(side, workload, market, job["file"], scratch)
        start = start_peak_rss()
        times = time_runs(before_each, call, runs, budget)
        # The peak is taken before the result check, which may read more than the scenario did.
        return {"times": times, **peak_rss(start), "digest": check() if check else None, "notes": notes}
    finally:
        remove(scratch)


def main():
    use_source_tree()
    print(json.dumps(run(json.loads(sys.argv[1]))))


if __name__ == "__main__":
    main()
