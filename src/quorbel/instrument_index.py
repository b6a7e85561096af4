"""The instrument index as a table: ``quorbel.instruments()``.

The engine keeps only ``order_book_id -> row`` of each instrument document;
this table adds the documents' other fields, read in the same query and by
the same rules (``_id`` left out, the later of two documents with one
``order_book_id`` wins).
"""

from __future__ import annotations

import json

__all__ = ["instruments"]

FIXED_COLUMNS = ("order_book_id", "row")


def _plain_json(mapping: dict):
    """A value that relaxed extended JSON wraps ($date, $numberDouble, ...) unwrapped."""
    if len(mapping) != 1:
        return mapping
    (key, value), = mapping.items()
    if key == "$numberDouble":
        return float(value)
    if key in ("$numberLong", "$numberInt"):
        return int(value)
    if key == "$oid":
        return value
    if key == "$date":
        import pandas as pd

        if isinstance(value, str):
            return pd.Timestamp(value)
        if isinstance(value, int):
            return pd.Timestamp(value, unit="ms", tz="UTC")
    return mapping


def instrument_table(documents) -> "pandas.DataFrame":
    """The table of ``(order_book_id, row, fields as JSON)`` triples, rows in order.

    Parameters
    ----------
    documents : iterable of tuple
        ``(order_book_id, row, JSON text of the other fields)`` in the
        collection's natural order.

    Returns
    -------
    pandas.DataFrame
        As :func:`instruments` returns it.
    """
    import pandas as pd

    latest = {}
    for order_book_id, row, fields in documents:
        latest.pop(order_book_id, None)  # a later document wins, and takes its place in the order
        latest[order_book_id] = (row, json.loads(fields, object_hook=_plain_json) if fields else {})
    columns = {name: [] for name in FIXED_COLUMNS}
    extra = []
    for fields in (fields for _, fields in latest.values()):
        extra += [name for name in fields if name not in columns and name not in extra]
    ordered = sorted(latest.items(), key=lambda item: item[1][0])
    table = pd.DataFrame({
        "order_book_id": pd.Series([i for i, _ in ordered], dtype=object),
        "row": pd.Series([row for _, (row, _) in ordered], dtype="int64"),
        **{name: pd.Series([fields.get(name) for _, (_, fields) in ordered], dtype=object).infer_objects()
           for name in extra if name not in FIXED_COLUMNS},
    })
    return table


def instruments() -> "pandas.DataFrame":
    """The instrument index: every instrument, its row and its other fields.

    Read afresh from the MongoDB collection that the engine reads
    (``QUORBEL_MONGODB_URI``, ``QUORBEL_DATABASE``, ``QUORBEL_COLLECTION``),
    with one query, through the engine's driver. The engine's own index
    is cached for an hour, so an instrument added since may show here first.

    Returns
    -------
    pandas.DataFrame
        One line per instrument, sorted by row: ``order_book_id``, ``row``
        (int64), then every other field of the documents, in the order
        they first appear (missing values as None or NaN).

    Raises
    ------
    ConnectionError
        When no server can be reached; the message names the connection
        string, ``QUORBEL_MONGODB_URI`` and ``quorbel index serve``.
    KeyError, TypeError
        For a document without ``order_book_id`` or ``index``, or with a
        row that is no integer, as the engine's index raises them.

    See Also
    --------
    quorbel.FactorLibrary.instruments : The same, falling back to a
        library's snapshot when the index cannot be reached.

    Examples
    --------
    >>> import quorbel
    >>> quorbel.instruments().head(3)  # doctest: +SKIP
      order_book_id  row exchange
    0   600000.XSHG    0     XSHG
    1   688001.XSHG    1     XSHG
    2   000001.XSHE    2     XSHE
    """
    from . import _extras

    return instrument_table(_extras._instrument_documents())
