"""Named points in time of a library: ``lib.snapshot(label)`` records when,
and ``as_of=label`` reads the library as it was then.

A snapshot copies nothing: the factors' histories already hold every past
state, so a label is only a name for a time, kept in
``<root>/.quorbel/snapshots.json``, a JSON object label -> UTC nanoseconds
that pruning reads too (it keeps every snapshot readable). The file is
replaced whole (temp file, fsync, rename, fsync of the folder) under a lock,
so that two processes adding labels at once both keep theirs.
"""

from __future__ import annotations

import fcntl
import json
import os

from .. import detail
from .atomic_files import write_text_atomically
from ..history_times import from_ns, parses_as_time

__all__ = ["snapshots_path", "read_snapshots", "add_snapshot", "list_snapshots", "history_now"]

FOLDER = ".quorbel"
FILE = "snapshots.json"


def snapshots_path(root: str) -> str:
    """``<root>/.quorbel/snapshots.json``."""
    return os.path.join(root, FOLDER, FILE)


def history_now() -> int:
    """Now on the clock that dates commits: the engine's fake clock while a
    test sets one (``detail._history_clock``), else UTC nanoseconds."""
    return int(detail._history_now())


def read_snapshots(root: str) -> dict:
    """The library's labels and their times (UTC ns); {} when it has none."""
    from .history_writes import snapshot_times

    return snapshot_times(root)


def check_label(label) -> str:
    """A label as a snapshot may have it: text that no reader would take for a time."""
    if not isinstance(label, str):
        raise TypeError(f"a snapshot label must be a str, not {type(label).__name__}")
    if not label.strip():
        raise ValueError("a snapshot label must not be empty")
    if parses_as_time(label):
        raise ValueError(f"snapshot label {label!r} reads as a timestamp, and as_of={label!r} would mean that "
                         "time: pick a label with a word in it, such as 'close-2023-06-02'")
    return label


def add_snapshot(root: str, label: str) -> int:
    """Records `label` for now; returns the time (UTC ns)."""
    check_label(label)
    path = snapshots_path(root)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(os.path.join(root, FOLDER, ".snapshots.lock"), "a") as lock:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX)
        labels = read_snapshots(root)
        if label in labels:
            raise ValueError(f"snapshot {label!r} exists already (taken at {from_ns(labels[label])}); labels "
                             "name one time for good: pick another label")
        now = history_now()
        labels[label] = now
        write_text_atomically(path, json.dumps(labels, indent=1, sort_keys=True), ".snapshots-")
    return now


def list_snapshots(root: str) -> dict:
    """Label -> UTC Timestamp, in time order (labels of one time by label)."""
    labels = read_snapshots(root)
    return {label: from_ns(ns) for label, ns in sorted(labels.items(), key=lambda item: (item[1], item[0]))}
