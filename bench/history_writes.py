"""What recording a factor's history costs its writes: each write timed on a
file without history and on the same file with history, side by side in one
run, the two alternating run by run so that the machine's load falls on both
alike. Prints the table and writes bench/results/history-writes.md and .json
(history-writes-quick.* for --quick, which are not kept in git).

H1 is W1 of bench/run.py, the daily write: put_factor_value of the new date
(every instrument) into the filled market file; with history, its record is
one entry of state 0 (16 bytes), a compare of the column it read and a
synced append. H2 is the grouped backfill into empty cells:
put_factor_packs of 250 dates x every instrument into a new file of the
market's shape, the dates grouped by band; with history, one record of 250
entries of state 0.

    python3 bench/history_writes.py            # market scale (fills the market file once, about 90 s)
    python3 bench/history_writes.py --quick    # small, for development
"""

import argparse
import os
import shutil
import statistics
import sys
import time

from common import RESULTS, engine_tag, publish, touch, use_source_tree
from market import Market, filled_file, inject, xshg_calendar

BACKFILL_DATES = 250
TARGETS = {"H1": 1.1, "H2": 1.2}


def log(message):
    print(message, file=sys.stderr, flush=True)


def remove(*paths):
    """Each factor file of `paths` and the history beside it."""
    for path in paths:
        for p in (path, path + ".history"):
            if os.path.exists(p):
                os.remove(p)


def fresh(source, target, history):
    """`source` copied to `target` (synced, so that its write-back stays out of
    the timed call), with `source`'s history beside it when `history`."""
    remove(target)
    shutil.copyfile(source, target)
    if history:
        shutil.copyfile(source + ".history", target + ".history")
    for path in (target, target + ".history") if history else (target,):
        with open(path, "rb+") as f:
            os.fsync(f.fileno())


def with_history(detail, source, target):
    """A copy of `source` whose history has begun (not timed)."""
    fresh(source, target, False)
    h5 = detail.get_h5(target, True)
    try:
        detail._enable_history(h5)
    finally:
        h5.close()
    return target


def empty_file(detail, market, path, history):
    """A new file of the market's shape, with or without history."""
    remove(path)
    h5 = detail.create_new_factor_h5(path, (market.instruments + 500, market.dates + 250))
    try:
        if history:
            detail._enable_history(h5)
    finally:
        h5.close()


