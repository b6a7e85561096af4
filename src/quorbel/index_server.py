"""A local instrument index: a MongoDB wire-protocol server on 127.0.0.1.

The engine reads the instrument index from MongoDB through its C driver.
Where no MongoDB server runs (a laptop, a CI machine), the PyPI package
nx-27017 (``pip install quorbel[local]``) answers the same wire protocol
from an in-memory SQLite database; this module runs it inside the calling
process, on a thread of its own, and fills the collection that the engine
reads. ``quorbel index serve`` is its command-line face.

Everything served lives in memory: it is gone when the server stops.

Examples
--------
>>> from quorbel.index_server import IndexServer, seed_collection, demo_instruments
>>> with IndexServer(port=0) as server:                   # doctest: +SKIP
...     seed_collection(server.uri, demo_instruments(10))
...     print(server.uri)
mongodb://127.0.0.1:40123
"""

from __future__ import annotations

import asyncio
import collections
import math
import os
import threading

from . import config

__all__ = ["IndexServer", "seed_collection", "demo_instruments", "load_instruments"]

HOST = "127.0.0.1"
INSTALL_HINT = "the local index server needs the extra quorbel[local] (pip install 'quorbel[local]')"


def _server_parts():
    try:
        from nx_27017.handler import NeoSQLiteHandler
        from nx_27017.server import handle_client
    except ImportError as error:
        raise ImportError(f"{INSTALL_HINT}: {error}") from error
    return NeoSQLiteHandler, handle_client


