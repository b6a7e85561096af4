"""The history beside a factor file, read with struct, zlib and NumPy alone.

Written from the file format page ("The history file"), not from the
engine's code, so that a test which decodes what the engine recorded checks
the engine against the documented bytes. It also rebuilds a factor as of a
time, the way the page says: the file as it is, with every record after
that time undone, newest first.
"""

import dataclasses
import struct
import zlib

import numpy as np

FILE_MAGIC = b"QRBHIST1"
RECORD_MAGIC = b"QRBC"
END_MAGIC = b"QRBE"
HEADER = struct.Struct("<8sIIq36xI")        # magic, version, header size, began, zero, CRC
HEAD = struct.Struct("<4sHHQqqqI4xQ")      # magic, kind, flags, seq, time, cursors, entries, payload size
ENTRY = struct.Struct("<IIII")             # column, state, cells, stream length (state 3) or zero
TRAILER = struct.Struct("<I4s")            # CRC of head and payload, end magic
COMMIT, BASELINE = 1, 2
WAS_EMPTY, CELLS, PRUNED, DEFLATED = 0, 1, 2, 3
PRUNED_FLAG = 1


@dataclasses.dataclass
class Entry:
    column: int
    state: int
    cells: int
    rows: np.ndarray = None   # uint32, states 1 and 3 only
    old: np.ndarray = None    # float64, states 1 and 3 only
    deflated: bool = False    # stored as state 3 (read back as state 1)


@dataclasses.dataclass
class Record:
    kind: int
    flags: int
    seq: int
    time: int
    cursor_before: int
    cursor_after: int
    entries: list
    offset: int
    size: int

    def columns(self):
        return [e.column for e in self.entries]


@dataclasses.dataclass
class History:
    began: int
    records: list
    end: int     # where the last whole record ends
    size: int    # the file's size


class NotAHistory(ValueError):
    pass


def path_of(factor_path):
    return str(factor_path) + ".history"


def read_history(path):
    """The header and every whole record, stopping at the first that is not."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < HEADER.size:
        raise NotAHistory(f"{path}: {len(data)} bytes, shorter than the header")
    magic, version, header_size, began, crc = HEADER.unpack_from(data, 0)
    if magic != FILE_MAGIC or version != 1 or header_size != HEADER.size or crc != zlib.crc32(data[:60]):
        raise NotAHistory(f"{path}: not a format 1 history header")
    records, at = [], HEADER.size
    while at + HEAD.size + TRAILER.size <= len(data):
        magic, kind, flags, seq, time, before, after, count, payload = HEAD.unpack_from(data, at)
        if magic != RECORD_MAGIC or payload % 8 or at + HEAD.size + payload + TRAILER.size > len(data):
            break
        body_end = at + HEAD.size + payload
        crc, end_magic = TRAILER.unpack_from(data, body_end)
        if end_magic != END_MAGIC or crc != zlib.crc32(data[at:body_end]):
            break
        entries, p = [], at + HEAD.size
        for _ in range(count):
            column, state, cells, stream = ENTRY.unpack_from(data, p)
            assert state in (WAS_EMPTY, CELLS, PRUNED, DEFLATED), (path, at, state)
            assert (stream > 0) == (state == DEFLATED), (path, at, state, stream)
            p += ENTRY.size
            entry = Entry(column, state, cells)
            if state == CELLS:
                entry.rows = np.frombuffer(data, "<u4", cells, p).copy()
                p += (cells * 4 + 7) // 8 * 8
                entry.old = np.frombuffer(data, "<f8", cells, p).copy()
                p += cells * 8
            elif state == DEFLATED:
                # The rows' four byte planes, then the values' eight.
                planes = np.frombuffer(zlib.decompress(data[p:p + stream]), np.uint8)
                assert planes.size == cells * 12, (path, at, column)
                entry.rows = planes[:cells * 4].reshape(4, cells).T.copy().view("<u4").ravel()
                entry.old = planes[cells * 4:].reshape(8, cells).T.copy().view("<f8").ravel()
                entry.state, entry.deflated = CELLS, True
                p += (stream + 7) // 8 * 8
            entries.append(entry)
        assert p == body_end, f"{path}: the payload of the record at {at} is longer than its entries"
        records.append(Record(kind, flags, seq, time, before, after, entries, at, body_end + TRAILER.size - at))
        at = body_end + TRAILER.size
    return History(began, records, at, len(data))


def undo(matrix, record):
    """Undoes one record in `matrix` (changed in place): what it held before."""
    for entry in record.entries:
        if entry.column >= matrix.shape[1]:
            raise ValueError(f"record {record.seq} changed column {entry.column}, past the matrix")
        if entry.state == WAS_EMPTY:
            matrix[:, entry.column] = np.nan
        elif entry.state == CELLS:
            matrix[entry.rows, entry.column] = entry.old
        else:
            raise ValueError(f"record {record.seq} was pruned: its old values are gone")
    return record.cursor_before


def as_of(matrix, cursor, history, t):
    """(matrix, cursor) as of time `t` (ns): every record after it undone."""
    matrix = np.array(matrix, dtype=float, copy=True)
    if t < history.began and history.records and history.records[0].entries:
        raise ValueError(f"history began at {history.began}, after {t}")
    for record in reversed(history.records):
        if record.time <= t:
            break
        cursor = undo(matrix, record)
    return matrix, cursor


def before_last(matrix, cursor, history):
    """(matrix, cursor) as they were before the history's last record."""
    matrix = np.array(matrix, dtype=float, copy=True)
    return matrix, undo(matrix, history.records[-1])


def known_at(history, columns):
    """Per column, the time of the first record with an entry for it (None: never written)."""
    first = {}
    for record in history.records:
        for entry in record.entries:
            first.setdefault(entry.column, record.time)
    return [first.get(c) for c in columns]
