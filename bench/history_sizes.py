"""What a history takes on disk: a year of daily appends into a new file of
the market's shape, then that year written again with other values in one
put_factor_packs. Sizes only, measured as the history file grows; nothing
here is timed, so the history's format is free to change under it."""

import os
import zlib

import numpy as np

from history_writes import empty_file, put_packs

YEAR = 250
ZLIB_LEVEL = 6


def year_columns(market):
    """The last year of the market's filled dates."""
    return range(max(0, market.new_col - YEAR), market.new_col)


def changed_old_values(market, cols, revision=1):
    """The values before `revision` of the cells it changes, column by column
    and row by row: what the history has to keep to undo it. A cell changes
    when its value differs bit for bit; NaN to NaN is no change."""
    parts = []
    for col in cols:
        old, new = market.values(col), market.values(col, revision)
        same = (old.view(np.uint64) == new.view(np.uint64)) | (np.isnan(old) & np.isnan(new))
        parts.append(old[~same])
    return np.concatenate(parts) if parts else np.empty(0)


def compressed_size(values):
    """Bytes of `values` as little-endian float64, byte-shuffled (the first
    byte of every value, then the second, ...) and deflated by zlib in one
    piece: what a compact store of them would take."""
    raw = np.ascontiguousarray(values, dtype="<f8").view(np.uint8).reshape(-1, 8)
    return len(zlib.compress(raw.T.tobytes(), ZLIB_LEVEL))


def year_sizes(detail, market, path):
    """A new file at `path` with history on: the year's dates appended one
    put_factor_value each (every instrument), then all of them revised
    (revision 1) by one put_factor_packs. Returns the bytes each step added
    to the history beside the factor file's size and the old values'. The
    files stay, for the caller to look into or remove."""
    cols, rows = year_columns(market), range(market.instruments)
    history = path + ".history"
    empty_file(detail, market, path, True)
    began = os.path.getsize(history)
    h5 = detail.get_h5(path, True)
    try:
        for col in cols:
            detail.put_factor_value(h5, market.calendar[col], market.items(col, rows))
    finally:
        h5.close()
    appended, factor_bytes = os.path.getsize(history), os.path.getsize(path)
    put_packs(detail, path, market.packs(cols, rows, revision=1))
    revised = os.path.getsize(history)
    old = changed_old_values(market, cols)
    return {"dates": len(cols), "factor_bytes": factor_bytes, "append_bytes": appended - began,
            "revision_bytes": revised - appended, "changed_cells": int(old.size),
            "old_compressed_bytes": compressed_size(old), "old_raw_bytes": int(old.nbytes)}
