"""The tests' MongoDB wire-protocol server on 127.0.0.1: the package's own
local index server (quorbel.index_server, on the PyPI package nx-27017),
run in a child process so that it neither competes with the tests for the
GIL nor outlives the test session.

No MongoDB server can be installed on our machines, so the engine's real
driver talks to this one.

    with demo_mongodb(5000) as server:    # started, seeded, QUORBEL_MONGODB_URI set
        ...

    with WireServer() as server:          # or step by step
        seed_collection(server.uri, documents)

The helpers that seed a collection take any connection string, so they work
on a real ``mongod`` too.
"""

import contextlib
import os
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile

import quorbel
from quorbel import index_server
from quorbel.index_server import demo_instruments  # noqa: F401 - the tests import it from here

DEFAULT_DATABASE = "quorbel"
DEFAULT_COLLECTION = "instruments"

# Serves on a free port, says which on its first line, and ends when the
# process that started it is gone, even one that was killed.
_SERVER_MAIN = """
import os, sys, threading, time
parent = os.getppid()

def orphaned_exit():
    while os.getppid() == parent:
        time.sleep(1)
    os._exit(0)

threading.Thread(target=orphaned_exit, daemon=True).start()
from quorbel.index_server import IndexServer
server = IndexServer(port=0).start()
print(server.uri, flush=True)
while True:
    time.sleep(3600)
"""


def free_port(host="127.0.0.1"):
    """A TCP port on `host` that nothing listens on right now."""
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class WireServer:
    """The local index server in a child process, on 127.0.0.1 and a free
    port, with in-memory storage: everything seeded is gone when it stops."""

    def __init__(self, startup_timeout=60.0):
        self.uri_text = None
        self.startup_timeout = startup_timeout
        self._process = None
        self._workdir = None

    @property
    def uri(self):
        if self.uri_text is None:
            raise RuntimeError("the wire server is not running")
        return self.uri_text

    @property
    def port(self):
        return None if self.uri_text is None else int(self.uri_text.rsplit(":", 1)[1])

    def start(self):
        self._workdir = tempfile.mkdtemp(prefix="quorbel-wire-server-")
        # The child imports the same quorbel as these tests, wherever it lies.
        package_parent = os.path.dirname(os.path.dirname(os.path.abspath(quorbel.__file__)))
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [package_parent] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
        log = open(os.path.join(self._workdir, "server.log"), "ab")
        with log:
            self._process = subprocess.Popen(
                [sys.executable, "-c", _SERVER_MAIN], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=log, cwd=self._workdir, env=env, text=True)
        line = self._first_line()
        if not line.startswith("mongodb://"):
            log_tail = self._log_tail()
            self.stop()
            raise RuntimeError(f"the MongoDB wire server did not start; its log ends with:\n{log_tail}")
        self.uri_text = line
        return self

    def _first_line(self):
        """The child's first line, or "" when it ends or stays silent too long."""
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            if not selector.select(timeout=self.startup_timeout):
                return ""
        return self._process.stdout.readline().strip()

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
        self._process.stdout.close()
        self._process = None

    def stop(self):
        self._terminate()
        if self._workdir:
            shutil.rmtree(self._workdir, ignore_errors=True)
            self._workdir = None
        self.uri_text = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def seed_collection(uri, documents, database=DEFAULT_DATABASE, collection=DEFAULT_COLLECTION):
    """Replace the collection's content by `documents`, stored in the given
    order (which is the order in which a find without sort returns them)."""
    index_server.seed_collection(uri, documents, database, collection)


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
