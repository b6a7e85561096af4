"""Clearing a date of a factor on purpose (``FactorLibrary.clear``).

The writers leave a date whose values are all NaN as the file holds it, so
a clear goes to the engine's own operation, ``_clear_factor_date``, which
writes the date's whole column as NaN in one journalled write.
"""

from __future__ import annotations

from .. import detail
from .arguments import date_code
from .catalog import _existing_path, check_hdf5_signature
from .skip_counts import DateLookup
from .write_details import REASON_WORDS


def _clear_date(root: str, name: str, date) -> None:
    path = _existing_path(root, name)
    code = date_code(date)
    reason = DateLookup().reason(code)
    if reason is not None:
        # A clear that clears nothing would pass for done: refused instead, as nothing is written.
        raise ValueError(f"cannot clear factor {name!r} at {code}: {REASON_WORDS[reason]}; "
                         f"give a trading date of the calendar")
    check_hdf5_signature(path)
    with detail.get_h5(path, write=True) as h5:
        detail._clear_factor_date(h5, code)
