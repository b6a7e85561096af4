// The docstrings of quorbel.detail's published functions (numpydoc), kept
// apart from the code so that each unit stays about its work. The stub
// generator copies them into detail.pyi, which the API reference reads.
#pragma once

namespace quorbel::docs {

inline constexpr const char *kGetAllTradingDates = R"doc(The trading calendar as date codes.

The trading dates from ``MIN_FACTOR_DAY`` on, as the market-data client
(``dravolc``) lists them, ascending. A date's position in this list is its
column in every factor file. The result is cached for an hour;
``get_all_trading_dates.cache_clear()`` forgets it sooner.
``TRADING_DATES`` holds the snapshot that the date lookups search.

Returns
-------
list of int
    Date codes such as ``20240102``.

Raises
------
ValueError
    When the market-data client refuses the date range.

Examples
--------
>>> import quorbel.detail as qd
>>> dates = qd.get_all_trading_dates()
>>> dates[0]
20050104
)doc";

inline constexpr const char *kGetDateIndex = R"doc(The column of a trading date.

Parameters
----------
d : int
    A date code such as ``20240102``.

Returns
-------
int or None
    The date's position in the trading calendar, which is its column in
    every factor file; None when ``d`` is not a trading date.

Raises
------
TypeError
    When ``d`` cannot be compared with the calendar's integers.

Examples
--------
>>> import quorbel.detail as qd
>>> qd._get_date_index(20050104)
0
>>> qd._get_date_index(20050101) is None
True
)doc";

inline constexpr const char *kGetDateSectionIndex = R"doc(The columns of the trading dates in a date range.

Parameters
----------
start_date, end_date : int
    Date codes, both inclusive; neither needs to be a trading date.

Returns
-------
tuple of (int, int)
    The half-open column range ``(s, e)``: columns ``s`` to ``e - 1`` are
    the trading dates from ``start_date`` to ``end_date``. ``s == e`` when
    the range holds no trading date.

Raises
------
TypeError
    When a date cannot be compared with the calendar's integers.

Examples
--------
>>> import quorbel.detail as qd
>>> qd._get_date_section_index(20050101, 20050107)
(0, 4)
)doc";

inline constexpr const char *kGetDateByIndex = R"doc(The date codes at two columns.

Parameters
----------
s, e : int
    Columns of the trading calendar; negative ones count from its end.

Returns
-------
tuple of (int, int)
    The date codes at columns ``s`` and ``e``.

Raises
------
IndexError
    When a column lies beyond the calendar.

Examples
--------
>>> import quorbel.detail as qd
>>> qd._get_date_by_index(0, 3)
(20050104, 20050107)
)doc";

inline constexpr const char *kGetAllInstrumentIndex = R"doc(The instrument index: every instrument's row.

Read from the MongoDB collection ``COLLECTION`` of database ``DATABASE`` at
``get_mongodb_uri()`` with one query: one document per instrument with the
fields ``order_book_id`` (a string) and ``index`` (an integer); other fields
are ignored, and of two documents with the same ``order_book_id`` the later
one in the collection's natural order wins. The result is cached for an
hour; ``_get_all_instrument_index.cache_clear()`` forgets it sooner.

Returns
-------
dict of str to int
    ``{order_book_id: row}``; an instrument's row is the same in every
    factor file.

Raises
------
ConnectionError
    When no server can be reached (an ``OSError``): the message names the
    connection string (its user name and password masked), gives the
    driver's message and points to ``QUORBEL_MONGODB_URI`` and
    ``quorbel index serve``.
RuntimeError
    For an error the server or the query reports (a refused login, say).
KeyError
    Naming the field a document lacks.
TypeError
    Naming an instrument whose ``index`` is not an integer.
ValueError
    For a malformed connection string or database name.

Examples
--------
>>> import quorbel.detail as qd
>>> index = qd._get_all_instrument_index()
>>> index["600000.XSHG"]
0
)doc";

inline constexpr const char *kGetStockIndex = R"doc(The row of one instrument.

Parameters
----------
order_book_id : str
    An instrument identifier such as ``"600000.XSHG"``.

Returns
-------
int
    Its row in every factor file, from the instrument index.

Raises
------
KeyError
    When the instrument index does not list it.

Examples
--------
>>> import quorbel.detail as qd
>>> qd._get_stock_index("000001.XSHE")
2
)doc";

inline constexpr const char *kDoNotDecrease = R"doc(Whether a failed attempt of ``get_h5`` counts against its retries.

The retry predicate ``get_h5`` is wrapped with: an error whose text names
errno 17 (a creation that lost a race to another process) or 35 on its
first line is a temporary unavailability and does not use up the 5
attempts.

