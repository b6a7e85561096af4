"""A library's record of which instrument each row holds: made and grown by
writes, refusing an index that moved an instrument, standing in for the
index while it cannot be reached."""

import hashlib
import json
import logging
import os

import numpy as np
import pytest

import quorbel
from conftest import CALENDAR
from mongo_wire_server import free_port

SNAPSHOT = os.path.join(".quorbel", "instruments.json")


@pytest.fixture
def lib(market, tmp_path):
    market.set_calendar(CALENDAR)
    market.set_instruments({"A": 0, "B": 1, "C": 2})
    return quorbel.FactorLibrary(tmp_path)


def recorded(lib):
    with open(os.path.join(lib.root, SNAPSHOT), encoding="utf-8") as f:
        return json.load(f)["rows"]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def unreachable(market, monkeypatch):
    def no_server():
        raise ConnectionError("cannot reach the instrument index at mongodb://127.0.0.1:1: refused")

    monkeypatch.setattr(market.detail, "_get_all_instrument_index", no_server)
    # quorbel.instruments() reads the collection itself, through the driver.
    monkeypatch.setenv("QUORBEL_MONGODB_URI", f"mongodb://127.0.0.1:{free_port()}/?serverSelectionTimeoutMS=300")


def test_writes_record_the_rows_and_add_new_instruments_only(lib, market):
    lib.write(CALENDAR[0], {"alpha": {"A": 1.0, "C": 3.0}}, create=True)
    assert recorded(lib) == {"A": 0, "B": 1, "C": 2}
    assert lib.names() == ["alpha"]  # the hidden folder is no factor

    # Unchanged index: the record is not rewritten, write after write.
    path = os.path.join(lib.root, SNAPSHOT)
    before = os.stat(path)
    lib.write(CALENDAR[1], {"alpha": {"A": 1.5}})
    after = os.stat(path)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)

    # A new instrument is added; one the index dropped keeps its row.
    market.set_instruments({"A": 0, "C": 2, "D": 3})
    lib.write(CALENDAR[2], {"alpha": {"D": 4.0}})
    assert recorded(lib) == {"A": 0, "B": 1, "C": 2, "D": 3}
    assert [n for n in os.listdir(os.path.dirname(path))] == ["instruments.json"]  # no temporary left


def test_a_moved_instrument_is_refused_naming_it_and_nothing_is_written(lib, market):
    lib.write(CALENDAR[0], {"alpha": {"A": 1.0, "B": 2.0}}, create=True)
    factor = lib.path("alpha")
    files_before, record_before = digest(factor), recorded(lib)

    market.set_instruments({"A": 0, "B": 7, "C": 1, "E": 4})
    with pytest.raises(ValueError) as refused:
        lib.write_packs({"alpha": {CALENDAR[1]: {"A": 9.0}}, "beta": {CALENDAR[1]: {"A": 9.0}}}, create=True)
    text = str(refused.value)
    assert "B (row 1 in the snapshot, 7 in the index)" in text and "C (row 2 in the snapshot, 1 in the index)" in text
    assert "A (" not in text
    assert "Nothing was written" in text and SNAPSHOT in text
    assert digest(factor) == files_before and "beta" not in lib
    assert recorded(lib) == record_before  # E is not recorded under an index that was refused

    # Put back, the index is accepted again.
    market.set_instruments({"A": 0, "B": 1, "C": 2, "E": 4})
    lib.write(CALENDAR[1], {"alpha": {"A": 9.0}})
    assert recorded(lib) == {"A": 0, "B": 1, "C": 2, "E": 4}


def test_a_record_changed_by_another_process_is_read_again(lib):
    lib.write(CALENDAR[0], {"alpha": {"A": 1.0}}, create=True)
    path = os.path.join(lib.root, SNAPSHOT)
    with open(path, encoding="utf-8") as f:
        content = json.load(f)
    content["rows"]["A"] = 5
    with open(path, "w", encoding="utf-8") as f:
        json.dump(content, f)
    with pytest.raises(ValueError, match=r"A \(row 5 in the snapshot, 0 in the index\)"):
        lib.write(CALENDAR[1], {"alpha": {"A": 2.0}})


@pytest.mark.parametrize("content", ["{not json", '{"rows": {"A": 0}}', '{"format": "quorbel instrument snapshot", '
                                     '"rows": {"A": "zero"}}'])
def test_a_damaged_record_is_named_and_blocks_writes(lib, content):
    os.makedirs(os.path.join(lib.root, ".quorbel"))
    with open(os.path.join(lib.root, SNAPSHOT), "w") as f:
        f.write(content)
    with pytest.raises(ValueError, match="instruments.json") as refused:
        lib.write(CALENDAR[0], {"alpha": {"A": 1.0}}, create=True)
    assert "remove it" in str(refused.value) and "alpha" not in lib


def test_reads_label_rows_from_the_record_while_the_index_is_unreachable(lib, market, monkeypatch, caplog):
    lib.write(CALENDAR[0], {"alpha": {"A": 1.0, "B": 2.0, "C": 3.0}}, create=True)
    live = lib.read(start=CALENDAR[0], end=CALENDAR[0])
    some = lib.read(ids=["C", "A", "NOT.LISTED"], start=CALENDAR[0], end=CALENDAR[0])

    unreachable(market, monkeypatch)
    caplog.set_level(logging.INFO)
    fallback = lib.read(start=CALENDAR[0], end=CALENDAR[0])
    warnings = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and warnings[0].name == "root"
    assert "cannot be reached" in warnings[0].getMessage() and SNAPSHOT in warnings[0].getMessage()
    assert list(fallback.instrument.values) == list(live.instrument.values) == ["A", "B", "C"]
    np.testing.assert_array_equal(fallback.values, live.values)

    picked = lib.read(ids=["C", "A", "NOT.LISTED"], start=CALENDAR[0], end=CALENDAR[0])
    assert list(picked.instrument.values) == list(some.instrument.values) == ["C", "A"]
    np.testing.assert_array_equal(picked.values, some.values)

    table = lib.instruments()
    assert table.to_dict("list") == {"order_book_id": ["A", "B", "C"], "row": [0, 1, 2]}

    # Writes are refused outright: their rows cannot be checked.
    with pytest.raises(ConnectionError):
        lib.write(CALENDAR[1], {"alpha": {"A": 1.0}})


def test_without_a_record_an_unreachable_index_fails_the_read(lib, market, monkeypatch):
    quorbel.detail.create_new_factor_h5(lib.path("alpha"), (3, len(CALENDAR)))
    unreachable(market, monkeypatch)
    with pytest.raises(ConnectionError, match="cannot reach the instrument index"):
        lib.read(start=CALENDAR[0], end=CALENDAR[0])
    with pytest.raises(ConnectionError):
        lib.instruments()
