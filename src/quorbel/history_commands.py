"""``quorbel history``: a factor file's commits, one date's revisions, and
``quorbel history enable`` to start recording them.

- ``quorbel history FILE``: one line per commit (time in UTC, sequence
  number, kind, the dates it wrote, cells new and revised, the cursor's
  move);
- ``quorbel history FILE --date D``: each commit that touched the date, with
  the old and new value of a few revised cells;
- ``quorbel history enable PATH``: history for a factor file, or for every
  factor of a library folder and those created in it later.

Like ``info``, it needs the trading calendar only, not the instrument index:
cells are shown by matrix row.
"""

from __future__ import annotations

import json
import math
import os

import numpy as np

from . import _extras, detail
from ._extras import CommandError
from .dates import date_code

__all__ = ["add_history_commands", "run_history_command", "time_text"]

KINDS = {1: "commit", 2: "baseline"}
STATES = {0: "new", 1: "revised", 2: "pruned"}


def _say(text):
    print(text, flush=True)


def time_text(ns: int) -> str:
    """``2024-01-02 09:00:00.25 UTC``: UTC, the fraction of a second without its trailing zeros."""
    seconds, fraction = divmod(int(ns), 10**9)
    whole = np.datetime64(seconds, "s").astype(object).strftime("%Y-%m-%d %H:%M:%S")
    return whole + (f".{fraction:09d}".rstrip("0") if fraction else "") + " UTC"


def _date_text(column) -> str:
    """A column as its trading date (2018-01-02), or ``column N`` beyond the calendar."""
    if column is None:
        return "none"
    calendar = detail.get_all_trading_dates()
    if 0 <= column < len(calendar):
        code = calendar[column]
        return f"{code // 10000:04d}-{code // 100 % 100:02d}-{code % 100:02d}"
    return f"column {column}"


def _dates_text(columns: list) -> str:
    if not columns:
        return "-"
    if len(columns) <= 3:
        return ", ".join(_date_text(c) for c in columns)
    return f"{_date_text(columns[0])}..{_date_text(columns[-1])} ({len(columns)} dates)"


def _factor_history(path: str, column=None) -> dict:
    if not os.path.isfile(path):
        raise CommandError(f"no such file: {path}")
    try:
        return _extras._history_log(path, column)
    except ValueError as error:
        raise CommandError(str(error)) from None


def _commit_summary(record: dict) -> dict:
    entries = record["entries"]
    return {
        "seq": record["seq"],
        "time": time_text(record["time"]),
        "time_ns": record["time"],
        "kind": KINDS.get(record["kind"], f"kind {record['kind']}"),
        "dates": [_date_text(e[0]) for e in entries],
        "new_cells": sum(e[2] for e in entries if e[1] == 0),
        "revised_cells": sum(e[2] for e in entries if e[1] != 0),
        "cursor_before": None if record["cursor_before"] is None else _date_text(record["cursor_before"]),
        "cursor_after": None if record["cursor_after"] is None else _date_text(record["cursor_after"]),
        "columns": [e[0] for e in entries],
    }


def _listing(args) -> int:
    log = _factor_history(args.file)
    commits = [_commit_summary(r) for r in log["records"]]
    if args.json:
        for c in commits:
            del c["columns"]
        _say(json.dumps({"file": args.file, "history": log["path"], "began": time_text(log["began"]),
                         "began_ns": log["began"], "commits": commits}, indent=2))
        return 0
    _say(f"{args.file}: history since {time_text(log['began'])}, {len(commits)} records")
    rows = [("seq", "time", "kind", "dates", "new", "revised", "cursor")]
    for c in commits:
        before, after = c["cursor_before"] or "none", c["cursor_after"] or "none"
        moved = after if before == after else f"{before} -> {after}"
        rows.append((str(c["seq"]), c["time"], c["kind"], _dates_text(c["columns"]), str(c["new_cells"]),
                     str(c["revised_cells"]), moved))
    widths = [max(len(r[k]) for r in rows) for k in range(len(rows[0]))]
    right = {0, 4, 5}
    for r in rows:
        _say("  ".join(v.rjust(w) if k in right else v.ljust(w) for k, (v, w) in enumerate(zip(r, widths))).rstrip())
    if log["size"] > log["end"]:
        _say(f"({log['size'] - log['end']} bytes after the last whole record: a commit in progress, or one cut "
             "short that the next write removes)")
    return 0


def _number(value):
    return None if math.isnan(value) else value


def _column_now(path: str, column: int) -> np.ndarray:
    handle = detail.get_h5(path)
    if handle is None:
        raise CommandError(f"no such file: {path}")
    try:
        rows, columns = handle["data"].shape
        if column >= columns:
            return np.full(rows, np.nan)
        return np.asarray(handle["data"][:, column], dtype=np.float64)
    finally:
        handle.close()


