"""What a factor file may hold after a crash, and whether it does.

The reference run gives the file after every engine call (and a batch's
state after each of its dates). At a crash, every call that had returned is
kept, and the call in flight left the file as before it, as after it, or
(a batch) after a prefix of its dates. Matrices are compared column by
column through digests over a common number of rows (NaN below a matrix's
own rows, as growth may or may not have happened), so an expectation is
small enough to travel with a reproduction.
"""

import hashlib

import numpy as np

KINDS = {
    "missing": "the file is missing or does not open where it must exist",
    "disagree": "the engine and h5py (or the engine's row stream) read different cells or cursor_col",
    "lost": "something a returned call wrote is lost",
    "torn": "the date in flight is neither wholly old nor wholly new",
    "not-prefix": "a batch's committed dates are not a prefix of it",
    "split-band": "a batch's committed dates end inside a band of chunk columns, which commits whole",
    "next-write": "the file does not take the next write as an uncrashed file does",
    "unwritten-changed": "a column nobody wrote changed",
    "cursor-past": "cursor_col is past the last complete date",
    "journal-left": "a journal is left behind after an open",
    "history": "the history's records are not exactly the commits the file holds",
    "hang": "the check did not finish",
    "crash": "the checking process died",
}


def _padded(matrix, rows):
    """`matrix` with exactly `rows` rows (NaN added below), and whether the
    rows cut off held only NaN per column."""
    have = matrix.shape[0]
    if have >= rows:
        extra_clean = np.isnan(matrix[rows:]).all(axis=0) if have > rows else np.ones(matrix.shape[1], bool)
        return matrix[:rows], extra_clean
    pad = np.full((rows - have, matrix.shape[1]), np.nan)
    return np.vstack([matrix, pad]), np.ones(matrix.shape[1], bool)


def _digest(column):
    canonical = np.where(np.isnan(column), np.nan, column).astype("<f8")
    return hashlib.sha1(canonical.tobytes()).hexdigest()[:20]


def nan_digest(rows):
    return _digest(np.full(rows, np.nan))


def column_digests(matrix, rows):
    """The digest of every column of `matrix` over `rows` rows, as judge compares them."""
    padded, _ = _padded(np.asarray(matrix, dtype="<f8"), rows)
    return [_digest(padded[:, j]) for j in range(padded.shape[1])]


def summarize(matrix, cursor, rows):
    """A file's state as an expectation holds it: shape, cursor and the
    digests of its columns that hold any value."""
    padded, _ = _padded(np.asarray(matrix, dtype="<f8"), rows)
    columns = {j: _digest(padded[:, j]) for j in range(padded.shape[1]) if not np.isnan(padded[:, j]).all()}
    return {"exists": True, "shape": list(matrix.shape), "cursor": cursor, "columns": columns}


ABSENT = {"exists": False}


def spans(columns):
    """Sorted column numbers as runs: [0, 1, 2, 5] -> "0-2, 5"."""
    runs = []
    for j in sorted(columns):
        if runs and j == runs[-1][1] + 1:
            runs[-1][1] = j
        else:
            runs.append([j, j])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


class FileHistory:
    """One factor file through a scenario, from the reference run.

    Parameters
    ----------
    snapshots : list
        ``(matrix, cursor)`` or None (no file) before the first call and
        after each call.
    prefixes : dict
        call -> ``[(matrix, cursor), ...]`` after each of a batch's first dates.
    written : dict
        call -> the columns it writes into this file, in order.
    prepared_columns : list
        Columns written before the scenario started.
    band_ends : dict, optional
        call -> the numbers of a batch's first dates after which one of its
        bands of chunk columns ends (0 and the batch's length included): a
        crash may leave only those prefixes.
    write_again : dict, optional
        ``{"call": c, "columns": [...], "round": r}``: the batch of call `c`,
        which the checks write again into every crash state; the columns must
        then hold what they hold after call `c`.
    """

    def __init__(self, snapshots, prefixes, written, prepared_columns, band_ends=None, write_again=None,
                 history=None):
        shapes = [s[0].shape[0] for s in snapshots if s is not None]
        shapes += [m.shape[0] for states in prefixes.values() for m, _ in states]
        self.rows = max(shapes) if shapes else 0
        self.states = [ABSENT if s is None else summarize(s[0], s[1], self.rows) for s in snapshots]
        self.prefixes = {call: [summarize(m, c, self.rows) for m, c in states] for call, states in prefixes.items()}
        self.written = written
        self.prepared_columns = list(prepared_columns)
        # {"chain": {count: state}, "counts": [records after each call, None: no history]}
        self.history = history
        self.band_ends = dict(band_ends or {})
        self.write_again = None
        if write_again:
            after = self.states[write_again["call"]]["columns"]
            self.write_again = {"columns": list(write_again["columns"]), "round": write_again.get("round", 0),
                                "digests": [after.get(j, nan_digest(self.rows)) for j in write_again["columns"]]}

    def unchanged_writes(self):
        """{call: columns it writes but leaves as they were}: a crash state
        cannot show whether such a column was written."""
        out = {}
        for call, columns in self.written.items():
            before, after = self.states[call - 1], self.states[call]
            if before["exists"] and after["exists"]:
                same = [j for j in columns if before["columns"].get(j) == after["columns"].get(j)]
                if same:
                    out[call] = same
        return out

    def expectation(self, returned, in_flight):
        """What the file may hold when call `in_flight` (or none) was running
        and call `returned` was the last to return."""
        if in_flight is None:
            acceptable = [self.states[returned]]
            flight = []
            done_calls = range(1, returned + 1)
        else:
            acceptable = [self.states[in_flight - 1], *self.prefixes.get(in_flight, []), self.states[in_flight]]
            flight = list(self.written.get(in_flight, []))
            done_calls = range(1, in_flight)
        returned_columns = set(self.prepared_columns)
        for call in done_calls:
            returned_columns.update(self.written.get(call, []))
        history = None
        if self.history:
            counts = self.history["counts"]
            if in_flight is None:
                allowed = [counts[returned]]
            else:
                allowed = [counts[in_flight - 1], *[-1] * len(self.prefixes.get(in_flight, [])), counts[in_flight]]
            history = {"chain": self.history["chain"], "counts": allowed}
        return {"rows": self.rows, "acceptable": acceptable, "in_flight_columns": flight, "history": history,
                "returned_columns": sorted(returned_columns - set(flight)),
                "band_ends": self.band_ends.get(in_flight), "write_again": self.write_again}


