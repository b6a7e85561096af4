"""Reads as of a past time beside plain reads: L1 of the library benchmark
(24 factors x all instruments x the last 250 dates) read as it is, and read
as of a time after which 5% of the window's cells were revised. Prints the
table and writes bench/results/history-reads.md and .json
(history-reads-quick.* for --quick, not kept in git).

    python3 bench/history_reads.py            # the library scale
    python3 bench/history_reads.py --quick    # small, for development

The library is bench/library.py's (made once and cached). The histories are
written here, with struct and zlib, beside hard links to its files in a
scratch folder, so the cached files stay as they are: a baseline holding
every date, a commit appending each date, then one commit per date of the
window revising 5% of its cells (old values are the values plus one). The
as-of read undoes all of those revisions; the digests check that it gives
exactly the values before them.
"""

import argparse
import os
import shutil
import struct
import sys
import time
import zlib

import numpy as np

from common import RESULTS, median, publish, touch, use_source_tree
import report

REVISED_SHARE = 0.05
TARGET = 1.3  # the as-of read against the plain read
BEGAN_NS = 1_700_000_000_000_000_000
# The time the reads ask for: after the appends, before the revisions.
AS_OF_NS = BEGAN_NS + 10**9


def log(message):
    print(message, file=sys.stderr, flush=True)


def _record(seq, time_ns, cursor, entries, kind=1):
    payload = b"".join(entries)
    head = struct.pack("<4sHHQqqqIIQ", b"QRBC", kind, 0, seq, time_ns, cursor, cursor, len(entries), 0,
                       len(payload))
    return head + payload + struct.pack("<I4s", zlib.crc32(head + payload), b"QRBE")


def _revision_entry(column, rows, old):
    rows = np.asarray(rows, dtype="<u4")
    row_bytes = rows.tobytes() + bytes(-rows.nbytes % 8)
    return struct.pack("<IIII", column, 1, len(rows), 0) + row_bytes + np.asarray(old, dtype="<f8").tobytes()


def write_history(path, values, window, cursor, seed):
    """The history of the factor at `path`, whose window columns hold
    `values` (instruments x window); returns the window as of AS_OF_NS."""
    rng = np.random.default_rng(seed)
    out = [struct.pack("<8sIIq36s", b"QRBHIST1", 1, 64, BEGAN_NS, bytes(36))]
    out[0] += struct.pack("<I", zlib.crc32(out[0]))
    out.append(_record(1, BEGAN_NS, cursor, [], kind=2))
    seq = 1
    for column in range(window.stop):  # the daily appends, each a 16-byte entry
        seq += 1
        out.append(_record(seq, BEGAN_NS + seq, cursor, [struct.pack("<IIII", column, 0, values.shape[0], 0)]))
    before = values.copy()
    count = int(round(values.shape[0] * REVISED_SHARE))
    for k, column in enumerate(window):
        rows = np.sort(rng.choice(values.shape[0], count, replace=False))
        old = np.where(np.isnan(values[rows, k]), 1.0, values[rows, k] + 1.0)
        before[rows, k] = old
        seq += 1
        out.append(_record(seq, AS_OF_NS + 1 + k, cursor, [_revision_entry(column, rows, old)]))
    with open(path + ".history", "wb") as f:
        f.write(b"".join(out))
    return before


def prepare(scale, market, root, scratch):
    """Hard links to the library's files in `scratch`, each with a history;
    returns the L1 cube as of AS_OF_NS, for the digest."""
    import h5py

    from library import columns, factor_name

    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    window = columns("L1", market)
    expected = np.empty((scale.factors, len(window), scale.instruments))
    for k in range(scale.factors):
        source = os.path.join(root, f"{factor_name(k)}.h5")
        target = os.path.join(scratch, f"{factor_name(k)}.h5")
        os.link(source, target)
        with h5py.File(source, "r") as f:
            values = f["data"][:scale.instruments, window.start:window.stop]
            cursor = int(f["data"].attrs.get("cursor_col", -1))
        expected[k] = write_history(target, values, window, cursor, k).T
    return expected