def _date_revisions(path: str, column: int, limit: int) -> list:
    """Each commit that touched `column`, oldest first, with its revised
    cells' old and new values (at most `limit` of them, 0 for all)."""
    log = _factor_history(path, column)
    after = _column_now(path, column)  # undone commit by commit, newest first
    known = True  # False once a pruned commit hides the values before it
    found = []
    for record in reversed(log["records"]):
        entry = next((e for e in record["entries"] if e[0] == column), None)
        if entry is None:
            continue
        state, cells = entry[1], entry[2]
        item = {"seq": record["seq"], "time": time_text(record["time"]), "time_ns": record["time"],
                "kind": KINDS.get(record["kind"], f"kind {record['kind']}"), "state": STATES.get(state, str(state)),
                "cells": cells}
        if state == 1:
            rows, old = entry[3], entry[4]
            shown = range(len(rows)) if limit == 0 else range(min(limit, len(rows)))
            item["revisions"] = [{"row": int(rows[k]), "old": _number(float(old[k])),
                                  "new": _number(float(after[rows[k]])) if known else "unknown"} for k in shown]
            after[rows] = old
        elif state == 0:
            after[:] = np.nan
        else:
            known = False
        found.append(item)
    return found[::-1]


def _value_text(value) -> str:
    if value is None:
        return "NaN"
    return value if isinstance(value, str) else f"{value:g}"


def _one_date(args) -> int:
    try:
        code = date_code(args.date, "--date")
    except (TypeError, ValueError) as error:
        raise CommandError(str(error)) from None
    column = detail._get_date_index(code)
    if column is None:
        raise CommandError(f"{code} is not a trading date")
    if args.rows < 0:
        raise CommandError(f"--rows must be 0 (all) or more, not {args.rows}")
    found = _date_revisions(args.file, column, args.rows)
    date = _date_text(column)
    if args.json:
        _say(json.dumps({"file": args.file, "date": date, "column": column, "commits": found}, indent=2))
        return 0
    _say(f"{date} (column {column}) in {args.file}: {len(found)} {'record' if len(found) == 1 else 'records'} "
         "touched it")
    for item in found:
        cells = f"{item['cells']} {'cell' if item['cells'] == 1 else 'cells'}"
        what = {"new": f"{cells} written into the empty date", "revised": f"{cells} revised",
                "pruned": f"{cells} revised (old values pruned)"}.get(item["state"], item["state"])
        if item["kind"] == "baseline":
            what = f"{cells} held when history began"
        _say(f"{item['time']}  seq {item['seq']}  {what}")
        for r in item.get("revisions", []):
            _say(f"    row {r['row']}: {_value_text(r['old'])} -> {_value_text(r['new'])}")
        hidden = item["cells"] - len(item.get("revisions", [])) if item["state"] == "revised" else 0
        if hidden:
            _say(f"    ... {hidden} more (--rows 0 shows all)")
    return 0


def _enable(args) -> int:
    if not os.path.exists(args.path):
        raise CommandError(f"no such file or folder: {args.path}")
    from .library.history_writes import enable_history

    try:
        started = enable_history(args.path)
    except (ValueError, OSError) as error:
        raise CommandError(str(error)) from None
    for path in started:
        _say(f"history started: {path}")
    if os.path.isdir(args.path):
        _say(f"{len(started)} started; every factor of {args.path} keeps a history, and factors created there "
             "later keep one from their first write")
    elif not started:
        _say(f"{args.path} keeps a history already")
    return 0


def add_history_commands(commands) -> None:
    """Adds ``history`` to the command line's subcommands."""
    text = ("A factor file's commits: when, which dates, cells new and revised, the cursor's moves; --date D shows "
            "one date's revisions with old and new values. `quorbel history enable PATH` starts recording the "
            "history of a factor file, or of every factor of a library folder (and those created in it later).")
    p = commands.add_parser("history", help="A factor file's commits, one date's revisions, or `history enable "
                                            "PATH` to start recording them.", description=text)
    p.add_argument("file", metavar="FILE", help="the factor file (HDF5), or `enable` followed by PATH")
    p.add_argument("path", nargs="?", metavar="PATH", help="after `enable`: a factor file or a library folder")
    p.add_argument("--date", help="show one date's revisions, 20180102 or 2018-01-02")
    p.add_argument("--rows", type=int, default=5, help="with --date: revised cells shown per commit (default 5, "
                                                       "0 for all)")
    p.add_argument("--json", action="store_true", help="print the same as JSON")


def run_history_command(args) -> int:
    if args.path is not None:
        if args.file != "enable":
            raise CommandError(f"history takes one FILE, or `enable PATH`; not {args.file!r} and {args.path!r}")
        return _enable(args)
    if args.file == "enable" and not os.path.exists("enable"):
        raise CommandError("history enable needs a PATH: a factor file or a library folder")
    return _one_date(args) if args.date is not None else _listing(args)
