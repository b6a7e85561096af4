"""A MongoDB wire-protocol server on 127.0.0.1, for the tests and the demo.

No MongoDB server can be installed on our machines, so the engine's real
driver talks to nx-27017 (PyPI), a wire-protocol server backed by an
in-memory SQLite database, started here in a child process on a free port.

    with demo_mongodb(5000) as server:    # started, seeded, QUORBEL_MONGODB_URI set
        ...

    with WireServer() as server:          # or step by step
        seed_collection(server.uri, documents)

The helpers that seed a collection take any connection string, so they work
on a real ``mongod`` too.
"""

import contextlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import pymongo

DEFAULT_DATABASE = "quorbel"
DEFAULT_COLLECTION = "instruments"

# Runs the server's own command-line entry, whatever PATH holds, and ends it
# when the process that started it is gone, even one that was killed.
_SERVER_MAIN = """
import os, sys, threading, time
parent = os.getppid()

def orphaned_exit():
    while os.getppid() == parent:
        time.sleep(1)
    os._exit(0)

threading.Thread(target=orphaned_exit, daemon=True).start()
from nx_27017 import main
sys.argv[0] = "nx-27017"
sys.exit(main())
"""


def free_port(host="127.0.0.1"):
    """A TCP port on `host` that nothing listens on right now."""
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class WireServer:
    """nx-27017 in a child process, on 127.0.0.1 and a free port, with
    in-memory storage: everything seeded is gone when it stops."""

    def __init__(self, host="127.0.0.1", startup_timeout=30.0):
        self.host = host
        self.port = None
        self.startup_timeout = startup_timeout
        self._process = None
        self._workdir = None

    @property
    def uri(self):
        if self.port is None:
            raise RuntimeError("the wire server is not running")
        return f"mongodb://{self.host}:{self.port}"

    def start(self):
        try:
            import nx_27017  # noqa: F401
        except ImportError as e:
            raise RuntimeError("the MongoDB wire server needs the PyPI package nx-27017") from e
        self._workdir = tempfile.mkdtemp(prefix="quorbel-wire-server-")
        # Another process can take the port between our probe and the
        # server's bind; a few attempts make that harmless.
        for _ in range(3):
            self.port = free_port(self.host)
            if self._launch():
                return self
        log = self._log_tail()
        self.stop()
        raise RuntimeError(f"the MongoDB wire server did not start; its log ends with:\n{log}")

    def _launch(self):
        log = open(os.path.join(self._workdir, "server.log"), "ab")
        with log:
            self._process = subprocess.Popen(
                [sys.executable, "-c", _SERVER_MAIN,
                 "--db", "memory", "--host", self.host, "--port", str(self.port),
                 "--pid-file", os.path.join(self._workdir, f"{self.port}.pid"),
                 "--log-file", os.path.join(self._workdir, "nx.log")],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                cwd=self._workdir,
            )
        deadline = time.monotonic() + self.startup_timeout
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                return False
            if self._answers_ping():
                return True
            time.sleep(0.1)
        self._terminate()
        return False

    def _answers_ping(self):
        client = pymongo.MongoClient(self.uri, serverSelectionTimeoutMS=500, connectTimeoutMS=500)
        try:
            client.admin.command("ping")
            return True
        except pymongo.errors.PyMongoError:
            return False
        finally:
            client.close()

    def _log_tail(self, size=4000):
        try:
            with open(os.path.join(self._workdir, "server.log"), "rb") as f:
                return f.read()[-size:].decode(errors="replace")
        except OSError:
            return ""

    def _terminate(self):
        if self._process is None:
            return
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._process = None

    def stop(self):
        self._terminate()
        if self._workdir:
            shutil.rmtree(self._workdir, ignore_errors=True)
            self._workdir = None
        self.port = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def seed_collection(uri, documents, database=DEFAULT_DATABASE, collection=DEFAULT_COLLECTION):
    """Replace the collection's content by `documents`, stored in the given
    order (which is the order in which a find without sort returns them)."""
    client = pymongo.MongoClient(uri, serverSelectionTimeoutMS=10000)
    try:
        coll = client[database][collection]
        coll.drop()
        if documents:
            # insert_many adds _id to the dicts it is given; leave the caller's alone.
            coll.insert_many([dict(d) for d in documents], ordered=True)
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


def demo_instruments(count=5000):
    """`count` instrument documents such as {"order_book_id": "600000.XSHG",
    "index": 0, "exchange": "XSHG"}, the boards taken in turn, rows 0 on."""
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


def seed_demo_instruments(uri, count=5000, database=DEFAULT_DATABASE, collection=DEFAULT_COLLECTION):
    """Seed the instrument collection with `count` demo instruments; returns them."""
    documents = demo_instruments(count)
    seed_collection(uri, documents, database, collection)
    return documents


@contextlib.contextmanager
def demo_mongodb(count=5000):
    """A started wire server seeded with `count` demo instruments in the
    engine's configured database and collection, with QUORBEL_MONGODB_URI
    pointing at it until the block ends."""
    from quorbel import config

    previous = os.environ.get("QUORBEL_MONGODB_URI")
    with WireServer() as server:
        seed_demo_instruments(server.uri, count, config.DATABASE, config.COLLECTION)
        os.environ["QUORBEL_MONGODB_URI"] = server.uri
        try:
            yield server
        finally:
            if previous is None:
                os.environ.pop("QUORBEL_MONGODB_URI", None)
            else:
                os.environ["QUORBEL_MONGODB_URI"] = previous
