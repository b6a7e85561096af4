import gc
import itertools
import logging
import os
import subprocess
import sys
import textwrap

import pytest

import quorbel.detail as engine
from mongo_wire_server import WireServer, seed_collection
from quorbel import _diagnostics


def pytest_addoption(parser):
    parser.addoption("--fuzz-variants", type=int, default=int(os.environ.get("QUORBEL_FUZZ_VARIANTS", "60")),
                     help="malformed factor files to try in test_malformed_files.py (the full run is 2000)")


@pytest.fixture(autouse=True)
def _calendar_cache_left_as_found():
    """The engine caches the calendar in TRADING_DATES on first use; a test
    that reads dates without the market fixture must not hand its cache to
    the tests after it (the startup test checks it is still empty)."""
    cached = engine.TRADING_DATES
    yield
    engine.TRADING_DATES = cached


@pytest.fixture(scope="session", autouse=True)
def nothing_left_open():
    """Once every test has run, the engine holds no HDF5 identifier and no
    MongoDB client: whatever a test left unreachable must have been released."""
    yield
    gc.collect()
    left = {"HDF5 identifiers": _diagnostics.open_hdf5_objects(),
            "MongoDB clients": _diagnostics.open_mongo_clients()}
    assert left == {"HDF5 identifiers": 0, "MongoDB clients": 0}


@pytest.fixture
def detail():
    return engine


@pytest.fixture
def logs(caplog):
    """Root-logger records at INFO and above, as (level, template, args)."""
    caplog.set_level(logging.INFO)

    def records():
        return [(r.levelname, r.msg, r.args) for r in caplog.records]

    return records


def run_python(code, timeout=120, env=None):
    """Runs `code` in a fresh interpreter and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]


class Market:
    """Injects a trading calendar and an instrument index into the engine."""

    def __init__(self, detail, monkeypatch):
        self.detail = detail
        self.monkeypatch = monkeypatch
        self.fetches = []
        self.set_calendar(CALENDAR)
        self.set_instruments({})

    def set_calendar(self, dates):
        self.calendar = list(dates)
        self.monkeypatch.setattr(self.detail, "get_all_trading_dates",
                                 lambda: self.fetches.append("calendar") or self.calendar, raising=False)
        self.monkeypatch.setattr(self.detail, "TRADING_DATES", None)

    def set_instruments(self, index):
        self.instruments = dict(index)
        self.monkeypatch.setattr(self.detail, "_get_all_instrument_index",
                                 lambda: self.fetches.append("instruments") or self.instruments, raising=False)


@pytest.fixture
def market(detail, monkeypatch):
    return Market(detail, monkeypatch)


# ---- MongoDB: the wire-protocol server, or a real mongod --------------------

REAL_MONGODB_ENV = "QUORBEL_TEST_MONGODB_URI"
_collection_numbers = itertools.count()


@pytest.fixture(scope="session")
def wire_server():
    """The wire-protocol server, started once for the whole session."""
    server = WireServer().start()
    yield server
    server.stop()


@pytest.fixture(scope="session", params=["wire", "mongod"])
def mongo_server_uri(request):
    """Every test that uses it runs against the wire server, and against a
    real mongod when QUORBEL_TEST_MONGODB_URI names one (skipped otherwise)."""
    if request.param == "mongod":
        uri = os.environ.get(REAL_MONGODB_ENV)
        if not uri:
            pytest.skip(f"{REAL_MONGODB_ENV} is not set")
        return uri
    return request.getfixturevalue("wire_server").uri


def clear_reference_caches():
    engine.get_all_trading_dates.cache_clear()
    engine._get_all_instrument_index.cache_clear()


class InstrumentCollection:
    """A fresh collection that the engine's instrument index reads."""

    def __init__(self, uri, database, collection):
        self.uri, self.database, self.collection = uri, database, collection

    def seed(self, documents):
        seed_collection(self.uri, documents, self.database, self.collection)

    def stored_order(self):
        """The documents as a find without sort returns them, _id left out."""
        import pymongo

        with pymongo.MongoClient(self.uri) as client:
            return list(client[self.database][self.collection].find({}, {"_id": 0}))


@pytest.fixture
def instruments(mongo_server_uri, monkeypatch):
    """Points the engine at an empty collection of its own on the server
    (QUORBEL_MONGODB_URI, get_mongodb_uri, DATABASE, COLLECTION) and clears
    both reference-data caches before and after the test."""
    from quorbel import config

    target = InstrumentCollection(mongo_server_uri, "quorbel_test", f"instruments_{next(_collection_numbers)}")
    monkeypatch.setenv("QUORBEL_MONGODB_URI", mongo_server_uri)
    monkeypatch.setattr(engine, "get_mongodb_uri", config.get_mongodb_uri)
    monkeypatch.setattr(engine, "DATABASE", target.database)
    monkeypatch.setattr(engine, "COLLECTION", target.collection)
    target.seed([])
    clear_reference_caches()
    yield target
    clear_reference_caches()
    target.seed([])
