#!/usr/bin/env python3
"""Writers and readers in separate processes on one factor file.

    python3 tools/contention.py                 # full run, 60 s
    python3 tools/contention.py --duration 8    # short run (CI runs this through pytest)
    python3 tools/contention.py --json          # the figures as JSON on stdout

Each writer process loops: get_h5(path, True), one date written
(put_factor_value or a one-pack put_factor_packs, per-item or bulk path),
close. Each reader process loops: get_h5(path), every instrument over every
date, read in turn as one panel (read_panel) and as a stream
(get_factor_value), close. Writers exclude each other through HDF5's file
lock and wait in get_h5's retry wrapper (5 counted attempts one second
apart); readers take no lock and never keep a writer waiting.

Every written column carries a checksum: instrument row i holds
token * 1000 + i, where the token names the write, and a reserved row holds
the sum of the others. A panel is one committed state: a column whose rows
disagree with each other or with the checksum was seen half-written. A
stream reads a stripe of rows (one chunk row) at a time, each stripe from one
committed state: within a stripe the rows of a column must come from one
write. Each date belongs to one writer, whose tokens rise, so the final file
must hold, for every date, the last write its writer reported, and a panel
must never show a date go back to an older write.

The run is consistent when no process crashed or hung, every write either
landed or failed with the error get_h5's retry gives up with on a locked
file, and no inconsistency was seen. The exit status says so (0 or 1).
"""

import argparse
import datetime
import json
import math
import os
import random
import subprocess
import sys
import tempfile
import time
import traceback
import types

CHECKSUM_ID = "CHECKSUM"
VALUE_SCALE = 1000  # row i of a write with token t holds t * 1000 + i
TOKEN_SPAN = 1_000_000  # tokens of writer w are w * TOKEN_SPAN + 1, + 2, ...
HOLD_LIMIT_SECONDS = 120  # beyond the run: a child still busy then has hung


# ---- the shared plan: calendar, instruments, dates and their owners --------


def trading_calendar(count):
    """`count` weekday date codes from 2 January 2018 on."""
    day, codes = datetime.date(2018, 1, 2), []
    while len(codes) < count:
        if day.weekday() < 5:
            codes.append(day.year * 10000 + day.month * 100 + day.day)
        day += datetime.timedelta(days=1)
    return codes


def instrument_ids(count):
    return [f"I{i:04d}" for i in range(count)]


def instrument_index(count):
    index = {oid: row for row, oid in enumerate(instrument_ids(count))}
    index[CHECKSUM_ID] = count
    return index


def owner_of(column, writers):
    return column % writers


def column_values(token, instruments):
    """The rows one write stores, checksum last."""
    values = [float(token * VALUE_SCALE + i) for i in range(instruments)]
    return values + [math.fsum(values)]


def token_of(column_cells):
    """The write a column holds: its token, None for a column never written,
    or a text saying why the column is not one whole write."""
    *rows, checksum = column_cells
    if all(math.isnan(v) for v in column_cells):
        return None
    if any(math.isnan(v) for v in column_cells):
        return "some rows are NaN"
    if math.fsum(rows) != checksum:
        return f"checksum {checksum!r} differs from the sum of the rows {math.fsum(rows)!r}"
    tokens = {(v - i) / VALUE_SCALE for i, v in enumerate(rows)}
    if len(tokens) != 1:
        return f"rows come from {len(tokens)} different writes"
    token = tokens.pop()
    if token != int(token) or token <= 0:
        return f"rows hold no write token ({token!r})"
    return int(token)


def column_problems(matrix, writers, last_seen=None):
    """Problems of a matrix read back (one list of cells per instrument row,
    checksum row last, one cell per date): columns that are not one whole
    write, writes in a column their writer does not own, and (with
    `last_seen`, updated in place) columns that went back to an older write."""
    problems = []
    columns = len(matrix[0]) if matrix else 0
    for j in range(columns):
        token = token_of([row[j] for row in matrix])
        if token is None:
            continue
        if isinstance(token, str):
            problems.append(f"column {j}: {token}")
            continue
        if token // TOKEN_SPAN != owner_of(j, writers):
            problems.append(f"column {j}: write {token} comes from a writer that does not own it")
        if last_seen is not None:
            if token < last_seen.get(j, 0):
                problems.append(f"column {j}: went back from write {last_seen[j]} to {token}")
            last_seen[j] = max(token, last_seen.get(j, 0))
    return problems


# ---- child processes ---------------------------------------------------------


