"""The scenarios: what each one reads or writes. The engine, the baseline and
the floor all take their work from here, so that the three do the same."""

from dataclasses import dataclass

import numpy as np

SCENARIOS = ("W1", "W2", "W3", "R1", "R2", "R3", "RW")
SCALED_SCENARIOS = ("R2", "W1")
SPREAD_INSTRUMENTS = 300
RECENT_DATES = 250
BACKFILL_DATES = 250


@dataclass(frozen=True)
class Workload:
    name: str  # its row in the table
    scenario: str  # one of SCENARIOS
    kind: str  # "value", "packs", "read", "rewrite", or the RW references "read_all", "write_all"
    text: str
    rows: object  # instrument rows read or written (a range or a list)
    cols: range  # date columns read or written
    revision: int = 0  # which numbers a write stores (see Market.values)


def spread_rows(market, count):
    """`count` rows spread evenly from the first instrument to the last."""
    return sorted(set(np.linspace(0, market.instruments - 1, min(count, market.instruments)).round().astype(int).tolist()))


def backfill_cols(market):
    """BACKFILL_DATES consecutive dates in the middle of the written history."""
    first = max(0, (market.new_col - BACKFILL_DATES) // 2)
    return range(first, min(first + BACKFILL_DATES, market.new_col))


def define(scenario, market, name=None):
    n, dates = market.instruments, market.dates
    everyone, spread = range(n), spread_rows(market, SPREAD_INSTRUMENTS)
    new_date = range(market.new_col, market.new_col + 1)
    history = range(0, dates)
    backfill = backfill_cols(market)
    specs = {
        "W1": ("value", f"daily write: put_factor_value, 1 new date x {n:,} values", everyone, new_date, 0),
        "W2": ("value", f"small write: put_factor_value, 1 new date x {len(spread)} values", spread, new_date, 0),
        "W3": ("packs", f"backfill: put_factor_packs, {len(backfill)} dates x {n:,} values "
                        f"(target: within 1.5x of the floor)", everyone, backfill, 1),
        "R1": ("read", f"read {n:,} instruments x last {RECENT_DATES} dates", everyone,
               range(dates - RECENT_DATES, dates), 0),
        "R2": ("read", f"read {n:,} instruments x full history ({dates:,} dates)", everyone, history, 0),
        "R3": ("read", f"read {len(spread)} spread instruments x full history", spread, history, 0),
        "RW": ("rewrite", "rewrite_factor of the full file", everyone, history, 0),
        "read_all": ("read_all", "one read of the whole matrix", everyone, history, 0),
        "write_all": ("write_all", "one write of the whole matrix into a new file", everyone, history, 0),
    }
    kind, text, rows, cols, revision = specs[scenario]
    return Workload(name or scenario, scenario, kind, text, rows, cols, revision)


def scaled_name(scenario, instruments):
    return f"{scenario} @{instruments:,}"


# --- results that must agree between the engine and the baseline -------------


def digest_rows(pairs):
    """(rows, cells, NaN cells, sum of the numbers) of a stream of
    (order_book_id, values) pairs."""
    rows = cells = nans = 0
    total = 0.0
    for _, values in pairs:
        missing = np.isnan(values)
        rows, cells, nans = rows + 1, cells + values.size, nans + int(missing.sum())
        total += float(values[~missing].sum())
    return [rows, cells, nans, repr(total)]


def digest_block(block):
    missing = np.isnan(block)
    return [block.shape[0], int(block.size), int(missing.sum()), repr(float(block[~missing].sum()))]
