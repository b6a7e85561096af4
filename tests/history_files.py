"""History files written with plain tools (struct, zlib, NumPy), byte for byte
as the file format page lays them out: the reads are tested on histories
that the engine's own encoder did not write.

A record is given as a commit: its time, the cursor before and after, and
per changed column one of

- ``("empty", cells)``: the column held no value before (state 0);
- ``("cells", rows, old_values)``: the changed rows and their old values (state 1);
- ``("pruned", cells)``: the old values were dropped by pruning (state 2);
- ``("deflated", rows, old_values)``: as ``"cells"``, stored deflated (state 3);
  a fourth item, when given, is written as the stream instead.
"""

import struct
import zlib

import numpy as np

HEADER = struct.Struct("<8sIIq36sI")
HEAD = struct.Struct("<4sHHQqqqIIQ")
ENTRY = struct.Struct("<IIII")
TRAILER = struct.Struct("<I4s")

COMMIT, BASELINE = 1, 2


def header(began_ns):
    body = struct.pack("<8sIIq36s", b"QRBHIST1", 1, 64, began_ns, bytes(36))
    return body + struct.pack("<I", zlib.crc32(body))


def entry_bytes(column, change):
    kind = change[0]
    if kind == "empty":
        return ENTRY.pack(column, 0, change[1], 0)
    if kind == "pruned":
        return ENTRY.pack(column, 2, change[1], 0)
    assert kind in ("cells", "deflated")
    rows = np.asarray(change[1], dtype="<u4")
    old = np.asarray(change[2], dtype="<f8")
    assert len(rows) == len(old) and np.all(np.diff(rows.astype(np.int64)) > 0)
    if kind == "deflated":
        planes = np.frombuffer(rows.tobytes(), np.uint8).reshape(-1, 4).T.tobytes() + \
            np.frombuffer(old.tobytes(), np.uint8).reshape(-1, 8).T.tobytes()
        stream = change[3] if len(change) > 3 else zlib.compress(planes)
        return ENTRY.pack(column, 3, len(rows), len(stream)) + stream + bytes(-len(stream) % 8)
    row_bytes = rows.tobytes()
    row_bytes += bytes(-len(row_bytes) % 8)
    return ENTRY.pack(column, 1, len(rows), 0) + row_bytes + old.tobytes()


def record(seq, time_ns, cursor_before, cursor_after, changes, kind=COMMIT, flags=0):
    """One record's bytes; `changes` maps column -> change, written in column order."""
    payload = b"".join(entry_bytes(column, changes[column]) for column in sorted(changes))
    head = HEAD.pack(b"QRBC", kind, flags, seq, time_ns, cursor_before, cursor_after, len(changes), 0,
                     len(payload))
    body = head + payload
    return body + TRAILER.pack(zlib.crc32(body), b"QRBE")


class HistoryWriter:
    """Builds a history beside a factor file, record by record.

    ``baseline`` gives the columns that held values when history began
    (column -> count); the baseline record is written at `began_ns`.
    """

    def __init__(self, factor_path, began_ns, baseline=None, cursor=-1):
        self.path = str(factor_path) + ".history"
        self.seq = 0
        self.cursor = cursor
        self.last_time = began_ns
        with open(self.path, "wb") as f:
            f.write(header(began_ns))
        self._append(began_ns, cursor, cursor, {c: ("empty", n) for c, n in (baseline or {}).items()}, BASELINE)

    def _append(self, time_ns, before, after, changes, kind=COMMIT, flags=0):
        self.seq += 1
        with open(self.path, "ab") as f:
            f.write(record(self.seq, time_ns, before, after, changes, kind, flags))
        self.last_time = time_ns

    def commit(self, time_ns, changes, cursor_after=None):
        """A commit at `time_ns`; the cursor moves to `cursor_after` when given."""
        assert time_ns >= self.last_time
        before = self.cursor
        self.cursor = before if cursor_after is None else cursor_after
        self._append(time_ns, before, self.cursor, changes)


def diff_changes(before, after):
    """What a commit from matrix `before` to `after` records, as the engine
    decides it: per column whose cells differ bit for bit (NaN alike), state
    0 when the column held no value, else the changed rows and old values."""
    changes = {}
    for column in range(before.shape[1]):
        old, new = before[:, column], after[:, column]
        differ = ~((old.view(np.uint64) == new.view(np.uint64)) | (np.isnan(old) & np.isnan(new)))
        if not differ.any():
            continue
        rows = np.flatnonzero(differ)
        if np.isnan(old).all():
            changes[column] = ("empty", len(rows))
        else:
            changes[column] = ("cells", rows, old[rows])
    return changes


class Story:
    """A factor file and its history, built commit by commit; the file holds
    the last version, and every version is kept for the expectations. The
    file is written first and its history after: the engine records every
    write to a file that has one."""

    def __init__(self, path, shape, start=None, cursor=None, began=0, baseline=True):
        self.path = str(path)
        self.shape = tuple(shape)
        start = np.full(self.shape, np.nan) if start is None else start
        self.baseline = {c: int((~np.isnan(start[:, c])).sum()) for c in range(self.shape[1])
                         if baseline and not np.isnan(start[:, c]).all()}
        self.versions = [(began, start.copy(), cursor)]
        self.writer = None

    @property
    def matrix(self):
        return self.versions[-1][1]

    def commit(self, time_ns, matrix, cursor="same"):
        cursor = self.versions[-1][2] if cursor == "same" else cursor
        self.versions.append((time_ns, matrix.copy(), cursor))
        return self

    def at(self, time_ns):
        """(matrix, cursor) as of a time: the last version committed by then."""
        kept = [v for v in self.versions if v[0] <= time_ns]
        if not kept:
            return np.full(self.shape, np.nan), None
        return kept[-1][1], kept[-1][2]

    def finish(self, detail):
        f = detail.create_new_factor_h5(self.path, self.shape)
        try:
            for j in range(self.shape[1]):
                f["data"][:, j] = self.matrix[:, j]
            if self.versions[-1][2] is not None:
                f["data"].attrs["cursor_col"] = self.versions[-1][2]
        finally:
            f.close()
        began, matrix, cursor = self.versions[0]
        self.writer = HistoryWriter(self.path, began, self.baseline, -1 if cursor is None else cursor)
        for time_ns, after, cursor in self.versions[1:]:
            self.writer.commit(time_ns, diff_changes(matrix, after), -1 if cursor is None else cursor)
            matrix = after
        return self