Parameters
----------
e : BaseException
    The error of the failed attempt.

Returns
-------
bool
    True when the failure counts, False when it is temporary.

Examples
--------
>>> import quorbel.detail as qd
>>> qd.do_not_decrease_when_temporarily_unavailable(OSError("errno = 17, File exists"))
False
>>> qd.do_not_decrease_when_temporarily_unavailable(OSError("no such file"))
True
)doc";

inline constexpr const char *kCreateNewFactorH5 = R"doc(Create a factor file, exclusively, and return it open for writing.

The file holds an empty matrix ``data`` of ``shape`` (little-endian float64,
chunked, DEFLATE level 9, NaN fill, unlimited in both dimensions). It is
built under a hidden name beside ``path``, synced, and published at
``path`` whole, so a crash leaves no half-made file; it never replaces
anything at ``path``.

Parameters
----------
path : str or os.PathLike
    Where the file appears.
shape : tuple of (int, int)
    Rows (instruments) and columns (trading dates) of the matrix.

Returns
-------
FactorFile
    The new file, open for writing. The caller owns it: close it, or use it
    in a ``with`` block.

Raises
------
FileExistsError
    When something exists at ``path`` already, or another process published
    its file there first.
OSError
    When HDF5 or the file system fails (a full disk, no permission), with
    ``errno`` set where one is known.
ValueError
    For a negative or malformed shape.
TypeError
    For a shape that is not a pair of integers.

Examples
--------
>>> import quorbel.detail as qd
>>> with qd.create_new_factor_h5("created.h5", (600, 300)) as h5:
...     h5["data"].shape
(600, 300)
)doc";

inline constexpr const char *kGetH5 = R"doc(Open the factor file at ``path``, for reading or for writing.

Wrapped in ``retry(5, OSError, 1, error_func=do_not_decrease_when_temporarily_unavailable)``:
a failed open is tried again up to 5 times, 1 second apart; a creation
that loses a race to another process does not count (at most 30 such
attempts).

Parameters
----------
path : str or os.PathLike
    The factor file.
write : bool, default False
    True opens the file in mode ``"r+"`` under HDF5's exclusive file lock
    (writers exclude each other), creating it when missing with room to
    spare: (instruments + ``EXPAND_INSTRUMENT_LENGTH``) x (trading dates +
    ``EXPAND_TRADING_DATE_LENGTH``). False opens it in mode ``"r"``; a
    reader takes no lock and checks instead that what it reads comes from
    one committed state.
read_wait : float, default 0.1
    Seconds to pause after a failed open for reading; the pause grows by
    ``rate`` after each failure, up to 30 seconds, and the fifth failure is
    raised.
rate : float, default 2
    Factor by which that pause grows.

Returns
-------
FactorFile or None
    The open file; None when reading and nothing is at ``path`` (or the
    file disappears while the reader waits).

Raises
------
OSError
    When the file cannot be opened after the retries: not an HDF5 file, a
    directory, no permission, a writer's lock held elsewhere (the message
    names the process holding it), a write that kept the file changing.
FileNotFoundError
    When writing through a symbolic link to a missing file.
ValueError
    When ``QUORBEL_FILE_LOCKING`` holds an unknown value.

Examples
--------
>>> import quorbel.detail as qd
>>> with qd.get_h5("opened.h5", write=True) as h5:
...     h5.mode
'r+'
>>> qd.get_h5("missing.h5") is None
True
)doc";

inline constexpr const char *kGetFactorValue = R"doc(Stream instruments' rows of a factor over a date range.

A lazy stream: nothing is read until the first item is asked for. Rows are
read a stripe of chunk rows at a time, each stripe from one committed state
of the file.

Parameters
----------
h5 : FactorFile or None
    The open factor file; a false value (None, a closed handle) gives an
    empty stream.
order_book_ids : iterable of str
    The instruments, in the order their rows are wanted. An instrument the
    instrument index does not list, or whose row the matrix does not have
    yet, is skipped (the latter logged at INFO).
start_date, end_date : int
    Date codes, both inclusive.
check : bool, default False
    True stops the section at ``cursor_col``, the last column any write
    has reached (a file without ``cursor_col`` is not cut).

Returns
-------
FactorValueStream
    ``(order_book_id, row)`` pairs, ``row`` a float64 array over the
    section's trading dates, clipped to the matrix; NaN where no value.

Raises
------
ValueError
    When the handle is closed while the stream reads from it.
OSError
    When the file cannot be read.

