// The docstrings of the history calls (history_ops.cpp), numpydoc, which the
// stubs and the API pages carry.
#pragma once

namespace quorbel::docs {

inline constexpr const char *kEnableHistory = R"doc(Start recording the history of an open factor file.

Writes ``<file>.history`` beside the file: its header and a baseline record
that notes, for every column holding values, how many it holds, with
``cursor_col`` as it is. From then on every write transaction of the file,
whoever makes it, appends one record holding the old values of the cells it
changed, so the factor can be read as it was at any later time. The file
itself does not change. The history is built as a hidden temporary, synced
and published by a rename, under the file's write lock.

Parameters
----------
h5 : FactorFile
    A factor file open for writing.

Returns
-------
bool
    True when the history was started, False when the file had one already
    (nothing changes then).

Raises
------
ValueError
    For a handle open for reading only, or a closed one.
OSError
    When the history cannot be written (nothing is left behind then).

Examples
--------
>>> import os
>>> import quorbel.detail as qd
>>> h5 = qd.get_h5("recorded.h5", write=True)
>>> qd._enable_history(h5), qd._enable_history(h5)
(True, False)
>>> h5.close()
>>> os.path.exists("recorded.h5.history")
True
)doc";

inline constexpr const char *kHistoryClock = R"doc(Set the clock that dates history records, for tests.

Records are dated in UTC nanoseconds since the epoch (``CLOCK_REALTIME``).
Given a time, every later commit in this process is dated then instead;
given None, the real clock is back. Either way a file's records never go
back in time: a commit takes at least its last record's time plus one.

Parameters
----------
ns : int or None
    Nanoseconds since the epoch, UTC; None for the real clock.

Returns
-------
None

Raises
------
TypeError
    For a value that is not an integer.

Examples
--------
>>> import quorbel.detail as qd
>>> qd._history_clock(1_700_000_000_000_000_000)
>>> qd._history_clock(None)
)doc";

inline constexpr const char *kSetCursor = R"doc(Set ``cursor_col`` of an open factor file, lower or higher.

Writers only ever raise ``cursor_col``; this stores the column given, as one
journalled transaction (recorded in the history when the file keeps one).
-1 means no date written: the attribute is removed, as a new file has none.

Parameters
----------
h5 : FactorFile
    A factor file open for writing.
column : int
    A column of the matrix, or -1.

Returns
-------
None

Raises
------
ValueError
    For a column below -1, naming the file; a closed handle.
IndexError
    For a column past the matrix, naming the file.
OSError
    For a handle open for reading only.

Examples
--------
>>> import quorbel.detail as qd
>>> h5 = qd.get_h5("cursor.h5", write=True)
>>> qd._set_cursor(h5, 3)
>>> int(h5["data"].attrs["cursor_col"])
3
>>> qd._set_cursor(h5, -1)
>>> "cursor_col" in h5["data"].attrs
False
>>> h5.close()
)doc";

inline constexpr const char *kRestoreColumns = R"doc(Write whole columns of an open factor file exactly as given, and set ``cursor_col``.

Every column is written with the values given, NaN included (unlike the
writers, for which NaN means "no value to store"), and ``cursor_col`` is set
as ``_set_cursor`` sets it, all in one transaction: after a crash either
all of it is there or none, and a file that keeps a history gets one record
for it. This is what reverting a factor to an earlier time writes.

Parameters
----------
h5 : FactorFile
    A factor file open for writing.
columns : sequence of int
    Distinct columns of the matrix.
values : numpy.ndarray
    float64 of shape ``(rows of the matrix, len(columns))``: ``values[:, i]``
    goes into ``columns[i]``.
cursor : int
    The ``cursor_col`` to store: a column, or -1 for none.

Returns
-------
None

Raises
------
TypeError
    For values that are not a 2-d float64 array.
ValueError
    For values of another shape, a column given twice, a cursor below -1.
IndexError
    For a column or cursor past the matrix. Nothing is written then.

Examples
--------
>>> import numpy as np
>>> import quorbel.detail as qd
>>> h5 = qd.get_h5("restored.h5", write=True)
>>> rows = h5["data"].shape[0]
>>> qd._restore_columns(h5, [0, 1], np.full((rows, 2), 1.5), 1)
>>> float(h5["data"][0, 1]), int(h5["data"].attrs["cursor_col"])
(1.5, 1)
>>> h5.close()
)doc";

inline constexpr const char *kPruneHistory = R"doc(Drop the old values of old history records of an open factor file.

Records older than the cutoff keep their times, cursors and the count of
cells each column changed, but not the cells' old values: the factor can no
longer be read as of a time before the newest of them. The cutoff is
``before_ns``, or the earliest kept time before it, so that reads as of
every kept time still work. The history is rewritten as a whole and
replaced atomically, under the file's write lock.

Parameters
----------
h5 : FactorFile
    A factor file open for writing that keeps a history.
before_ns : int
    UTC nanoseconds since the epoch.
keep_ns : sequence of int, optional
    Times whose reads must keep working (snapshots).

Returns
-------
int
    Bytes the history shrank by; 0 when nothing was old enough.

Raises
------
ValueError
    For a file without history (saying how to enable it), a handle open for
    reading only, a closed one, or a damaged history.
OSError
    When the new history cannot be written (the old one stays).

Examples
--------
>>> import quorbel.detail as qd
>>> h5 = qd.get_h5("pruned.h5", write=True)
>>> qd._enable_history(h5)
True
>>> qd._prune_history(h5, 0)
0
>>> h5.close()
)doc";

}  // namespace quorbel::docs