class Counters:
    """What a child counts: retry-wrapper pauses and ERROR log records."""

    def __init__(self, utils):
        import logging
        import time as real_time

        self.retry_pauses = 0
        self.error_records = []

        counters = self

        class CountingTime(types.ModuleType):
            # quorbel.utils reaches the clock through its module global
            # `time`; only its pauses between attempts are counted here.
            def sleep(self, seconds):
                counters.retry_pauses += 1
                real_time.sleep(seconds)

            def __getattr__(self, name):
                return getattr(real_time, name)

        utils.time = CountingTime("time")

        class KeepErrors(logging.Handler):
            def emit(self, record):
                counters.error_records.append(str(record.msg))

        handler = KeepErrors(level=logging.ERROR)
        logging.getLogger().addHandler(handler)


def is_lock_failure(error):
    return isinstance(error, OSError) and error.errno == 11 and "unable to lock file" in str(error)


def run_writer(detail, config, counters, deadline):
    wid, writers = config["id"], config["writers"]
    calendar = config["calendar"]
    owned = [j for j in range(config["dates"]) if owner_of(j, writers) == wid]
    ids = instrument_ids(config["instruments"]) + [CHECKSUM_ID]
    rng = random.Random(config["seed"] * 100 + wid)
    stats = {"writes": 0, "give_ups": 0, "give_up_errors": [], "errors": [], "landed": {}}
    for seq in range(1, 10**9):
        if time.time() >= deadline:
            break
        column = owned[(seq - 1) % len(owned)]
        token = wid * TOKEN_SPAN + seq
        items = [types.SimpleNamespace(order_book_id=oid, value=v)
                 for oid, v in zip(ids, column_values(token, config["instruments"]))]
        try:
            h5 = detail.get_h5(config["path"], True)
        except OSError as error:
            stats["give_ups"] += 1
            if len(stats["give_up_errors"]) < 3:
                stats["give_up_errors"].append(f"{type(error).__name__}: {error}")
            if not is_lock_failure(error):
                stats["errors"].append(f"write of column {column} gave up with another error: {error!r}")
            continue
        try:
            # Both writers, both storage paths.
            detail.BOOK_COUNT_THRESHOLD = 1 if seq % 4 >= 2 else 3700
            if seq % 2:
                detail.put_factor_value(h5, calendar[column], items)
            else:
                detail.put_factor_packs(h5, [types.SimpleNamespace(date=calendar[column], values=items)])
        except Exception as error:  # reported, and the run fails
            stats["errors"].append(f"write of column {column} failed: {error!r}")
            continue
        finally:
            h5.close()
        stats["writes"] += 1
        stats["landed"][str(column)] = token
        time.sleep(rng.uniform(0, config["writer_pause"]))
    return stats


def read_matrix(detail, config, stream=False):
    """Every instrument over every date (rows), or None when no file was
    there; with `stream`, read by get_factor_value, and also the number of
    rows the stream reads together."""
    import quorbel

    calendar = config["calendar"]
    ids = instrument_ids(config["instruments"]) + [CHECKSUM_ID]
    h5 = detail.get_h5(config["path"])
    if h5 is None:
        return None
    with h5:
        if not stream:
            _, _, by_date = quorbel.read_panel(h5, ids, calendar[0], calendar[config["dates"] - 1], as_numpy=True)
            return by_date.T.tolist()
        stripe = h5["data"].chunks[0]
        rows = dict(detail.get_factor_value(h5, ids, calendar[0], calendar[config["dates"] - 1]))
    return [list(rows[oid]) for oid in ids], stripe


def stripe_problems(matrix, stripe, writers):
    """Problems of a streamed matrix: within one stripe of rows, a column
    whose rows come from more than one write, or from a writer that does not
    own it."""
    problems = []
    for first in range(0, len(matrix) - 1, stripe):  # the checksum row last, checked by panels
        rows = matrix[first:min(first + stripe, len(matrix) - 1)]
        for j in range(len(rows[0])):
            cells = [row[j] for row in rows]
            if all(math.isnan(v) for v in cells):
                continue
            tokens = {(v - (first + i)) / VALUE_SCALE for i, v in enumerate(cells)}
            if len(tokens) != 1:
                problems.append(f"column {j}, rows from {first}: rows come from {len(tokens)} writes")
            elif int(tokens.pop()) // TOKEN_SPAN != owner_of(j, writers):
                problems.append(f"column {j}, rows from {first}: a write from a writer that does not own it")
    return problems


