// The docstrings of quorbel.detail's classes (numpydoc): the factor file
// handle, its view of `data` and that view's attributes, and the two lazy
// streams. The stub generator copies them into detail.pyi.
#pragma once

namespace quorbel::docs {

inline constexpr const char *kFactorFile = R"doc(An open factor file, as ``get_h5`` and ``create_new_factor_h5`` return it.

The caller owns the handle: close it, or use it in a ``with`` block. The
same handle is accepted by ``quorbel.read_panel``. ``h5["data"]`` is the
factor matrix (a ``DatasetView``); ``"data" in h5`` and ``h5.keys()`` list
the file's members. A closed handle is false.

Threads may share a handle. Every call on it is one use of the file: reads
run side by side; a change (a date written, a resize, an attribute set) has
the file to itself, so two writers on one handle take turns. ``close()``
lets no new call start, waits for the calls in flight, and then closes; a
later call raises ``ValueError``. A thread waiting for its turn lets other
Python threads run.

Raises
------
ValueError
    On use after ``close()`` ("Invalid file handle: the factor file is
    closed"), or a ``close()`` from inside a call on the same handle.
KeyError
    For ``h5[name]`` when the file has no dataset ``name``.

Examples
--------
>>> import quorbel.detail as qd
>>> h5 = qd.get_h5("handle.h5", write=True)
>>> "data" in h5, h5.mode
(True, 'r+')
>>> h5.close()
>>> bool(h5)
False
)doc";

inline constexpr const char *kFactorFileClose = R"doc(Close the file, after the calls in flight on it have ended.

Closing a closed handle does nothing.

Returns
-------
None

Raises
------
ValueError
    When called from inside another call on this handle, which would wait
    for itself.
)doc";

inline constexpr const char *kFactorFileFlush = R"doc(Write what HDF5 holds for the file to it.

Every change through the engine is synced when its call returns, so this is
only needed for changes HDF5 may still hold.

Returns
-------
None

Raises
------
ValueError
    When the handle is closed.
OSError
    When the flush fails.
)doc";

inline constexpr const char *kFactorFileFilename = R"doc(The path the file was opened with (str).)doc";

inline constexpr const char *kFactorFileMode = R"doc(``"r"`` for a reader, ``"r+"`` for a writer (str); ``ValueError`` once closed.)doc";

inline constexpr const char *kFactorFileKeys = R"doc(The names of the file's members.

Returns
-------
list of str
    ``["data"]`` for a factor file.

Raises
------
ValueError
    When the handle is closed.
)doc";

inline constexpr const char *kDatasetView = R"doc(The factor matrix ``data`` of an open factor file: ``h5["data"]``.

NumPy-style reads and writes of blocks: ``data[r, s:e]``, ``data[:, j] =
column``. Each change through the view (a block written, a resize, an
attribute set or deleted) is one write transaction, like a writer's date:
it is in the file and synced when the call returns, and a failed one is
undone. The matrix only grows. Reads of a matrix stored in another type
(written by another tool) convert as NumPy assignment does.

Raises
------
ValueError
    For a smaller shape in ``resize``, a name with a NUL character, or use
    after the file's handle was closed ("Invalid dataset handle: ...").
IndexError
    For an index beyond the matrix.
OSError
    When HDF5 or the file system fails; the change is undone.

Examples
--------
>>> import numpy as np
>>> import quorbel.detail as qd
>>> with qd.create_new_factor_h5("view.h5", (4, 3)) as h5:
...     data = h5["data"]
...     data[:, 0] = np.arange(4.0)
...     data.resize((4, 5))
...     data.shape, data[1, :2]
((4, 5), array([ 1., nan]))
)doc";

inline constexpr const char *kDatasetName = R"doc(The dataset's path in the file, ``"/data"`` (str).)doc";
inline constexpr const char *kDatasetShape = R"doc(Rows and columns of the matrix (tuple of int).)doc";
inline constexpr const char *kDatasetDtype = R"doc(The stored value type (numpy.dtype), ``float64`` for the engine's files.)doc";
inline constexpr const char *kDatasetChunks = R"doc(The chunk shape (tuple of int), or None when not chunked.)doc";
inline constexpr const char *kDatasetMaxshape = R"doc(The largest shape (tuple), None for an unlimited dimension.)doc";
inline constexpr const char *kDatasetCompression = R"doc(``"gzip"`` when stored with DEFLATE, else None.)doc";
inline constexpr const char *kDatasetCompressionOpts = R"doc(The DEFLATE level (int, 9 for the engine's files), or None.)doc";
inline constexpr const char *kDatasetFillvalue = R"doc(The value of cells never written (float, NaN for the engine's files).)doc";
inline constexpr const char *kDatasetAttrs = R"doc(The dataset's attributes, such as ``cursor_col``, as a mapping (``AttributeView``).)doc";

inline constexpr const char *kDatasetResize = R"doc(Grow the matrix to ``shape``, in one write transaction.

Parameters
----------
shape : tuple of (int, int)
    The new rows and columns, neither smaller than now.

Returns
-------
None

Raises
------
ValueError
    When ``shape`` is smaller than the matrix in either dimension.
OSError
    When the handle is open for reading only, or the file system fails.
)doc";

inline constexpr const char *kAttributeView = R"doc(The attributes of a dataset, as a mapping: ``h5["data"].attrs``.

``attrs[name]`` reads one (``KeyError`` when missing), ``attrs[name] =
value`` sets it and ``del attrs[name]`` deletes it, each as one write
transaction; ``name in attrs``, ``len(attrs)`` and iteration list the names.
Names and text values cannot hold a NUL character (``ValueError``).

Examples
--------
>>> import quorbel.detail as qd
>>> with qd.get_h5("attributes.h5", write=True) as h5:
...     h5["data"].attrs["source"] = "vendor A"
...     sorted(h5["data"].attrs.keys())
['source']
)doc";

inline constexpr const char *kAttributeGet = R"doc(One attribute's value, or ``default`` when the dataset has none of that name.

Parameters
----------
name : str
    The attribute's name.
default : object, optional
    What to return when it is missing (None).

Returns
-------
object
    The value: an int, float, str, or a NumPy array for arrays.
)doc";

inline constexpr const char *kAttributeKeys = R"doc(The attributes' names.

Returns
-------
list of str
)doc";

inline constexpr const char *kFactorValueStream = R"doc(The lazy stream of ``(order_book_id, row)`` pairs that ``get_factor_value`` returns.

An iterator: each ``next()`` reads on (a stripe of chunk rows at a time)
and returns the next listed instrument's row. It holds no use of the handle
between items, so the handle may be closed between two items; the next
item then raises ``ValueError``.
)doc";

inline constexpr const char *kFactorValueStreamClose = R"doc(End the stream; it takes no further identifiers.

Returns
-------
None
)doc";

inline constexpr const char *kPackStream = R"doc(The ``(date, values)`` pairs of a batch of packs, produced on demand.

What ``get_iter`` returns. Like a generator it ends for good once it has
raised or run out, and is freed by the garbage collector when a pack refers
back to it.
)doc";

inline constexpr const char *kPackStreamClose = R"doc(End the stream; it takes no further packs.

Returns
-------
None
)doc";

}  // namespace quorbel::docs
