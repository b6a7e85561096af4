"""Dates as reads and writes take them: the package's one parser
(quorbel.dates), and the span a read covers when a bound is not given."""

from __future__ import annotations

from typing import Any

from ..dates import date_code, date_span
from ..spans import value_dates

__all__ = ["date_code"]


# A span no date falls in: the engine reads no column for it.
_NO_DATES = (1, 0)


def _date_range(start: Any, end: Any, paths: list, also=None) -> tuple:
    """(first, last) date code of a read of `paths`. A bound not given is the
    first (or last) date on which any of the files holds a value, so that a
    read of a few years does not span the whole calendar; when no file holds
    a value there, or the given bound lies beyond that span, nothing is read.
    ``also()``, when given, names a span of dates to cover as well (or None)."""
    if start is not None and end is not None:
        return date_span(start, end)
    first = date_code(start, "start") if start is not None else None
    last = date_code(end, "end") if end is not None else None
    held = value_dates(paths)
    more = also() if also is not None else None
    if more is not None:
        held = more if held is None else (min(held[0], more[0]), max(held[1], more[1]))
    if held is None:
        return _NO_DATES
    first = held[0] if first is None else first
    last = held[1] if last is None else last
    return (first, last) if first <= last else _NO_DATES