def run_reader(detail, config, counters, deadline):
    rng = random.Random(config["seed"] * 100 + 50 + config["id"])
    stats = {"reads": 0, "columns_checked": 0, "errors": []}
    last_seen = {}
    while time.time() < deadline:
        stream = stats["reads"] % 2 == 1
        read = read_matrix(detail, config, stream)
        if read is None:
            stats["errors"].append("the factor file was missing")
            continue
        if stream:
            matrix, stripe = read
            problems = stripe_problems(matrix, stripe, config["writers"])
        else:
            matrix = read
            problems = column_problems(matrix, config["writers"], last_seen)
        stats["errors"].extend(problems[:5])
        stats["reads"] += 1
        stats["columns_checked"] += sum(not math.isnan(v) for v in matrix[-1])
        time.sleep(rng.uniform(0, config["reader_pause"]))
    return stats


def install_reference_data(detail, config):
    calendar, index = config["calendar"], instrument_index(config["instruments"])
    detail.get_all_trading_dates = lambda: calendar
    detail._get_all_instrument_index = lambda: index


def child_main(role, config_text):
    config = json.loads(config_text)
    import quorbel.detail as detail
    import quorbel.utils as utils

    install_reference_data(detail, config)
    counters = Counters(utils)
    print("ready", flush=True)
    deadline = float(sys.stdin.readline())
    try:
        run = run_writer if role == "writer" else run_reader
        stats = run(detail, config, counters, deadline)
    except BaseException:
        stats = {"errors": ["crashed: " + traceback.format_exc()]}
    stats["role"], stats["id"] = role, config["id"]
    stats["retry_pauses"] = counters.retry_pauses
    stats["error_records"] = len(counters.error_records)
    stats["lock_error_records"] = sum("errno = 11" in text for text in counters.error_records)
    stats["other_error_records"] = [t for t in counters.error_records if "errno = 11" not in t][:3]
    print(json.dumps(stats), flush=True)


# ---- the parent --------------------------------------------------------------


