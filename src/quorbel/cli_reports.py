"""What `quorbel info`, `verify` and `coverage` tell beyond the file's layout:
compression against the cells that hold values, values past ``cursor_col``,
and the dates and axis labels of the coverage picture."""

from __future__ import annotations

from . import detail
from ._extras import CommandError
from .spans import FileSpan, date_of_column, file_spans


def _span(path: str) -> FileSpan:
    (span,) = file_spans([path])
    if isinstance(span, BaseException):
        raise span
    return span


def compression_lines(size: int, rows: int, cols: int, cells_with_values: int, mib) -> list:
    """Two ratios, labelled: the whole matrix's float64 cells against the
    bytes on disk (mostly NaN, which compresses to nothing), and the cells
    that hold values against them, which is what storing the data costs."""
    whole = rows * cols * 8
    held = cells_with_values * 8

    def ratio(cells):
        return f"{cells / size:.2f}x" if size else "-"

    return [f"compression   {ratio(whole)} over the whole matrix ({mib(whole)} of float64 cells)",
            f"              {ratio(held)} over the cells holding values ({cells_with_values} cells, {mib(held)})"]


def values_past_cursor(path: str):
    """A warning when the file holds values in columns after ``cursor_col``
    (reads with check=True leave them out), else None."""
    span = _span(path)
    if span.cursor_col is None or span.last_col is None or span.last_col <= span.cursor_col:
        return None

    def where(column):
        date = date_of_column(column)
        return f"column {column}" + (f" ({date})" if date is not None else "")

    return (f"values past cursor_col: the last value lies at {where(span.last_col)}, cursor_col is "
            f"{where(span.cursor_col)}; reads with check=True leave them out")


def coverage_section(path: str, start, end) -> tuple:
    """(first column, end column) the picture covers: the dates asked for,
    or the span of dates holding values where a bound is not given."""
    span = _span(path)
    rows, cols = span.shape
    if start is not None or end is not None:
        calendar = detail.get_all_trading_dates()
        first, stop = detail._get_date_section_index(start if start is not None else 0,
                                                     end if end is not None else 99991231)
        if start is None:
            first = span.first_col if span.first_col is not None else 0
        if end is None:
            stop = span.last_col + 1 if span.last_col is not None else cols
        first, stop = min(first, cols), min(stop, cols)
        if first >= stop:
            shown = " to ".join(str(d) for d in (start, end) if d is not None)
            raise CommandError(f"{path}: no column of the matrix lies in {shown} "
                               f"(the calendar holds {len(calendar)} dates, the matrix {cols} columns)")
        return first, stop
    if span.first_col is None:
        return 0, cols
    return span.first_col, span.last_col + 1


def axis_ticks(first: int, stop: int, rows: int) -> tuple:
    """(x ticks, y ticks) of the picture: the first column of the section
    and of each year in it, labelled with the year; the first and the last
    instrument rows, labelled with their counts."""
    x_ticks, year = [], None
    for column in range(first, stop):
        date = date_of_column(column)
        if date is None:
            break
        if date // 10000 != year:
            year = date // 10000
            x_ticks.append((column, str(year)))
    return x_ticks, [(0, "0"), (rows, str(rows))]