def band_bytes(detail, path, cols):
    """The chunk band that a write of date columns `cols` (a range) into
    `path` goes through, in bytes once inflated."""
    h5 = detail.get_h5(path, False)
    try:
        rows, width = h5["data"].shape[0], h5["data"].chunks[1]
    finally:
        h5.close()
    return rows * (-(-cols.stop // width) - cols.start // width) * width * 8


def alternate(runs, sides, touch_bytes=0):
    """{side: [seconds]}: each side's (set-up, call) run in turn, `runs` rounds.
    After each set-up, `touch_bytes` are faulted in so that the call's buffers
    find pages the host has not taken back during the copy."""
    times = {name: [] for name in sides}
    for _ in range(runs):
        for name, (set_up, call) in sides.items():
            set_up()
            touch(touch_bytes)
            started = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - started)
    return times


def put_value(detail, path, date, items):
    h5 = detail.get_h5(path, True)
    try:
        detail.put_factor_value(h5, date, items)
    finally:
        h5.close()


def put_packs(detail, path, packs):
    h5 = detail.get_h5(path, True)
    try:
        detail.put_factor_packs(h5, packs)
    finally:
        h5.close()


def value_side(detail, source, path, history, date, items):
    """(set-up, call) of one side: a fresh copy of `source` at `path` (with its
    history when `history`), then put_factor_value of `items` on `date`."""
    return lambda: fresh(source, path, history), lambda: put_value(detail, path, date, items)


def daily_write(detail, market, source, scratch, runs, revised_col=None):
    """{side: [seconds]} of the daily write into copies of the filled file
    `source`: "off" without history, "on" with it. With `revised_col`, a
    third side, "revise", takes its turn in the same rounds: that filled date
    written again with other values for every instrument, with history."""
    col, rows = market.new_col, range(market.instruments)
    source_on = with_history(detail, source, scratch + ".base-history.h5")
    paths = {name: f"{scratch}.{name}.h5" for name in ("off", "on", "revise")}
    sides = {name: value_side(detail, base, paths[name], name != "off", market.calendar[col], market.items(col, rows))
             for name, base in (("off", source), ("on", source_on))}
    cols = range(col, col + 1)
    if revised_col is not None:
        sides["revise"] = value_side(detail, source_on, paths["revise"], True, market.calendar[revised_col],
                                     market.items(revised_col, rows, revision=1))
        cols = range(min(col, revised_col), col + 1)
    try:
        return alternate(runs, sides, 2 * band_bytes(detail, source, cols))
    finally:
        remove(source_on, *paths.values())


def grouped_backfill(detail, market, scratch, runs):
    first = max(0, (market.new_col - BACKFILL_DATES) // 2)
    cols = range(first, first + BACKFILL_DATES)
    packs = market.packs(cols, range(market.instruments))
    paths = {"off": scratch + ".off.h5", "on": scratch + ".on.h5"}
    sides = {name: (lambda p=path, h=name == "on": empty_file(detail, market, p, h),
                    lambda p=path: put_packs(detail, p, packs)) for name, path in paths.items()}
    empty_file(detail, market, paths["off"], False)
    try:
        return alternate(runs, sides, 2 * band_bytes(detail, paths["off"], cols))
    finally:
        remove(*paths.values())


def table(record):
    lines = [f"# What history costs the writes ({record['scale']})", "",
             "| scenario | without history | with history | ratio | target |", "|---|---|---|---|---|"]
    for row in record["rows"]:
        lines.append(f"| {row['name']}: {row['text']} | {row['off'] * 1000:.1f} ms | {row['on'] * 1000:.1f} ms | "
                     f"{row['ratio']:.2f}x | within {TARGETS[row['name']]}x |")
    lines += ["", f"Medians of {record['runs']} runs per side, the sides alternating run by run; "
                  f"{record['matrix']}. {record['load']}.", ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small scale, for development")
    parser.add_argument("--runs", type=int, help="timed runs per side (default: 9, --quick 5)")
    args = parser.parse_args()
    use_source_tree()
    import quorbel.detail as detail

    runs = args.runs or (5 if args.quick else 9)
    instruments, dates = (600, 750) if args.quick else (5300, None)
    market = Market(instruments, xshg_calendar(dates))
    inject(detail, market)
    RESULTS.mkdir(exist_ok=True)
    started_load = os.getloadavg()[0]
    source = str(filled_file(market, engine_tag(), reuse=True, log=log))
    scratch = str(RESULTS / f"history-scratch-{os.getpid()}")
    rows = []
    for name, text, measure in (
            ("H1", f"daily write, put_factor_value of 1 new date x {instruments:,} values",
             lambda: daily_write(detail, market, source, scratch, runs)),
            ("H2", f"grouped backfill into empty cells, put_factor_packs of {BACKFILL_DATES} dates x "
                   f"{instruments:,} values", lambda: grouped_backfill(detail, market, scratch, runs))):
        log(f"{name}: {text}")
        times = measure()
        off, on = statistics.median(times["off"]), statistics.median(times["on"])
        rows.append({"name": name, "text": text, "off": off, "on": on, "ratio": on / off, "times": times})
        log(f"  without history {off * 1000:.1f} ms, with {on * 1000:.1f} ms: {on / off:.2f}x")
    record = {"scale": "quick run, small scale" if args.quick else "market scale", "runs": runs,
              "matrix": f"market file {market.instruments:,} instruments x {market.dates:,} dates", "rows": rows,
              "load": f"load average (1 min) {started_load:.1f} at the start, {os.getloadavg()[0]:.1f} at the end"}
    stem = "history-writes-quick" if args.quick else "history-writes"
    publish(stem, record, table(record))


if __name__ == "__main__":
    main()