def child_environment():
    """The children import the same quorbel as this process."""
    import quorbel

    source = os.path.dirname(os.path.dirname(os.path.abspath(quorbel.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [source, env.get("PYTHONPATH")] if p)
    return env


def create_factor_file(config):
    import quorbel.detail as detail

    install_reference_data(detail, config)
    detail.get_h5(config["path"], True).close()


def start_children(config):
    children = []
    env = child_environment()
    for role, count in (("writer", config["writers"]), ("reader", config["readers"])):
        for i in range(count):
            child_config = json.dumps(dict(config, id=i))
            proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", role, child_config],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True, env=env)
            children.append((role, i, proc))
    for role, i, proc in children:
        line = proc.stdout.readline().strip()
        if line != "ready":
            raise RuntimeError(f"{role} {i} did not start: {line!r} {proc.stderr.read()}")
    return children


def collect(children, deadline):
    """Each child's figures; a child that crashed or hung is reported as such."""
    results = []
    for role, i, proc in children:
        try:
            out, err = proc.communicate(timeout=max(1.0, deadline + HOLD_LIMIT_SECONDS - time.time()))
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            results.append({"role": role, "id": i, "errors": [f"hung: still running {HOLD_LIMIT_SECONDS} s "
                                                               "after the end of the run"]})
            continue
        lines = out.strip().splitlines()
        if proc.returncode != 0 or not lines:
            results.append({"role": role, "id": i,
                            "errors": [f"exited with status {proc.returncode}: {err.strip()[-2000:]}"]})
            continue
        results.append(json.loads(lines[-1]))
    return results


def final_check(config, results):
    """Problems of the file as the run left it: every date must hold the last
    write its writer reported."""
    import quorbel.detail as detail

    install_reference_data(detail, config)
    matrix = read_matrix(detail, config)
    if matrix is None:
        return ["the factor file is gone"], {}
    problems = column_problems(matrix, config["writers"])
    expected = {}
    for r in results:
        if r.get("role") == "writer":
            expected.update({int(j): token for j, token in r.get("landed", {}).items()})
    for j in range(config["dates"]):
        found = token_of([row[j] for row in matrix])
        if found != expected.get(j):
            problems.append(f"column {j} holds write {found}, its writer last reported {expected.get(j)}")
    return problems, expected


def run(config):
    create_factor_file(config)
    children = start_children(config)
    start = time.time()
    deadline = start + config["duration"]
    for _, _, proc in children:
        proc.stdin.write(f"{deadline}\n")
        proc.stdin.flush()
    results = collect(children, deadline)
    elapsed = time.time() - start
    final_problems, expected = final_check(config, results)
    writers = [r for r in results if r["role"] == "writer"]
    readers = [r for r in results if r["role"] == "reader"]
    unexpected = [f"{r['role']} {r['id']}: {e}" for r in results for e in r.get("errors", [])]
    unexpected += [f"{r['role']} {r['id']} logged another open failure: {t}"
                   for r in results for t in r.get("other_error_records", [])]
    totals = {
        "writes_landed": sum(r.get("writes", 0) for r in writers),
        "writes_given_up": sum(r.get("give_ups", 0) for r in writers),
        "writer_retries": sum(r.get("retry_pauses", 0) for r in writers),
        "reads": sum(r.get("reads", 0) for r in readers),
        "columns_verified": sum(r.get("columns_checked", 0) for r in readers),
        "reader_failed_opens": sum(r.get("error_records", 0) for r in readers),
        "reader_retries": sum(r.get("retry_pauses", 0) for r in readers),
        "dates_in_final_file": sum(1 for t in expected.values() if t),
        "inconsistencies": len(unexpected) + len(final_problems),
    }
    give_up_errors = sorted({e for r in writers for e in r.get("give_up_errors", [])})
    return {
        "config": {k: v for k, v in config.items() if k != "calendar"},
        "elapsed_seconds": round(elapsed, 1),
        "totals": totals,
        "give_up_errors": give_up_errors[:3],
        "problems": (unexpected + final_problems)[:50],
        "expected_tokens": {str(j): t for j, t in sorted(expected.items())},
        "children": results,
    }


def report_text(summary):
    c, t = summary["config"], summary["totals"]
    lines = [
        f"{c['writers']} writer and {c['readers']} reader processes on one factor file for {c['duration']} s "
        f"({summary['elapsed_seconds']} s with the ends of the last operations)",
        f"  {c['instruments']} instruments + checksum row, {c['dates']} dates, each owned by one writer",
        "",
        f"  writes landed                              {t['writes_landed']:>7}",
        f"  writes given up by get_h5's retry          {t['writes_given_up']:>7}",
        f"  writer retries (retry-wrapper pauses)      {t['writer_retries']:>7}",
        f"  reads (every instrument, every date)       {t['reads']:>7}",
        f"  written columns verified by readers        {t['columns_verified']:>7}",
        f"  reader waits (failed opens logged, ERROR)  {t['reader_failed_opens']:>7}",
        f"  reader retries (retry-wrapper pauses)      {t['reader_retries']:>7}",
        f"  dates checked in the final file            {t['dates_in_final_file']:>7}",
        f"  inconsistencies                            {t['inconsistencies']:>7}",
    ]
    if summary["give_up_errors"]:
        lines += ["", "  writes gave up with:"] + [f"    {e}" for e in summary["give_up_errors"]]
    if summary["problems"]:
        lines += ["", "  problems:"] + [f"    {p}" for p in summary["problems"]]
    return "\n".join(lines)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--duration", type=float, default=60.0, help="seconds to run (default 60)")
    parser.add_argument("--writers", type=int, default=4)
    parser.add_argument("--readers", type=int, default=4)
    parser.add_argument("--instruments", type=int, default=200)
    parser.add_argument("--dates", type=int, default=40, help="dates written, shared out among the writers")
    parser.add_argument("--writer-pause", type=float, default=0.05, help="longest pause between writes (s)")
    parser.add_argument("--reader-pause", type=float, default=0.1, help="longest pause between reads (s)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dir", help="where to make the factor file (default: a temporary directory)")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    return parser.parse_args(argv)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--child"]:
        child_main(argv[1], argv[2])
        return 0
    args = parse_arguments(argv)
    if args.writers < 1 or args.dates < args.writers:
        raise SystemExit("need at least one writer and one date per writer")
    directory = args.dir or tempfile.mkdtemp(prefix="quorbel-contention-")
    config = {
        "path": os.path.join(directory, "contended.h5"),
        "duration": args.duration,
        "writers": args.writers,
        "readers": args.readers,
        "instruments": args.instruments,
        "dates": args.dates,
        "calendar": trading_calendar(args.dates + 10),
        "writer_pause": args.writer_pause,
        "reader_pause": args.reader_pause,
        "seed": args.seed,
    }
    if os.path.exists(config["path"]):
        os.remove(config["path"])
    summary = run(config)
    print(json.dumps(summary) if args.json else report_text(summary))
    return 0 if summary["totals"]["inconsistencies"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