def judge(matrix, cursor, expectation, unreadable=()):
    """Violations of a file read after a crash, and what it was found to be.

    Parameters
    ----------
    matrix : numpy.ndarray or None
        The cells the engine read; None when nothing is at the path.
    cursor : int or None
        ``cursor_col``, None when the attribute is missing.
    expectation : dict
        From ``FileHistory.expectation`` (JSON round trips keep it valid).
    unreadable : collection of int
        Columns whose cells could not be read: they match no state.

    Returns
    -------
    (list of (kind, detail), str)
    """
    acceptable = expectation["acceptable"]
    present = [s for s in acceptable if s["exists"]]
    if matrix is None:
        if len(present) < len(acceptable):
            return [], "absent"
        return [("missing", "no file at the path")], "absent"
    if not present:
        return [("lost", "a file is at the path after the call that removed it returned")], "present"
    rows = expectation["rows"]
    padded, extra_clean = _padded(np.asarray(matrix, dtype="<f8"), rows)
    nan = nan_digest(rows)
    columns = max(padded.shape[1], *(s["shape"][1] for s in present))
    observed = [_digest(padded[:, j]) if j < padded.shape[1] else nan for j in range(columns)]
    for j in unreadable:
        observed[j] = "unreadable"
    problems = []
    for j in range(padded.shape[1]):
        if not extra_clean[j]:
            problems.append(("unwritten-changed", f"column {j} holds values below row {rows}"))

    stored = {id(s): {int(k): v for k, v in s["columns"].items()} for s in present}

    def expected(state, j):
        return stored[id(state)].get(j, nan)

    before, after = present[0], present[-1]
    flight = expectation["in_flight_columns"]
    returned = set(expectation["returned_columns"])
    changed = {"lost": [], "unwritten-changed": []}
    for j in range(columns):
        if j not in flight and observed[j] != expected(before, j):
            changed["lost" if j in returned else "unwritten-changed"].append(j)
    for kind, found in changed.items():
        if found:
            damaged = [j for j in found if observed[j] == "unreadable"]
            problems.append((kind, f"column(s) {spans(found)} differ from the state the returned calls left"
                                   + (f" ({spans(damaged)} cannot be read)" if damaged else "")))

    # The dates in flight: each wholly old or wholly new, the new ones first.
    states = []
    for j in flight:
        if observed[j] == expected(after, j):
            states.append("new")
        elif observed[j] == expected(before, j):
            states.append("old")
        else:
            states.append("torn")
    matched = before
    if "torn" in states:
        torn = [j for j, s in zip(flight, states) if s == "torn"]
        damaged = [j for j in torn if observed[j] == "unreadable"]
        problems.append(("torn", f"column(s) {spans(torn)} neither wholly old nor wholly new"
                                 + (f" ({spans(damaged)} cannot be read)" if damaged else "")))
    elif flight:
        done = states.count("new")
        ends = expectation.get("band_ends")
        if states != ["new"] * done + ["old"] * (len(states) - done):
            problems.append(("not-prefix", f"dates {dict(zip(flight, states))} are not a prefix of the batch"))
        else:
            if ends and done not in ends:
                problems.append(("split-band", f"the batch's first {done} dates are new and the rest old; its "
                                               f"bands end after {ends[1:]} dates"))
            if len(present) == len(flight) + 1:
                matched = present[done]
            elif done:
                matched = after
    outcome = ",".join(f"{j}:{s}" for j, s in zip(flight, states)) or "as before"

    shapes = {tuple(s["shape"]) for s in present}
    if tuple(matrix.shape) not in shapes:
        kind = "torn" if len(acceptable) > 1 else "lost"
        problems.append((kind, f"shape {tuple(matrix.shape)} is none of {sorted(shapes)}"))

    want = matched["cursor"]
    if want is not None and cursor is None:
        problems.append(("lost" if matched is before else "torn", f"cursor_col is missing, expected {want}"))
    elif cursor is not None and (want is None or cursor > want):
        problems.append(("cursor-past", f"cursor_col {cursor} is past the last complete date's {want}"))
    elif cursor is not None and cursor < want:
        kind = "lost" if matched is before else "torn"
        problems.append((kind, f"cursor_col {cursor} is behind the expected {want}"))
    return problems, outcome