class IndexServer:
    """nx-27017 serving the wire protocol on a thread of this process.

    Parameters
    ----------
    port : int, default 0
        The TCP port on 127.0.0.1; 0 lets the system pick a free one.

    Attributes
    ----------
    port : int or None
        The port listened on while the server runs.

    Raises
    ------
    ValueError
        When `port` is no integer from 0 to 65535.
    ImportError
        From :meth:`start`, when nx-27017 is not installed.
    OSError
        From :meth:`start`, naming the address, when the port cannot be bound
        (taken by another program, say).

    Examples
    --------
    >>> server = IndexServer().start()  # doctest: +SKIP
    >>> server.uri                      # doctest: +SKIP
    'mongodb://127.0.0.1:40123'
    >>> server.stop()                   # doctest: +SKIP
    """

    def __init__(self, port: int = 0):
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"the index server's port must be an integer from 0 to 65535, not {port!r}")
        self.port = None
        self._wanted_port = port
        self._thread = None
        self._loop = None
        self._listener = None
        self._handler = None

    @property
    def uri(self) -> str:
        """The connection string of the running server, ``mongodb://127.0.0.1:PORT``.

        Raises
        ------
        RuntimeError
            When the server is not running.
        """
        if self.port is None:
            raise RuntimeError("the index server is not running; call start() first")
        return f"mongodb://{HOST}:{self.port}"

    def start(self) -> "IndexServer":
        """Binds the port and starts answering; returns the server itself.

        Returns
        -------
        IndexServer
        """
        if self._thread is not None:
            raise RuntimeError(f"the index server already runs at {self.uri}")
        handler_kind, handle_client = _server_parts()
        self._handler = handler_kind(":memory:")
        loop = asyncio.new_event_loop()

        async def serve_one(reader, writer):
            try:
                await handle_client(reader, writer, self._handler)
            except asyncio.CancelledError:
                # stop() cancels the connections still open. The task ends
                # normally all the same: the stream's own done-callback asks
                # a cancelled task for its exception (Python 3.11), which
                # raises and prints a traceback.
                writer.close()

        try:
            self._listener = loop.run_until_complete(asyncio.start_server(serve_one, HOST, self._wanted_port))
        except OSError as error:
            loop.close()
            self._handler.close_all()
            raise OSError(error.errno, f"the index server cannot listen on {HOST}:{self._wanted_port}: "
                                       f"{error.strerror or error}") from None
        self._loop = loop
        self.port = self._listener.sockets[0].getsockname()[1]
        self._thread = threading.Thread(target=loop.run_forever, name=f"quorbel-index-server-{self.port}",
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Closes every connection and the listening socket; what was served is gone.

        Returns
        -------
        None
        """
        if self._thread is None:
            return
        loop = self._loop
        future = asyncio.run_coroutine_threadsafe(self._shut_down(), loop)
        future.result()
        loop.call_soon_threadsafe(loop.stop)
        self._thread.join()
        loop.run_until_complete(loop.shutdown_default_executor())
        loop.close()
        self._handler.close_all()
        self._thread = self._loop = self._listener = self._handler = None
        self.port = None

    async def _shut_down(self):
        self._listener.close()
        current = asyncio.current_task()
        clients = [task for task in asyncio.all_tasks() if task is not current]
        for task in clients:
            task.cancel()
        await asyncio.gather(*clients, return_exceptions=True)

    def __enter__(self) -> "IndexServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def seed_collection(uri: str, documents: list, database: "str | None" = None,
                    collection: "str | None" = None) -> None:
    """Replace a collection's content by `documents`, stored in their order.

    That order is the one in which a find without sort returns them, so of
    two documents with one ``order_book_id`` the engine keeps the later.
    Works on any MongoDB server, not only the local one.

    Parameters
    ----------
    uri : str
        The server's connection string.
    documents : list of dict
        The documents; they are copied, never changed.
    database, collection : str, optional
        Where to store them; ``config.DATABASE`` and ``config.COLLECTION``
        (the engine's settings) by default.

    Returns
    -------
    None
    """
    try:
        import pymongo
    except ImportError as error:
        raise ImportError(f"{INSTALL_HINT}: {error}") from error
    client = pymongo.MongoClient(uri, serverSelectionTimeoutMS=10000)
    try:
        stored = client[database or config.DATABASE][collection or config.COLLECTION]
        stored.drop()
        if documents:
            stored.insert_many([dict(d) for d in documents], ordered=True)
    finally:
        client.close()


# Boards of the Shanghai (XSHG) and Shenzhen (XSHE) markets: code pattern,
# exchange, first and last number.
_BOARDS = (
    ("60{:04d}", "XSHG", 0, 5999),   # Shanghai main board, 600000 on
    ("688{:03d}", "XSHG", 1, 999),   # Shanghai STAR market
    ("00{:04d}", "XSHE", 1, 3999),   # Shenzhen main board, 000001 on
    ("30{:04d}", "XSHE", 1, 1999),   # Shenzhen ChiNext
)

DEMO_INSTRUMENTS = 5000
"""How many instruments ``quorbel index serve`` serves without ``--from``."""


def demo_instruments(count: int = DEMO_INSTRUMENTS) -> list:
    """The demo's instrument documents: the boards taken in turn, rows 0 on.

    Parameters
    ----------
    count : int, default 5000
        How many; the boards hold 11,998.

    Returns
    -------
    list of dict
        ``{"order_book_id": "600000.XSHG", "index": 0, "exchange": "XSHG"}``,
        ``688001.XSHG`` at row 1, ``000001.XSHE`` at row 2, and so on.

    Raises
    ------
    ValueError
        When the boards hold fewer than `count` instruments.

    Examples
    --------
    >>> [d["order_book_id"] for d in demo_instruments(3)]
    ['600000.XSHG', '688001.XSHG', '000001.XSHE']
    """
    documents = []
    number = 0
    while len(documents) < count:
        progressed = False
        for pattern, exchange, first, last in _BOARDS:
            if first + number > last or len(documents) == count:
                continue
            progressed = True
            code = pattern.format(first + number)
            documents.append({"order_book_id": f"{code}.{exchange}", "index": len(documents), "exchange": exchange})
        if not progressed:
            raise ValueError(f"the demo boards hold fewer than {count} instruments")
        number += 1
    return documents


# ---- instruments from a file -------------------------------------------------

# Identifiers shown in one error at most.
SHOWN_AT_MOST = 5


def _read_table(path: str):
    import pandas as pd

    lower = path.lower()
    if lower.endswith(".csv"):
        # Identifiers such as 000001.XSHE stay text, leading zeros included.
        return pd.read_csv(path, dtype={"order_book_id": str})
    if lower.endswith((".parquet", ".pq")):
        try:
            return pd.read_parquet(path)
        except ImportError as error:
            raise ImportError(f"reading {path} needs pyarrow: {INSTALL_HINT}") from error
    raise ValueError(f"{path}: an instrument file must be a CSV (.csv) or Parquet (.parquet) file")


def _plain(value):
    """A cell as BSON stores it; None for a missing one."""
    import pandas as pd

    if getattr(value, "ndim", 0) > 0:  # a list cell of a Parquet file
        return value.tolist()
    if isinstance(value, (list, dict)):
        return value
    try:
        if pd.isna(value):
            return None
    except (TypeError, ValueError):
        pass
    if hasattr(value, "to_pydatetime"):
        return value.to_pydatetime()
    if hasattr(value, "item"):  # NumPy scalars
        return value.item()
    return value


def _shown(values) -> str:
    listed = ", ".join(str(v) for v in values[:SHOWN_AT_MOST])
    return listed + (f" and {len(values) - SHOWN_AT_MOST} more" if len(values) > SHOWN_AT_MOST else "")


def load_instruments(path: "str | os.PathLike") -> list:
    """Instrument documents from a CSV or Parquet file.

    Parameters
    ----------
    path : str or os.PathLike
        A ``.csv`` or ``.parquet`` file with the columns ``order_book_id``
        (text) and ``index`` (the row, an integer), and any further columns,
        which become further fields (an empty cell is no field).

    Returns
    -------
    list of dict
        One document per line, in the file's order.

    Raises
    ------
    FileNotFoundError
        When the file does not exist.
    ValueError
        Naming the file: another suffix, a missing column, an empty or
        repeated ``order_book_id``, a row that is no non-negative integer,
        two instruments on one row.
    ImportError
        For a Parquet file without pyarrow installed.

    Examples
    --------
    >>> load_instruments("instruments.csv")  # doctest: +SKIP
    [{'order_book_id': '600000.XSHG', 'index': 0, 'name': 'PF Bank'}]
    """
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"instrument file not found: {path}")
    table = _read_table(path)
    missing = [c for c in ("order_book_id", "index") if c not in table.columns]
    if missing:
        raise ValueError(f"{path}: the instrument file lacks the column(s) {', '.join(missing)} "
                         f"(it has {', '.join(map(str, table.columns)) or 'none'})")
    documents = []
    csv = path.lower().endswith(".csv")
    for number, record in enumerate(table.to_dict("records"), start=2 if csv else 1):
        line = f"line {number}" if csv else f"record {number}"
        document = {str(k): v for k, v in ((k, _plain(v)) for k, v in record.items()) if v is not None}
        order_book_id, row = document.get("order_book_id"), document.get("index")
        if order_book_id is None or order_book_id == "":
            raise ValueError(f"{path}, {line}: order_book_id is empty")
        if not isinstance(order_book_id, str):
            raise ValueError(f"{path}, {line}: order_book_id must be text, not {order_book_id!r}")
        if isinstance(row, float) and row.is_integer():
            row = int(row)
        if isinstance(row, bool) or not isinstance(row, int) or row < 0:
            raise ValueError(f"{path}, {line}: the row (index) of {order_book_id} must be a non-negative "
                             f"integer, not {record['index']!r}")
        document["index"] = row
        documents.append(document)
    counts = collections.Counter(d["order_book_id"] for d in documents)
    repeated = sorted(i for i, n in counts.items() if n > 1)
    if repeated:
        raise ValueError(f"{path}: these instruments appear more than once: {_shown(repeated)}")
    holders = {}
    for document in documents:
        holders.setdefault(document["index"], []).append(document["order_book_id"])
    shared = [f"row {row}: {' and '.join(names)}" for row, names in sorted(holders.items()) if len(names) > 1]
    if shared:
        raise ValueError(f"{path}: two instruments on one row ({_shown(shared)}); every instrument needs a row "
                         "of its own")
    return documents
