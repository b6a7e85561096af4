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
import signal
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


def _child_environment():
    """This environment, with the quorbel these tests import first on PYTHONPATH."""
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(quorbel.__file__)))
    return dict(os.environ, PYTHONPATH=os.pathsep.join(
        [package_parent] + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))


def _line_within(stream, seconds):
    """The next line of `stream`, or "" when it ends or stays silent that long."""
    with selectors.DefaultSelector() as selector:
        selector.register(stream, selectors.EVENT_READ)
        if not selector.select(timeout=seconds):
            return ""
    return stream.readline()


class ServeCommand:
    """`quorbel index serve ARGS` as a user runs it: a process of its own,
    whose export line gives the connection string. stop() ends it with
    SIGINT, as Ctrl-C does, and returns (exit status, stderr)."""

    EXPORT = "export QUORBEL_MONGODB_URI="

    def __init__(self, *args, startup_timeout=120.0):
        self.args = ["--port", "0", *args] if "--port" not in args else list(args)
        self.startup_timeout = startup_timeout
        self.process = None
        self.uri = None
        self.output = []

    def start(self):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "quorbel.cli", "index", "serve", *self.args], stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_child_environment(), text=True)
        line = _line_within(self.process.stdout, self.startup_timeout)
        self.output.append(line)
        if not line.startswith(self.EXPORT):
            status, errors = self.stop()
            raise RuntimeError(f"quorbel index serve printed {line!r}, exit status {status}:\n{errors}")
        self.uri = line.strip()[len(self.EXPORT):]
        return self

    def stop(self):
        """Ends the command as Ctrl-C does; (exit status, its stderr)."""
        if self.process is None:
            return None, ""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            _, errors = self.process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, errors = self.process.communicate()
        status, self.process = self.process.returncode, None
        return status, errors

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


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
        log = open(os.path.join(self._workdir, "server.log"), "ab")
        with log:
            # The child imports the same quorbel as these tests, wherever it lies.
            self._process = subprocess.Popen(
                [sys.executable, "-c", _SERVER_MAIN], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=log, cwd=self._workdir, env=_child_environment(), text=True)
        line = _line_within(self._process.stdout, self.startup_timeout).strip()
        if not line.startswith("mongodb://"):
            log_tail = self._log_tail()
            self.stop()
            raise RuntimeError(f"the MongoDB wire server did not start; its log ends with:\n{log_tail}")
        self.uri_text = line
        return self

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
