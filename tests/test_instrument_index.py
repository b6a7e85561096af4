"""The instrument index: rows of instruments read from MongoDB through the driver."""

import os

import pytest

from mongo_wire_server import demo_instruments, free_port


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_large_collection_round_trips(detail, instruments):
    # 6,000 documents take the driver through many getMore batches; extra
    # fields are fetched and ignored.
    documents = demo_instruments(6000)
    instruments.seed(documents)
    mapping = detail._get_all_instrument_index()
    assert mapping == {d["order_book_id"]: d["index"] for d in documents}
    assert all(type(row) is int for row in mapping.values())
    assert detail._get_stock_index("600000.XSHG") == 0
    assert detail._get_stock_index(documents[-1]["order_book_id"]) == 5999


def test_later_document_wins_and_rows_are_kept_as_stored(detail, instruments):
    instruments.seed([
        {"order_book_id": "600000.XSHG", "index": 7},
        {"order_book_id": "000001.XSHE", "index": 2**40},
        {"order_book_id": "600000.XSHG", "index": 3},
        # Kept as stored: readers and writers treat it as beyond the matrix.
        {"order_book_id": "300750.XSHE", "index": -1},
    ])
    expected = {}
    for d in instruments.stored_order():
        expected[d["order_book_id"]] = d["index"]
    mapping = detail._get_all_instrument_index()
    assert mapping == expected
    assert len(mapping) == 3
    assert mapping["300750.XSHE"] == -1


def test_empty_collection(detail, instruments):
    assert detail._get_all_instrument_index() == {}
    with pytest.raises(KeyError) as e:
        detail._get_stock_index("600000.XSHG")
    assert e.value.args == ("600000.XSHG",)


@pytest.mark.parametrize(
    "bad_document, error, text",
    [
        ({"order_book_id": "688981.XSHG"}, KeyError, "index"),
        ({"index": 9}, KeyError, "order_book_id"),
        ({"order_book_id": "688981.XSHG", "index": 9.5}, TypeError, "688981.XSHG"),
        ({"order_book_id": "688981.XSHG", "index": "9"}, TypeError, "688981.XSHG"),
        ({"order_book_id": 688981, "index": 9}, TypeError, "order_book_id"),
    ],
)
def test_malformed_document_fails_the_whole_call_without_leaking_a_client(
    detail, instruments, bad_document, error, text
):
    # The bad document comes after the first batch, so the driver holds an
    # open connection and a live cursor when the call fails.
    instruments.seed(demo_instruments(300) + [bad_document])
    with pytest.raises(error) as first:
        detail._get_all_instrument_index()
    assert text in str(first.value)
    if error is KeyError:
        assert first.value.args == (text,)
    before = open_descriptors()
    for _ in range(5):
        with pytest.raises(error):
            detail._get_all_instrument_index()
    assert open_descriptors() == before


def test_unreachable_server_is_a_connection_error(detail, instruments, monkeypatch):
    uri = f"mongodb://127.0.0.1:{free_port()}/?serverSelectionTimeoutMS=2000&connectTimeoutMS=2000"
    monkeypatch.setenv("QUORBEL_MONGODB_URI", uri)
    with pytest.raises(ConnectionError) as e:
        detail._get_all_instrument_index()
    assert isinstance(e.value, OSError)
    assert "No suitable servers found" in str(e.value)
    before = open_descriptors()
    for _ in range(3):
        with pytest.raises(ConnectionError):
            detail._get_all_instrument_index()
    assert open_descriptors() == before


def test_server_refusal_is_a_runtime_error(detail, instruments, monkeypatch):
    # Credentials the server does not accept: it answers, and says no.
    host = instruments.uri.split("//", 1)[1].split("/", 1)[0].split("@")[-1]
    monkeypatch.setenv("QUORBEL_MONGODB_URI", f"mongodb://nobody:wrong@{host}/?serverSelectionTimeoutMS=5000")
    with pytest.raises(RuntimeError) as e:
        detail._get_all_instrument_index()
    assert str(e.value)


@pytest.mark.parametrize(
    "setting, value",
    [("get_mongodb_uri", lambda: "not a connection string"), ("get_mongodb_uri", lambda: 27017),
     ("DATABASE", ""), ("DATABASE", "a.b"), ("COLLECTION", ""), ("COLLECTION", "a\0b")],
)
def test_bad_settings_are_refused_before_the_driver_sees_them(detail, instruments, monkeypatch, setting, value):
    monkeypatch.setattr(detail, setting, value)
    with pytest.raises((ValueError, TypeError)):
        detail._get_all_instrument_index()


def test_cache_serves_later_calls_without_a_query(detail, instruments, monkeypatch):
    instruments.seed(demo_instruments(10))
    asked = []

    def get_mongodb_uri():
        asked.append(1)
        return instruments.uri

    monkeypatch.setattr(detail, "get_mongodb_uri", get_mongodb_uri)
    first = detail._get_all_instrument_index()
    instruments.seed(demo_instruments(20))
    assert detail._get_all_instrument_index() is first
    assert detail._get_stock_index("600001.XSHG") == 4
    assert len(asked) == 1

    # A fresh computation asks for the connection string again and sees the new content.
    detail._get_all_instrument_index.cache_clear()
    assert len(detail._get_all_instrument_index()) == 20
    assert len(asked) == 2


def test_stock_index_takes_one_positional_argument(detail, instruments):
    instruments.seed(demo_instruments(3))
    with pytest.raises(TypeError):
        detail._get_stock_index(order_book_id="600000.XSHG")
    with pytest.raises(TypeError):
        detail._get_stock_index()
    assert detail._get_stock_index("000001.XSHE") == 2


def test_calendar_and_instrument_caches_are_separate(detail, instruments):
    assert detail.get_all_trading_dates.cache_clear is not detail._get_all_instrument_index.cache_clear
    detail.get_all_trading_dates.cache_clear()
    instruments.seed(demo_instruments(3))
    dates = detail.get_all_trading_dates()
    mapping = detail._get_all_instrument_index()
    assert isinstance(dates, list) and isinstance(mapping, dict)
    assert detail.get_all_trading_dates() is dates
