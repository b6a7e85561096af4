"""Every target of the history measured in one run and printed in one table:
what recording it costs the writes, what reading as of a past time costs,
and what it takes on disk. Writes bench/results/history.md and .json
(history-quick.* for --quick, which are not kept in git).

    python3 bench/history.py            # market and library scale (their files are filled once, then cached)
    python3 bench/history.py --quick    # small, for development

- H1 and H3 share one alternation on fresh, synced copies of the filled
  market file: the daily write (W1 of bench/run.py) without history, the same
  write with history, and a revision with history: put_factor_value of the
  last filled date with other values for every instrument. Both are held
  against W1 without history.
- L1 as of is bench/history_reads.py's measurement, at the library scale.
- H4 and H5 are sizes (bench/history_sizes.py): a year of daily appends into
  a new file, then the whole year revised.
- H2 is bench/history_writes.py's grouped backfill into empty cells.
"""

import argparse
import os
import statistics
import sys
import time

import history_reads
import history_writes
import report
from common import RESULTS, engine_tag, median, publish, use_source_tree
from history_sizes import ZLIB_LEVEL, year_sizes
from market import Market, filled_file, inject, xshg_calendar

TARGETS = {"H1": history_writes.TARGETS["H1"], "H3": 2.0, "L1 as of": history_reads.TARGET, "H4": 1.0,
           "H5": 1.25, "H2": history_writes.TARGETS["H2"]}
ORDER = ("H1", "H3", "L1 as of", "H4", "H5", "H2")


def log(message):
    print(message, file=sys.stderr, flush=True)


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def mib(nbytes):
    return f"{nbytes / 2**20:.2f} MiB"


def ratio_row(name, what, on, off, against="without"):
    """A row whose target is a ratio of two median times."""
    value = on / off
    return {"name": name, "what": what, "value": value, "target": f"within {TARGETS[name]:g}x",
            "shown": f"{value:.2f}x ({ms(on)} against {ms(off)} {against})", "met": value <= TARGETS[name]}


def write_rows(times, instruments):
    off, on, revise = (statistics.median(times[side]) for side in ("off", "on", "revise"))
    return [ratio_row("H1", f"daily write with history: put_factor_value of 1 new date x {instruments:,} values",
                      on, off),
            ratio_row("H3", f"revision with history: put_factor_value of 1 filled date x {instruments:,} "
                            "other values", revise, off, "for W1, the daily write without history")]


def read_row(read):
    plain, as_of = (median(read["results"][name]["times"]) for name in ("plain", "as_of"))
    row = ratio_row("L1 as of", "read as of a time before 5% of the window's cells were revised", as_of, plain,
                    "for the plain read")
    if not read["equal"]:
        row["met"] = False
        row["shown"] += "; values as of then **differ** from the values before the revisions"
    return row


def size_rows(sizes, instruments):
    share = 100 * sizes["append_bytes"] / sizes["factor_bytes"]
    grown = sizes["revision_bytes"] / sizes["old_compressed_bytes"]
    return [{"name": "H4", "what": f"history of a year of daily appends ({sizes['dates']} dates x {instruments:,} "
                                  "values) against the factor file",
             "value": share, "target": f"< {TARGETS['H4']:g}%", "met": share < TARGETS["H4"],
             "shown": f"{share:.3f}% ({sizes['append_bytes']:,} bytes against {mib(sizes['factor_bytes'])})"},
            {"name": "H5", "what": f"history of that year revised ({sizes['changed_cells']:,} cells changed) "
                                  "against the old values, compressed",
             "value": grown, "target": f"about their size (met at <= {TARGETS['H5']}x)", "met": grown <= TARGETS["H5"],
             "shown": f"{grown:.2f}x ({mib(sizes['revision_bytes'])} against {mib(sizes['old_compressed_bytes'])})"}]


def backfill_row(times, instruments):
    return ratio_row("H2", f"grouped backfill into empty cells with history: put_factor_packs of "
                           f"{history_writes.BACKFILL_DATES} dates x {instruments:,} values",
                     statistics.median(times["on"]), statistics.median(times["off"]))