Examples
--------
>>> import types
>>> import quorbel.detail as qd
>>> item = types.SimpleNamespace(order_book_id="600000.XSHG", value=1.5)
>>> with qd.get_h5("streamed.h5", write=True) as h5:
...     qd.put_factor_value(h5, 20240102, [item])
...     for order_book_id, row in qd.get_factor_value(h5, ["600000.XSHG"], 20240102, 20240103):
...         print(order_book_id, row)
600000.XSHG [1.5 nan]
)doc";

inline constexpr const char *kGetIter = R"doc(Stream a batch of packs as ``(date, values)`` pairs.

The stream ``put_factor_packs`` reads its batch through. Like a generator it
ends for good once it has raised or run out.

Parameters
----------
packs : iterable
    Items with the attributes ``date`` (a date code) and ``values`` (value
    items with ``order_book_id`` and ``value``).

Returns
-------
PackStream
    One ``(date, values)`` pair per pack, in batch order.

Raises
------
AttributeError
    When a pack lacks ``date`` or ``values`` (raised by the item that
    lacks it).

Examples
--------
>>> import types
>>> import quorbel.detail as qd
>>> pack = types.SimpleNamespace(date=20240102, values=[])
>>> list(qd.get_iter([pack]))
[(20240102, [])]
)doc";

inline constexpr const char *kClearFactorDate = R"doc(Clear one date of an open factor file: every cell of its column becomes NaN.

A write of NaN values leaves the column as it is (only ``cursor_col``
moves); this is the way to empty a date on purpose. The whole column is
written as one transaction, journalled like any date, and ``cursor_col``
rises to the column. A date that is not a trading date is logged at INFO,
as the writers log it, and nothing changes. The matrix grows along the
date axis when the date lies past its last column.

Parameters
----------
h5 : FactorFile
    A factor file open for writing.
date : int
    A date code such as ``20240102``.

Returns
-------
None

Raises
------
TypeError
    When the file's matrix is not stored as little-endian float64.
OSError
    When the write fails (a full disk, say); the date is undone.

Examples
--------
>>> import types
>>> import quorbel.detail as qd
>>> item = types.SimpleNamespace(order_book_id="600000.XSHG", value=0.25)
>>> with qd.get_h5("cleared.h5", write=True) as h5:
...     qd.put_factor_value(h5, 20240102, [item])
...     qd._clear_factor_date(h5, 20240102)
...     print(h5["data"][0, qd._get_date_index(20240102)])
nan
)doc";

inline constexpr const char *kPutFactorBlock = R"doc(Store a block of dates into an open factor file from arrays.

The library's frame and cube writes end here; the file ends up cell for cell
as ``put_factor_value`` of each date in turn would leave it, with the same
log records. Dates go band by band: the dates of one chunk column are
applied to its inflated chunks and committed as one transaction.

Parameters
----------
h5 : H5File
    A handle opened for writing.
dates : list
    The dates, in writing order, as ``_get_date_index`` takes them.
order_book_ids : list
    The instruments the block's values belong to.
values : numpy.ndarray
    float64: ``(len(dates), len(order_book_ids))`` for a dense block, in
    which every cell of a date is written; 1-d for a sparse one.
positions, offsets : numpy.ndarray, optional
    int64, for a sparse block: the values of date ``d`` are
    ``values[offsets[d]:offsets[d + 1]]``, of the instruments
    ``order_book_ids[positions[offsets[d]:offsets[d + 1]]]``.
progress : callable, optional
    Called with the number of dates done before each date and at the end.

Raises
------
TypeError, ValueError
    For arrays of the wrong type or shape, before anything is written.
IndexError
    For an instrument row outside the matrix; the dates before it are written.
)doc";

inline constexpr const char *kPutFactorPacks = R"doc(Store many dates into an open factor file, one pack per date.

The dates are written in batch order, each as one transaction: its column
is read once, changed and written back, ``cursor_col`` rises to it, and the
file is synced before the next date, so a failure at a later date leaves
the earlier ones written. Text that is no number is skipped alone (logged
at INFO); dates and instruments the calendar or the instrument index do not
know are logged at INFO and skipped. The matrix grows as for
``put_factor_value``.

Parameters
----------
h5 : FactorFile
    A factor file open for writing.
packs : iterable
    Items with ``date`` (a date code) and ``values`` (a sized collection of
    items with ``order_book_id`` and ``value``), as ``get_iter`` reads them.

Returns
-------
None

Raises
------
ValueError
    For an empty batch, or a closed handle.
IndexError
    For a row number beyond the matrix or negative, before that date is
    written.
