"""`quorbel ls`: a library folder listed a factor a line, as text and as JSON."""

import json
import os
import sys

import h5py
import numpy as np
import pytest

from quorbel import cli


@pytest.fixture(autouse=True)
def calendar_snapshot_restored(detail, monkeypatch):
    monkeypatch.setattr(detail, "TRADING_DATES", detail.TRADING_DATES)


def factor_file(path, values, cursor_col):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with h5py.File(path, "w") as f:
        d = f.create_dataset("data", data=values, chunks=(8, 8), maxshape=(None, None), compression="gzip",
                             compression_opts=9, fillvalue=np.nan)
        if cursor_col is not None:
            d.attrs["cursor_col"] = cursor_col


@pytest.fixture
def library(tmp_path):
    values = np.full((20, 40), np.nan)
    values[3:9, 5:31] = 1.5
    factor_file(str(tmp_path / "style" / "momentum.h5"), values, 33)
    factor_file(str(tmp_path / "value.h5"), np.full((10, 12), np.nan), None)
    factor_file(str(tmp_path / ".hidden.h5"), values, 1)
    (tmp_path / "notes.txt").write_text("not a factor")
    return tmp_path


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_listing_as_json_names_dates_and_sizes(detail, library, capsys):
    status, out, err = run(capsys, "ls", str(library), "--json")
    assert status == 0, err
    entries = {e["name"]: e for e in json.loads(out)}
    assert sorted(entries) == ["style/momentum", "value"]
    date = lambda column: detail._get_date_by_index(column, column)[0]
    momentum = entries["style/momentum"]
    assert momentum["shape"] == [20, 40]
    assert (momentum["first_value_date"], momentum["last_value_date"], momentum["cursor_date"]) == \
        (date(5), date(30), date(33))
    assert momentum["size"] == os.path.getsize(library / "style" / "momentum.h5")
    empty = entries["value"]
    assert (empty["first_value_date"], empty["last_value_date"], empty["cursor_date"]) == (None, None, None)


def test_text_listing_and_a_broken_file(library, capsys):
    (library / "broken.h5").write_bytes(b"not an HDF5 file at all")
    status, out, err = run(capsys, "ls", str(library))
    lines = out.splitlines()
    assert lines[0].split() == ["name", "shape", "first", "last", "cursor", "size"]
    by_name = {line.split()[0]: line for line in lines[1:]}
    assert sorted(by_name) == ["broken", "style/momentum", "value"]
    assert "20 x 40" in by_name["style/momentum"]
    assert by_name["value"].split()[4:7] == ["-", "-", "-"]
    assert "error:" in by_name["broken"]
    assert status == 1  # the broken file is reported, the others still listed


def test_root_that_is_not_a_folder(tmp_path, capsys):
    status, out, err = run(capsys, "ls", str(tmp_path / "missing"))
    assert status == 1 and "not a folder" in err and out == ""
