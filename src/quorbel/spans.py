"""Where factor files hold values: the first and last dates with any value.

The engine finds the columns by scanning chunk columns in from each end of a
matrix and stopping at the first that holds a value, so a file costs two
chunk columns however long the calendar (``quorbel._extras._value_spans``).
The command line lists them (``quorbel ls``, ``info``, ``coverage``) and the
library reads that span when a read gives no dates.
"""

from __future__ import annotations

import dataclasses
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Optional

from . import _extras, detail

__all__ = ["FileSpan", "file_spans", "date_of_column", "value_dates"]


@dataclasses.dataclass(frozen=True)
class FileSpan:
    """What the span scan tells about one factor file.

    Parameters
    ----------
    path : str
        The file.
    shape : tuple of int
        ``(rows, columns)`` of its matrix.
    cursor_col : int or None
        Its cursor column, None when it has none.
    first_col, last_col : int or None
        The first and last columns holding any value, None when none does.
    meta : object
        The factor's metadata attribute as stored (JSON text), None when it
        has none; read in the same open as the rest.
    """

    path: str
    shape: tuple
    cursor_col: Optional[int]
    first_col: Optional[int]
    last_col: Optional[int]
    meta: object = None

    @property
    def first_date(self) -> Optional[int]:
        """The date code of `first_col`, None when there is none or it lies beyond the calendar."""
        return date_of_column(self.first_col)

    @property
    def last_date(self) -> Optional[int]:
        """The date code of `last_col`, None when there is none or it lies beyond the calendar."""
        return date_of_column(self.last_col)

    @property
    def cursor_date(self) -> Optional[int]:
        """The date code of `cursor_col`, None when there is none or it lies beyond the calendar."""
        return date_of_column(self.cursor_col)


def date_of_column(column: Optional[int]) -> Optional[int]:
    """The trading date of a matrix column; None for None, a negative column
    or one beyond the calendar."""
    if column is None or column < 0:
        return None
    try:
        return detail._get_date_by_index(column, column)[0]
    except IndexError:
        return None


def file_spans(paths: list, progress=None) -> list:
    """Per path, its :class:`FileSpan`, or the exception (OSError, or
    ValueError for a cursor_col that is no integer) naming the file that
    could not be read. ``progress(done, total)`` hears between files."""
    paths = list(paths)
    found = _scan_on_every_core(paths, progress)
    return [result if isinstance(result, BaseException) else FileSpan(path, tuple(result[:2]), *result[2:])
            for path, result in zip(paths, found)]


# Below this many files a second thread costs more than it saves.
_FILES_PER_THREAD = 8


def _scan_on_every_core(paths: list, progress) -> list:
    """The engine's span scan of `paths`, in their order, split over the
    cores: the scan inflates chunks with the GIL released, so a long
    listing takes the time of its share on each core."""
    parts = max(1, min(os.cpu_count() or 1, len(paths) // _FILES_PER_THREAD))
    if parts == 1:
        return _extras._value_spans(paths, progress)
    bounds = [len(paths) * k // parts for k in range(parts + 1)]
    done = [0] * parts
    lock = threading.Lock()

    def scan(part):
        def heard(count, _total):
            # Each part counts its own files; whoever watches hears the sum.
            with lock:
                done[part] = count
                if progress is not None:
                    progress(sum(done), len(paths))

        return _extras._value_spans(paths[bounds[part]:bounds[part + 1]], heard)

    with ThreadPoolExecutor(max_workers=parts, thread_name_prefix="quorbel-spans") as pool:
        results = list(pool.map(scan, range(parts)))
    return [span for part in results for span in part]


def value_dates(paths: list) -> Optional[tuple]:
    """``(first, last)``: the first and last trading dates on which any of
    the files holds a value, None when none does (values beyond the calendar
    have no date and are left out). Raises the error of the first file that
    cannot be read."""
    calendar = detail.get_all_trading_dates()
    first = last = None
    for span in file_spans(paths):
        if isinstance(span, BaseException):
            raise span
        if span.first_col is None or span.first_col >= len(calendar):
            continue
        low, high = span.first_col, min(span.last_col, len(calendar) - 1)
        first = low if first is None else min(first, low)
        last = high if last is None else max(last, high)
    if first is None:
        return None
    return calendar[first], calendar[last]
