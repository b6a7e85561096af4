"""The benchmark's market: the XSHG calendar, an instrument index, seeded
factor values, and the filled factor file that every scenario starts from."""

import bisect
import collections
import json
import os
import time

import numpy as np

from common import RESULTS

FIRST_DATE = 20050101
SEED = 20050104
# Raise when the generated values change, so that cached fills are made anew.
DATA_VERSION = 1
SCATTERED_NAN_SHARE = 0.03
FILL_BATCH_DATES = 250

Item = collections.namedtuple("Item", "order_book_id value")
Pack = collections.namedtuple("Pack", "date values")


def xshg_calendar(limit=None):
    """Date codes of the XSHG trading dates from FIRST_DATE on, the first
    `limit` of them when given."""
    import dravolc

    dates = dravolc.get_trading_dates("2000-01-01", "2500-01-01")
    codes = [d.year * 10000 + d.month * 100 + d.day for d in dates]
    codes = [c for c in codes if c >= FIRST_DATE]
    return codes[:limit] if limit else codes


def date_index(calendar, d):
    i = bisect.bisect_left(calendar, d)
    return i if i < len(calendar) and calendar[i] == d else None


def date_section(calendar, start_date, end_date):
    return bisect.bisect_left(calendar, start_date), bisect.bisect_right(calendar, end_date)


class Market:
    """`instruments` instruments on rows 0..instruments-1 over `calendar`.

    Each instrument is NaN before its listing date (a quarter listed from the
    first date, the rest spread evenly over the years) and about 3% NaN after
    it. The last date is left out of the fill: it is the new date that the
    daily writes add."""

    def __init__(self, instruments, calendar):
        self.calendar = list(calendar)
        self.ids = [f"{row:06d}.XSHG" for row in range(instruments)]
        self.index = {oid: row for row, oid in enumerate(self.ids)}
        dates = len(self.calendar)
        listing = np.random.default_rng([SEED, instruments]).integers(-dates // 3, dates, instruments)
        self.listing_col = np.maximum(listing, 0)

    @property
    def instruments(self):
        return len(self.ids)

    @property
    def dates(self):
        return len(self.calendar)

    @property
    def new_col(self):
        return self.dates - 1

    def values(self, col, revision=0):
        """The factor's values of every instrument on date column `col`;
        another `revision` gives other numbers (a recomputed history)."""
        rng = np.random.default_rng([SEED, revision, col])
        values = rng.standard_normal(self.instruments)
        values[rng.random(self.instruments) < SCATTERED_NAN_SHARE] = np.nan
        values[self.listing_col > col] = np.nan
        return values

    def items(self, col, rows, revision=0):
        values = self.values(col, revision)[rows].tolist()
        return [Item(self.ids[r], v) for r, v in zip(rows, values)]

    def packs(self, cols, rows, revision=0):
        return [Pack(self.calendar[c], self.items(c, rows, revision)) for c in cols]


def inject(detail, market):
    """Points the engine's reference data at `market`, the way the tests do;
    the date lookups are added only where the engine does not have them yet."""
    calendar, index = market.calendar, market.index
    detail.get_all_trading_dates = lambda: calendar
    detail._get_all_instrument_index = lambda: index
    detail.TRADING_DATES = None
    if not hasattr(detail, "_get_date_index"):
        detail._get_date_index = lambda d, /: date_index(calendar, d)
    if not hasattr(detail, "_get_date_section_index"):
        detail._get_date_section_index = lambda start_date, end_date: date_section(calendar, start_date, end_date)


# --- the filled file ----------------------------------------------------------


def fill_name(market, tag):
    return f"market-{market.instruments}x{market.dates}-v{DATA_VERSION}-{tag}.h5"


def cached_fills(market):
    return sorted(RESULTS.glob(f"market-{market.instruments}x{market.dates}-v{DATA_VERSION}-*.h5"))


def fill_record(path):
    """What the fill of `path` took, as written next to it."""
    try:
        return json.loads(path.with_suffix(".json").read_text())
    except (OSError, ValueError):
        return {}


def filled_file(market, tag, refill=False, reuse=False, log=print):
    """The factor file of `market` with its whole history written by the
    engine `tag`; made once and cached under bench/results."""
    path = RESULTS / fill_name(market, tag)
    others = [p for p in cached_fills(market) if p != path]
    complete = [p for p in others if not p.name.endswith("-filling.h5")]
    if reuse and complete and not path.exists() and not refill:
        log(f"reusing {complete[-1].name}, filled by another engine build")
        return complete[-1]
    if path.exists() and not refill:
        return path
    for stale in others:
        stale.unlink()
        stale.with_suffix(".json").unlink(missing_ok=True)
    fill(market, path, log)
    return path


def fill(market, path, log):
    """Writes every date but the new one through put_factor_packs, in batches."""
    import quorbel.detail as detail

    inject(detail, market)
    RESULTS.mkdir(exist_ok=True)
    partial = path.with_name(path.stem + "-filling.h5")
    partial.unlink(missing_ok=True)
    rows = range(market.instruments)
    started = time.perf_counter()
    h5 = detail.get_h5(str(partial), True)
    try:
        for first in range(0, market.new_col, FILL_BATCH_DATES):
            cols = range(first, min(first + FILL_BATCH_DATES, market.new_col))
            detail.put_factor_packs(h5, market.packs(cols, rows))
            log(f"  filled {cols.stop}/{market.new_col} dates, {time.perf_counter() - started:.0f} s")
    finally:
        h5.close()
    seconds = time.perf_counter() - started
    os.replace(partial, path)
    path.with_suffix(".json").write_text(json.dumps({"seconds": seconds, "dates": market.new_col}))
    log(f"filled {path.name} in {seconds:.0f} s")
