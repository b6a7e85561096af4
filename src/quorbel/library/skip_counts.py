"""Counting what a factor's write will store and skip, before the engine is
called: from the calendar and the instrument index the engine itself looks
up (``_get_date_index``, ``_get_all_instrument_index``), with its rules:

- a date without a column skips all its values (outside the calendar, or a
  calendar day between trading dates);
- in ``put_factor_value`` and the block write, a date whose values are all
  NaN (or none) stores nothing: the column stays as it is;
- otherwise each value of a listed instrument is stored, NaN included, and
  each value of an unlisted one is skipped.

A factor that would store nothing, though it was given numbers, is not
written at all (``counted_write``): the engine would still rewrite the
column and move the cursor for it. Frames and cubes are counted with NumPy
over whole arrays, value items in the engine (``_extras._count_items``).
"""

from __future__ import annotations

import numpy as np

from .. import _extras, detail
from .frames import Block
from .write_details import (EXAMPLES_AT_MOST, NOT_TRADING_DATE, OUTSIDE_CALENDAR, REASONS, UNLISTED, Skipped,
                            WriteDetails, nothing_stored, refusal)

# Cells of a dense block tested for NaN at once: bounds the mask's memory.
CELLS_AT_ONCE = 1 << 20

class DateLookup:
    """Why each date code has no column (None when it has one), asked of the
    engine once per code: the dates of a call repeat across its factors."""

    def __init__(self):
        self._reasons = {}

    def reason(self, code):
        try:
            return self._reasons[code]
        except KeyError:
            pass
        reason = None
        if detail._get_date_index(code) is None:
            # _get_date_index has refreshed the snapshot when the date lies past it.
            calendar = detail.TRADING_DATES
            outside = not calendar or code < calendar[0] or code > calendar[len(calendar) - 1]
            reason = OUTSIDE_CALENDAR if outside else NOT_TRADING_DATE
        self._reasons[code] = reason
        return reason


class _Tally:
    def __init__(self):
        self.dates_written = self.values_written = self.dates_all_nan = self.numbers_given = 0
        self._skips = {}

    def written(self, values: int) -> None:
        if values:
            self.dates_written += 1
            self.values_written += values

    def skip(self, reason: str, dates: int, values: int, examples) -> None:
        if not values and not dates:
            return
        entry = self._skips.setdefault(reason, [0, 0, []])
        entry[0] += dates
        entry[1] += values
        kept = entry[2]
        for example in examples:
            if len(kept) >= EXAMPLES_AT_MOST:
                break
            if example not in kept:
                kept.append(example)

    def details(self) -> WriteDetails:
        skipped = {reason: Skipped(int(self._skips[reason][0]), int(self._skips[reason][1]),
                                   tuple(self._skips[reason][2]))
                   for reason in REASONS if reason in self._skips}
        return WriteDetails(int(self.dates_written), int(self.values_written), int(self.dates_all_nan), skipped)


def _count_items(tally: _Tally, code, items: list, reason, index, nan_rule: bool) -> None:
    """One date's value items (order_book_id, float)."""
    numbers, listed, unlisted = _extras._count_items(items, index, EXAMPLES_AT_MOST)
    tally.numbers_given += numbers
    if reason is not None:
        tally.skip(reason, 1, len(items), [code])
    elif nan_rule and not numbers:
        tally.dates_all_nan += 1
    else:
        tally.skip(UNLISTED, 1 if unlisted else 0, len(items) - listed, unlisted)
        tally.written(listed)


def count_values(code, items: list, dates: DateLookup) -> _Tally:
    """One date into one factor, as ``put_factor_value`` writes it."""
    tally = _Tally()
    reason = dates.reason(code)
    index = detail._get_all_instrument_index() if reason is None else {}
    _count_items(tally, code, items, reason, index, nan_rule=True)
    return tally


def count_packs(packs: list, dates: DateLookup) -> _Tally:
    """Packs into one factor, as ``put_factor_packs`` writes them: NaN is stored like any value."""
    tally = _Tally()
    reasons = [dates.reason(pack.date) for pack in packs]
    index = detail._get_all_instrument_index() if None in reasons else {}
    for pack, reason in zip(packs, reasons):
        _count_items(tally, pack.date, pack.values, reason, index, nan_rule=False)
    return tally


