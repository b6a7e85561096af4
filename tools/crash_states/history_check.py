"""Whether the history beside a factor file describes exactly the commits the
file holds, after a crash and the engine's recovery.

The reference run counts the history's records after every engine call; the
states it passes through form a chain, record count -> the file's state.
A crash state's history must have a count of that chain, the file must be
that count's state, and undoing its records newest first must pass through
every earlier state of the chain: a record of a commit the file does not
hold, or a commit without its record, breaks one of these. The history is
decoded with the tests' reader, written from the documented format alone.
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import history_reader  # noqa: E402

from .verdicts import summarize  # noqa: E402


def record_count(path):
    """Records of the history beside `path`; None when it has none."""
    history = path + ".history"
    if not os.path.exists(history):
        return None
    return len(history_reader.read_history(history).records)


def chain_of(summaries, counts, scenario, name):
    """{count: (cursor, column digests)} of the states a file passes through.

    Raises
    ------
    RuntimeError
        Two states with the same count differ (a commit without a record)
        or the count falls (a record lost without a crash).
    """
    chain, last = {}, None
    for index, (summary, count) in enumerate(zip(summaries, counts)):
        if count is None or not summary["exists"]:
            continue
        state = {"cursor": summary["cursor"], "columns": summary["columns"]}
        if count in chain and chain[count] != state:
            raise RuntimeError(f"scenario {scenario}: {name} changed after call {index} without a history record")
        if last is not None and count < last:
            raise RuntimeError(f"scenario {scenario}: the history of {name} lost records at call {index}")
        chain[count], last = state, count
    return {str(count): state for count, state in chain.items()}


def _state(matrix, cursor, rows):
    summary = summarize(matrix, None if cursor == -1 else cursor, rows)
    return {"cursor": summary["cursor"], "columns": summary["columns"]}


def history_faults(path, matrix, cursor, expectation):
    """[("history", detail)] for what is wrong with the history beside `path`
    (the file read as `matrix` and `cursor`); [] when nothing is."""
    wanted = expectation.get("history")
    if not wanted:
        return []
    # Keys are text once an expectation has gone through JSON (a reproduction).
    chain = {int(count): {"cursor": state["cursor"], "columns": {int(j): d for j, d in state["columns"].items()}}
             for count, state in wanted["chain"].items()}
    counts = wanted["counts"]  # per acceptable state: a count, None (no history) or -1 (not known)
    if not os.path.exists(path + ".history"):
        if None in counts:
            return []
        return [("history", "the history is missing")]
    try:
        history = history_reader.read_history(path + ".history")
    except (OSError, ValueError) as error:
        return [("history", f"the history cannot be read: {error}")]
    if history.end != history.size:
        return [("history", f"{history.size - history.end} bytes past the history's last whole record")]
    if [r.seq for r in history.records] != list(range(1, len(history.records) + 1)):
        return [("history", "the history's sequence numbers are not 1, 2, 3, ...")]
    count = len(history.records)
    if count not in chain:
        return [("history", f"{count} records, a count no commit leaves (commits leave {sorted(chain)})")]
    if not any(c == count or c == -1 for c in counts):
        return [("history", f"{count} records where the calls allow {counts}")]
    rows = expectation["rows"]
    matrix = np.array(matrix, dtype=float)
    cursor = -1 if cursor is None else cursor
    if _state(matrix, cursor, rows) != chain[count]:
        return [("history", f"the file is not the state its {count} records describe")]
    for k in range(count, min(chain), -1):
        record = history.records[k - 1]
        if any(e.state == history_reader.PRUNED for e in record.entries):
            break  # old values pruned: nothing before it can be rebuilt
        cursor = history_reader.undo(matrix, record)
        if k - 1 in chain and _state(matrix, cursor, rows) != chain[k - 1]:
            return [("history", f"undoing record {k} does not give the state {k - 1} records describe")]
    return []