TypeError
    When the file's matrix is not stored as little-endian float64, or (for
    a date of fewer than ``BOOK_COUNT_THRESHOLD`` items) a value without a
    float form.
OSError
    When the write fails (a full disk, say); that date is undone and the
    earlier ones stay.

Examples
--------
>>> import types
>>> import quorbel.detail as qd
>>> def values(v):
...     return [types.SimpleNamespace(order_book_id="600000.XSHG", value=v)]
>>> packs = [types.SimpleNamespace(date=20240102, values=values(1.0)),
...          types.SimpleNamespace(date=20240103, values=values(2.0))]
>>> with qd.get_h5("backfilled.h5", write=True) as h5:
...     qd.put_factor_packs(h5, packs)
...     int(h5["data"].attrs["cursor_col"]) == qd._get_date_index(20240103)
True
)doc";

inline constexpr const char *kPutFactorValue = R"doc(Store one date's values into an open factor file.

One transaction: the date's column is read once, changed in memory and
written back once, ``cursor_col`` rises to the column, and the file is
synced before the call returns. A date that is not a trading date, or an
instrument the instrument index does not list, is logged at INFO and
skipped. When every value is NaN the column stays as it is and only
``cursor_col`` moves. The matrix grows by ``EXPAND_TRADING_DATE_LENGTH``
columns when the date lies past its last column, and by
``EXPAND_INSTRUMENT_LENGTH`` rows when the index lists more instruments
than it has rows.

Parameters
----------
h5 : FactorFile
    A factor file open for writing.
date : int
    A date code such as ``20240102``.
values : collection
    A sized collection of items with the attributes ``order_book_id`` and
    ``value``. Values convert as NumPy converts objects to float64: None is
    NaN, numeric text is parsed, True is 1.0.

Returns
-------
None

Raises
------
ValueError
    For text that is no number (nothing is written), or a closed handle.
TypeError
    For a value without a float form (a complex, an object), nothing
    written; or when the file's matrix is not stored as little-endian
    float64.
IndexError
    For a row number beyond the matrix or negative, before the column is
    written.
OSError
    When the write fails (a full disk, say); the date is undone and the
    handle stays usable.

Examples
--------
>>> import types
>>> import quorbel.detail as qd
>>> item = types.SimpleNamespace(order_book_id="600000.XSHG", value=0.25)
>>> with qd.get_h5("daily.h5", write=True) as h5:
...     qd.put_factor_value(h5, 20240102, [item])
...     h5["data"][0, qd._get_date_index(20240102)]
0.25
)doc";

inline constexpr const char *kRewriteFactor = R"doc(Replace a factor file by a compact copy of itself.

The copy has the same shape, every cell (NaN included) and every attribute
of ``data`` with its exact type, the old file's permission bits and, where
the process may, its group; chunks lose the room daily writes leave. It is
written under a hidden name, synced, and renamed over the old file, so the
path holds the whole old file or the whole new one at every moment.
Writers wait meanwhile; readers go on. Through a symbolic link, the file
the link reaches is rewritten and the link stays. The whole matrix is held
in memory.

Parameters
----------
path : str or os.PathLike
    The factor file (by position only).

Returns
-------
None

Raises
------
FileNotFoundError
    When no file is at ``path``, or another process removed it meanwhile.
FileExistsError
    When another process put another file at ``path`` meanwhile.
OSError
    When the file cannot be read or the copy cannot be written (the old file
    is then left untouched), or a damaged chunk index.
MemoryError
    When the matrix does not fit in memory.

Examples
--------
>>> import quorbel.detail as qd
>>> qd.get_h5("compacted.h5", write=True).close()
>>> qd.rewrite_factor("compacted.h5")
)doc";

inline constexpr const char *kRemoveFactor = R"doc(Delete a factor file.

Removes the file at ``path``, like ``os.remove``, with the undo journal a
killed writer left for that very file and, unless ``keep_history`` is
true, its history (``<path>.history``), and then syncs the directory. A
symbolic link is removed as a link: its target keeps its journal and history.

Parameters
----------
path : str or os.PathLike
    The factor file (by position only).
keep_history : bool, default False
    Leave the history beside where the file was (by keyword only). A
    factor created at the path later moves it aside first, to
    ``<path>.history.set-aside-<ns>``.

Returns
-------
None

Raises
------
FileNotFoundError
    When nothing is at ``path``.
OSError
    When the file cannot be removed.

Examples
--------
>>> import os
>>> import quorbel.detail as qd
>>> qd.get_h5("removed.h5", write=True).close()
>>> qd.remove_factor("removed.h5")
>>> os.path.exists("removed.h5")
False
)doc";

}  // namespace quorbel::docs
