"""What a write stored and what it skipped, factor by factor, and how the
library words it: the one WARNING of a call, the error of a factor that
stored nothing, the refusal of ``strict=True``.

The engine skips a date off the calendar and an instrument the index does
not list with an INFO line each, and reports nothing back; the counts here
are made by the library from the same calendar and index (see
``skip_counts``), so that a write that skipped values says so.
"""

from __future__ import annotations

import dataclasses
import logging

__all__ = ["Skipped", "WriteDetails", "NothingStoredError"]

# The reasons a value is skipped, in the order reports list them.
NOT_TRADING_DATE = "not_trading_date"
OUTSIDE_CALENDAR = "outside_calendar"
UNLISTED = "unlisted"
REASONS = (NOT_TRADING_DATE, OUTSIDE_CALENDAR, UNLISTED)
REASON_WORDS = {
    NOT_TRADING_DATE: "not a trading date",
    OUTSIDE_CALENDAR: "outside the calendar",
    UNLISTED: "unlisted instrument",
}
# Examples kept per reason, and factors named in one message.
EXAMPLES_AT_MOST = 5
FACTORS_NAMED_AT_MOST = 5


@dataclasses.dataclass(frozen=True)
class Skipped:
    """The values one write skipped for one reason.

    Attributes
    ----------
    dates : int
        Dates on which values were skipped for this reason.
    values : int
        Values skipped for this reason, NaN included.
    examples : tuple
        A few of what was skipped: date codes for a date that is not a
        trading date or lies outside the calendar, ``order_book_id`` texts
        for an unlisted instrument.

    Examples
    --------
    >>> Skipped(dates=1, values=20, examples=(20240106,))
    Skipped(dates=1, values=20, examples=(20240106,))
    """

    dates: int
    values: int
    examples: tuple


@dataclasses.dataclass(frozen=True)
class WriteDetails:
    """What a write stored into one factor and what it skipped.

    Every value given is stored, skipped for one of the reasons, or on a
    date of NaN only, which the NaN rule leaves as the file holds it (only
    the cursor moves).

    Attributes
    ----------
    dates_written : int
        Dates on which at least one value was stored.
    values_written : int
        Values stored, NaN included: a NaN stored clears its cell.
    dates_all_nan : int
        Trading dates whose values were all NaN (or none) in ``write``,
        ``write_frame`` or ``write_cube``: the stored column is left as it
        is. ``write_packs`` stores NaN like any value and counts none here.
    skipped : dict
        ``{reason: Skipped}`` for each reason that skipped anything:
        ``"not_trading_date"`` (a calendar day between trading dates),
        ``"outside_calendar"`` (before the calendar's first date, so before
        ``MIN_FACTOR_DAY``, or after its last), ``"unlisted"`` (an
        instrument the instrument index does not list).

    Examples
    --------
    >>> details = WriteDetails(dates_written=1, values_written=2, dates_all_nan=0,
    ...                        skipped={"unlisted": Skipped(1, 1, ("600000.SH",))})
    >>> details.values_skipped
    1
    """

    dates_written: int
    values_written: int
    dates_all_nan: int
    skipped: dict

    @property
    def values_skipped(self) -> int:
        """Values skipped, for every reason together.

        Returns
        -------
        int

        Examples
        --------
        >>> WriteDetails(0, 0, 0, {"not_trading_date": Skipped(1, 3, (20240106,))}).values_skipped
        3
        """
        return sum(skip.values for skip in self.skipped.values())


class NothingStoredError(ValueError):
    """A factor's write would have stored none of the numbers it was given.

    Every value that is not NaN would have been skipped (a date off the
    calendar, unlisted instruments), so the library did not call the engine:
    the file is as it was, ``cursor_col`` included. The report holds this
    error for the factor; ``details`` says what was skipped.

    Attributes
    ----------
    details : WriteDetails
        What the write would have stored and skipped.

    Examples
    --------
    >>> import quorbel
    >>> lib = quorbel.FactorLibrary("/data/factors")
    >>> report = lib.write(20240102, {"value/bp": {"600000.SH": 0.9}}, raise_errors=False)
    >>> isinstance(report["value/bp"], NothingStoredError)
    True
    >>> report["value/bp"].details.skipped["unlisted"].examples
    ('600000.SH',)
    """


def nothing_stored(name: str, details: WriteDetails) -> NothingStoredError:
    error = NothingStoredError(f"factor {name!r}: none of the numbers given would be stored "
                               f"({skip_words(details)}); the file was left as it was")
    error.details = details  # pickled with the error, as any attribute of an exception is
    return error


# ---- words ------------------------------------------------------------------


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def skip_words(details: WriteDetails) -> str:
    """"unlisted instrument: 20 values on 1 date, e.g. '600000.SH', '000001.SZ'" for each reason."""
    parts = []
    for reason in REASONS:
        skip = details.skipped.get(reason)
        if skip is None:
            continue
        shown = ", ".join(repr(example) for example in skip.examples)
        parts.append(f"{REASON_WORDS[reason]}: {_plural(skip.values, 'value')} on {_plural(skip.dates, 'date')}, "
                     f"e.g. {shown}")
    return "; ".join(parts)


def _named(details_of: dict) -> str:
    skipping = [(name, details) for name, details in details_of.items() if details.skipped]
    words = [f"{name!r} ({skip_words(details)})" for name, details in skipping[:FACTORS_NAMED_AT_MOST]]
    if len(skipping) > FACTORS_NAMED_AT_MOST:
        words.append(f"and {len(skipping) - FACTORS_NAMED_AT_MOST} more")
    return "; ".join(words)


def log_skips(details_of: dict, factors: int) -> None:
    """One WARNING on the root logger for a call that skipped values; none otherwise."""
    skipping = {name: details for name, details in details_of.items() if details.skipped}
    if not skipping:
        return
    total = sum(details.values_skipped for details in skipping.values())
    logging.warning("write skipped %s of %s: %s", _plural(total, "value"),
                    f"{len(skipping)} of {_plural(factors, 'factor')}", _named(skipping))


def refusal(details_of: dict) -> ValueError | None:
    """The ValueError of ``strict=True`` when any factor would skip values, else None."""
    skipping = {name: details for name, details in details_of.items() if details.skipped}
    if not skipping:
        return None
    return ValueError(f"strict write refused, nothing was written: {len(skipping)} of "
                      f"{_plural(len(details_of), 'factor')} would skip values: {_named(skipping)}")