def measure(detail, market, scale, runs, rounds):
    """Every row, in ORDER, and what each was measured from."""
    inject(detail, market)
    source = str(filled_file(market, engine_tag(), reuse=True, log=log))
    scratch = str(RESULTS / f"history-scratch-{os.getpid()}")
    revised_col = market.new_col - 1
    log(f"H1, H3: the daily write without and with history, and a revision of date column {revised_col}")
    daily = history_writes.daily_write(detail, market, source, scratch, runs, revised_col)
    log("H2: the grouped backfill into empty cells")
    backfill = history_writes.grouped_backfill(detail, market, scratch, runs)
    log("H4, H5: a year of daily appends into a new file, then the year revised")
    try:
        sizes = year_sizes(detail, market, scratch + ".year.h5")
    finally:
        history_writes.remove(scratch + ".year.h5")
    log(f"L1 as of ({scale.name}): the as-of read beside the plain read")
    read = history_reads.measure(scale, rounds)  # points the engine at the library's calendar
    rows = write_rows(daily, market.instruments) + [read_row(read)] + size_rows(sizes, market.instruments)
    rows.append(backfill_row(backfill, market.instruments))
    for row in rows:
        log(f"  {row['name']}: {row['shown']}, {'met' if row['met'] else 'not met'}")
    assert [row["name"] for row in rows] == list(ORDER)
    return rows, {"daily": daily, "backfill": backfill, "sizes": sizes, "read": read}


def notes(record):
    m, r, s = record["market"], record["read"], record["measured"]["sizes"]
    return [
        f"- H1, H3: medians of {record['runs']} runs per side, the three sides (the daily write without history, "
        f"with it, and the revision with it) alternating run by run, each on a fresh synced copy of the market "
        f"file ({m['instruments']:,} instruments x {m['dates']:,} dates).",
        f"- L1 as of, {r['scale']}: {r['factors']} factors x {r['instruments']:,} instruments x 250 dates, "
        f"histories of {mib(r['history_bytes'])}; median of {record['rounds']} rounds, the reads side by side in "
        f"each (bench/history_reads.py).",
        f"- H4, H5: a new file of the market's shape with history on; its last {s['dates']} filled dates written "
        f"one put_factor_value each, then all of them again with other values by one put_factor_packs. The old "
        f"values compressed are the changed cells' values before the revision as float64, byte-shuffled, zlib "
        f"level {ZLIB_LEVEL}, in one piece ({mib(s['old_raw_bytes'])} before compression).",
        f"- H2: medians of {record['runs']} runs per side, alternating, into new files of the market's shape.",
    ]


def table(record):
    lines = [f"# History: every target in one run ({record['scale']})", "",
             "| | What | Measured | Target | Met |", "|---|---|---|---|---|"]
    for row in record["rows"]:
        lines.append(f"| {row['name']} | {row['what']} | {row['shown']} | {row['target']} | "
                     f"{'yes' if row['met'] else '**no**'} |")
    lines += ["", *notes(record), ""]
    lines += [f"- {k}: {v}" for k, v in record["machine"].items()]
    lines += [f"- {record['load']}", ""]
    return "\n".join(lines)


def positive(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least 1")
    return int(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small scale, for development")
    parser.add_argument("--runs", type=positive, help="timed runs per write side (default: 9, --quick 5)")
    parser.add_argument("--rounds", type=positive, default=5, help="rounds of the reads side by side (default 5)")
    args = parser.parse_args()
    use_source_tree()
    import quorbel.detail as detail

    from library import SCALES

    started, started_load = time.perf_counter(), os.getloadavg()[0]
    runs = args.runs or (5 if args.quick else 9)
    instruments, dates = (600, 750) if args.quick else (5300, None)
    market = Market(instruments, xshg_calendar(dates))
    scale = SCALES["quick" if args.quick else "full"]
    RESULTS.mkdir(exist_ok=True)
    rows, measured = measure(detail, market, scale, runs, args.rounds)
    read = measured.pop("read")
    record = {"scale": "quick run, small scale" if args.quick else "market and library scale", "runs": runs,
              "rounds": args.rounds, "market": {"instruments": market.instruments, "dates": market.dates},
              "read": {"scale": scale.name, "factors": scale.factors, "instruments": scale.instruments,
                       "history_bytes": read["history_bytes"], "revised_cells": read["revised_cells"],
                       "equal": read["equal"], "results": read["results"]},
              "rows": rows, "measured": measured, "machine": report.engine_machine_info(engine_tag()),
              "load": f"Load average (1 min): {started_load:.1f} at the start, {os.getloadavg()[0]:.1f} at the end"}
    stem = "history-quick" if args.quick else "history"
    publish(stem, record, table(record))
    log(f"done in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