def measure(scale, runs):
    use_source_tree()
    import quorbel
    import quorbel.detail as detail

    from library import build_library, columns, cube_bytes, digest, market_of, time_runs
    from market import inject

    market = market_of(scale)
    root = build_library(scale, market)
    inject(detail, market)
    scratch = RESULTS / f"scratch-history-{os.getpid()}"
    try:
        expected = prepare(scale, market, root, scratch)
        history_bytes = sum(os.path.getsize(os.path.join(scratch, n)) for n in os.listdir(scratch)
                            if n.endswith(".history"))
        lib = quorbel.FactorLibrary(scratch)
        names = lib.names()
        window = columns("L1", market)
        first, last = market.calendar[window.start], market.calendar[window.stop - 1]
        size = cube_bytes(scale, window)
        calls = {
            "plain": lambda: lib.read(names, None, first, last),
            "as_of": lambda: lib.read(names, None, first, last, as_of=AS_OF_NS),
            "now": lambda: lib.read(names, None, first, last, as_of=AS_OF_NS + 10**12),
        }
        results = {name: {"times": [], "cpu": []} for name in calls}
        digests = {}
        # Side by side: each round times every call once, so that load from
        # other processes falls on all of them alike.
        for _ in range(runs):
            for name, call in calls.items():
                times, _, cube = time_runs(lambda: touch(size), call, 1, 1e9)
                results[name]["times"] += times
                results[name]["cpu"] += time_runs.cpu
                digests[name] = digest(cube.values)
        equal = digests["as_of"] == digest(expected) and digests["now"] == digests["plain"]
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return {"results": results, "equal": equal, "history_bytes": history_bytes,
            "revised_cells": int(round(scale.instruments * REVISED_SHARE)) * len(window) * scale.factors}


def summary(record):
    f = report.format_time
    med = {name: median(r["times"]) for name, r in record["results"].items()}
    cpu = {name: median(r["cpu"]) for name, r in record["results"].items()}
    ratio = med["as_of"] / med["plain"]
    lines = [f"### As-of reads: {record['title']}", ""]
    lines += [f"- {k}: {v}" for k, v in record["machine"].items()]
    lines += ["", f"L1 ({record['factors']} factors x {record['instruments']:,} instruments x 250 dates); "
              f"{record['revised_cells']:,} cells (5% of the window) revised after the as-of time; histories "
              f"{record['history_bytes'] / 2**20:.1f} MiB in all; median of {record['runs']} rounds, the three "
              "reads side by side in each.", ""]
    lines += ["| Read | Wall | CPU | Against the plain read |", "|---|---|---|---|"]
    text = {"plain": "lib.read (no history)", "as_of": "lib.read(as_of=T): every revision undone",
            "now": "lib.read(as_of=now): the history read, nothing undone"}
    for name in ("plain", "as_of", "now"):
        lines.append(f"| {text[name]} | {f(med[name])} | {f(cpu[name])} | "
                     f"{report.format_ratio(med[name] / med['plain'])} |")
    lines += ["", f"Values as of T equal the values before the revisions: {'yes' if record['equal'] else '**NO**'}. "
              f"Target: as of T within {TARGET}x of the plain read: {ratio:.2f}x, "
              f"{'met' if ratio <= TARGET else '**not met**'}."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small scale, for development")
    parser.add_argument("--runs", type=int, default=5, help="rounds of the three reads (default 5)")
    args = parser.parse_args()
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from library import SCALES

    scale = SCALES["quick" if args.quick else "full"]
    started = time.perf_counter()
    measured = measure(scale, args.runs)
    from common import engine_tag

    machine = report.engine_machine_info(engine_tag())
    record = {"title": scale.name, "machine": machine, "factors": scale.factors,
              "instruments": scale.instruments, "runs": args.runs, **measured}
    suffix = "history-reads-quick" if args.quick else "history-reads"
    publish(suffix, record, summary(record))
    log(f"done in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