def _numbers_per_row(matrix: np.ndarray) -> np.ndarray:
    rows, columns = matrix.shape
    step = max(1, CELLS_AT_ONCE // max(1, columns))
    counts = np.empty(rows, dtype=np.int64)
    for start in range(0, rows, step):
        counts[start:start + step] = np.count_nonzero(~np.isnan(matrix[start:start + step]), axis=1)
    return counts


def count_block(arguments: tuple, dates: DateLookup) -> _Tally:
    """A block's dates into one factor, as ``_put_factor_block`` writes them;
    `arguments` are ``Block.arguments()``: dates in writing order, ids,
    float64 values (dense: dates x ids; sparse: with positions and offsets)."""
    codes, ids, values, positions, offsets = arguments
    tally = _Tally()
    reasons = [dates.reason(code) for code in codes]
    index = detail._get_all_instrument_index() if None in reasons else {}
    listed = np.fromiter((oid in index for oid in ids), dtype=bool, count=len(ids))
    if positions is None:
        given = np.full(len(codes), len(ids), dtype=np.int64)
        numbers = _numbers_per_row(values)
        listed_given = np.full(len(codes), int(np.count_nonzero(listed)), dtype=np.int64)
    else:
        given = np.diff(offsets)
        date_of_value = np.repeat(np.arange(len(codes)), given)
        numbers = np.bincount(date_of_value, weights=~np.isnan(values), minlength=len(codes)).astype(np.int64)
        listed_value = listed[positions]
        listed_given = np.bincount(date_of_value, weights=listed_value, minlength=len(codes)).astype(np.int64)
    tally.numbers_given = int(numbers.sum())

    no_column = np.array([reason is not None for reason in reasons], dtype=bool)
    for reason in (NOT_TRADING_DATE, OUTSIDE_CALENDAR):
        these = np.flatnonzero([r == reason for r in reasons])
        tally.skip(reason, len(these), int(given[these].sum()), [codes[i] for i in these[:EXAMPLES_AT_MOST]])
    all_nan = ~no_column & (numbers == 0)
    tally.dates_all_nan = int(np.count_nonzero(all_nan))
    stored = ~no_column & ~all_nan
    unlisted_given = given - listed_given
    if positions is None:
        examples = [ids[i] for i in np.flatnonzero(~listed)[:EXAMPLES_AT_MOST]]
    else:
        lost = np.flatnonzero(stored[date_of_value] & ~listed_value)
        examples = [ids[p] for p in dict.fromkeys(positions[lost].tolist())][:EXAMPLES_AT_MOST]
    tally.skip(UNLISTED, int(np.count_nonzero(stored & (unlisted_given > 0))), int(unlisted_given[stored].sum()),
               examples)
    tally.dates_written = int(np.count_nonzero(stored & (listed_given > 0)))
    tally.values_written = int(listed_given[stored].sum())
    return tally


def counted(kind: str, code, payload, dates: DateLookup) -> tuple:
    """(tally, payload to write) of one factor's write. A block's values are
    made into arrays here once (a Dask-backed cube is computed), and handed
    on as they are."""
    if kind == "value":
        return count_values(code, payload, dates), payload
    if kind == "packs":
        return count_packs(payload, dates), payload
    arguments = payload.arguments()
    return count_block(arguments, dates), Block(*arguments)


def counted_write(write_one, name: str, path: str, kind: str, code, payload, create: bool, dates: DateLookup,
                  on_dates=None) -> tuple:
    """(None or the exception, its WriteDetails or None) of one factor's
    write through ``write_one(path, kind, code, payload, create, on_dates)``.
    A factor that would store none of the numbers it was given is not written:
    its error is a NothingStoredError. A write that raised has no details:
    which of its dates were stored is not known."""
    try:
        tally, payload = counted(kind, code, payload, dates)
        details = tally.details()
        if tally.numbers_given and not details.values_written:
            return nothing_stored(name, details), details
        if on_dates is None:
            write_one(path, kind, code, payload, create)
        else:
            write_one(path, kind, code, payload, create, on_dates)
    except Exception as error:  # reported per factor
        return error, None
    return None, details


def refuse_skips(jobs: dict, kind: str, code) -> None:
    """For ``strict=True``: ValueError, before anything is written, when any
    factor's write would skip a value."""
    dates = DateLookup()
    error = refusal({name: counted(kind, code, payload, dates)[0].details() for name, payload in jobs.items()})
    if error is not None:
        raise error
