"""Which instrument each row of a library holds: the library's own record of
the instrument index.

Factor files store rows, not identifiers: the instrument index alone says
whose values a row holds. Were the index to move an instrument to another
row, every factor would be read and written under the wrong names from then
on, and nothing in the files could tell. So a library keeps the rows it was
written with in ``<root>/.quorbel/instruments.json`` (hidden: no factor),
refuses a write under an index that moved one of them, and labels reads
with it while the index cannot be reached.

The snapshot only grows: an instrument the index no longer lists keeps its
row here, since its values are still in the files. Writers that run at once
may both add instruments; each write's check reads the file afresh when it
changed, so an instrument one of them left out is added by the next write.
"""

from __future__ import annotations

import json
import logging
import os
import threading

from .atomic_files import write_text_atomically

__all__ = ["snapshot_path", "check_and_record", "snapshot_rows", "InstrumentsMovedError"]

FOLDER = ".quorbel"
FILE = "instruments.json"
FORMAT = "quorbel instrument snapshot"
VERSION = 1
# Moved instruments named in one error at most.
NAMED_AT_MOST = 5


class InstrumentsMovedError(ValueError):
    """A write refused because the instrument index moved instruments that
    the library's files hold to other rows."""


def snapshot_path(root: str) -> str:
    """``<root>/.quorbel/instruments.json``."""
    return os.path.join(root, FOLDER, FILE)


def _read(path: str) -> dict:
    try:
        with open(path, encoding="utf-8") as f:
            content = json.load(f)
    except json.JSONDecodeError as error:
        raise ValueError(f"{path}: the library's instrument snapshot is no JSON ({error}); restore it from a "
                         "backup, or remove it to record the rows of the current index") from None
    rows = content.get("rows") if isinstance(content, dict) else None
    if (not isinstance(content, dict) or content.get("format") != FORMAT or not isinstance(rows, dict)
            or not all(isinstance(r, int) and not isinstance(r, bool) for r in rows.values())):
        raise ValueError(f"{path}: not an instrument snapshot (a JSON object with format {FORMAT!r} and "
                         "rows {order_book_id: row}); restore it, or remove it to record the current index")
    return rows


def _signature(path: str):
    """What tells a changed snapshot file apart: None when there is none."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return None
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


class _Known:
    """A snapshot as last read or written, and the live index last found
    to agree with it."""

    def __init__(self, signature, rows, agreeing):
        self.signature, self.rows, self.agreeing = signature, rows, agreeing


_known = {}
_lock = threading.Lock()


def _moved(rows: dict, live) -> list:
    return [(i, row, live[i]) for i, row in rows.items() if i in live and live[i] != row]


def check_and_record(root: str, live) -> None:
    """Refuses a live index that moved an instrument the snapshot holds;
    records the instruments it adds.

    A call stats the snapshot; when neither the file nor the live index
    (the engine's cached mapping, the same object for an hour) changed since
    the last check, that is all it does.

    Parameters
    ----------
    root : str
        The library's folder.
    live : mapping
        The engine's instrument index, ``{order_book_id: row}``.

    Raises
    ------
    InstrumentsMovedError
        A ValueError naming the first moved instruments, their rows in the
        snapshot and in the index.
    ValueError
        When the snapshot is damaged, naming it.
    OSError
        When the snapshot cannot be read or written.
    """
    path = snapshot_path(root)
    with _lock:
        signature = _signature(path)
        known = _known.get(path)
        if known is not None and known.signature == signature and known.agreeing is live:
            return
        if known is not None and known.signature == signature:
            rows = known.rows
        else:
            rows = {} if signature is None else _read(path)
        moved = _moved(rows, live)
        if moved:
            _known[path] = _Known(signature, rows, None)
            shown = ", ".join(f"{i} (row {before} in the snapshot, {after} in the index)"
                              for i, before, after in moved[:NAMED_AT_MOST])
            more = f" and {len(moved) - NAMED_AT_MOST} more" if len(moved) > NAMED_AT_MOST else ""
            raise InstrumentsMovedError(
                f"the instrument index moved instruments that the factor files under {root} hold to other rows: "
                f"{shown}{more}. Nothing was written: every factor would hold their values under the wrong "
                f"rows. Restore their rows in the index, or keep the library's record {path} in step "
                "with a deliberate renumbering of the files.")
        added = {i: r for i, r in live.items() if i not in rows}
        if added or signature is None:
            rows = {**rows, **added}
            write_text_atomically(path, json.dumps({"format": FORMAT, "version": VERSION, "rows": rows},
                                                   indent=0, sort_keys=True), ".instruments-")
            signature = _signature(path)
        _known[path] = _Known(signature, rows, live)


def snapshot_rows(root: str):
    """The rows a library recorded, ``{order_book_id: row}``; None without a snapshot.

    Raises
    ------
    ValueError
        When the snapshot is damaged, naming it.
    """
    path = snapshot_path(root)
    with _lock:
        signature = _signature(path)
        if signature is None:
            return None
        known = _known.get(path)
        if known is not None and known.signature == signature:
            return known.rows
        rows = _read(path)
        _known[path] = _Known(signature, rows, None)
        return rows


def live_or_snapshot(root: str, fetch_live, what: str):
    """`fetch_live()`, or when it cannot reach the index, the library's
    snapshot with one WARNING on the root logger.

    Returns
    -------
    tuple
        ``(live result, None)`` or ``(None, snapshot rows)``.
    """
    try:
        return fetch_live(), None
    except ConnectionError as error:
        rows = snapshot_rows(root)
        if rows is None:
            raise
        logging.warning("the instrument index cannot be reached; %s labels rows from the library's snapshot %s "
                        "(%s)", what, snapshot_path(root), error)
        return None, rows


# ---- what the library's reads and writes call ---------------------------------


def check_before_write(root: str) -> None:
    """The check of :func:`check_and_record` against the engine's index."""
    from .. import detail

    check_and_record(root, detail._get_all_instrument_index())


def _rows_of_snapshot(rows: dict, ids) -> tuple:
    """(ids, rows) as ``_extras._cube_instruments`` makes them, from the snapshot."""
    import numpy as np

    if ids is None:
        listed = sorted(rows.items(), key=lambda item: item[1])
    else:
        listed = [(i, rows[i]) for i in ids if isinstance(i, str) and i in rows]
    return [i for i, _ in listed], np.array([r if r >= 0 else -1 for _, r in listed], dtype=np.int64)


def cube_instruments(root: str, ids) -> tuple:
    """The read's instruments and their rows from the live index, or from the
    snapshot while the index cannot be reached."""
    from .. import _extras

    live, recorded = live_or_snapshot(root, lambda: _extras._cube_instruments(ids), "this read")
    return live if recorded is None else _rows_of_snapshot(recorded, ids)


def library_instruments(root: str):
    """``quorbel.instruments()``, or the snapshot's ids and rows while the
    index cannot be reached (see FactorLibrary.instruments)."""
    import pandas as pd

    from ..instrument_index import instruments

    live, recorded = live_or_snapshot(root, instruments, "instruments()")
    if recorded is None:
        return live
    listed = sorted(recorded.items(), key=lambda item: item[1])
    return pd.DataFrame({"order_book_id": pd.Series([i for i, _ in listed], dtype=object),
                         "row": pd.Series([r for _, r in listed], dtype="int64")})
