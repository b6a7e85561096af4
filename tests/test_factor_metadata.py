"""A factor's metadata: stored in its file, read back by the library, any HDF5
reader and the command line, and carried through rewrites and copies."""

import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import h5py
import numpy as np
import pandas as pd
import pytest

import quorbel
from quorbel import _extras, cli

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]
VALUES = np.arange(40.0).reshape(8, 5)
FULL = dict(description="20-day momentum, z-scored", units="z", owner="ana", tags=["style", "momentum"],
            window=20, source={"table": "prices", "adjusted": True, "lags": [1, 5], "note": None},
            weight=0.5)


@pytest.fixture
def root(detail, market, tmp_path):
    market.set_calendar(CALENDAR)
    lib_root = tmp_path / "lib"
    (lib_root / "style").mkdir(parents=True)
    for name in ("style/momentum", "plain"):
        f = detail.create_new_factor_h5(str(lib_root / f"{name}.h5"), VALUES.shape)
        f["data"][:, :] = VALUES
        f["data"].attrs["cursor_col"] = 3
        f.close()
    return lib_root


@pytest.fixture
def lib(root):
    return quorbel.FactorLibrary(root)


def stored_attributes(path):
    with h5py.File(path, "r") as f:
        return dict(f.attrs), {k: f["data"].attrs[k] for k in f["data"].attrs}, f["data"][...], list(f)


def test_metadata_round_trip_and_what_an_hdf5_reader_sees(lib, root):
    assert lib.info("style/momentum").meta == {}
    stored = lib.describe("style/momentum", **FULL)
    expected = json.loads(json.dumps(FULL))
    assert stored == expected and lib.info("style/momentum").meta == expected
    assert list(stored) == sorted(stored)

    # Only `meta` is added, on data: the root stays bare, the values and cursor as they were.
    root_attrs, data_attrs, values, members = stored_attributes(root / "style" / "momentum.h5")
    assert root_attrs == {} and members == ["data"] and set(data_attrs) == {"cursor_col", "meta"}
    assert data_attrs["cursor_col"] == 3 and data_attrs["cursor_col"].dtype == np.int64
    np.testing.assert_array_equal(values, VALUES)
    assert isinstance(data_attrs["meta"], str) and json.loads(data_attrs["meta"]) == expected
    assert lib.info("plain").meta == {}


def test_describe_merges_keeps_or_replaces(lib):
    lib.describe("plain", description="book to price", units="ratio", tags=["value"])
    # Keys given replace those stored; None and keys left out stay as they are.
    assert lib.describe("plain", units="pct", description=None, comment="checked") == \
        {"comment": "checked", "description": "book to price", "tags": ["value"], "units": "pct"}
    assert lib.describe("plain", tags=[])["tags"] == []
    # The factor name is positional only: `name` is a key like any other.
    assert lib.describe("plain", name="bp")["name"] == "bp"
    assert lib.describe("plain", replace=True, owner="bo") == {"owner": "bo"}
    assert lib.info("plain").meta == {"owner": "bo"}
    # Tuples and NumPy scalars are stored as the JSON they stand for; text in any script.
    assert lib.describe("plain", replace=True, lags=(1, np.int64(5)), scale=np.float64(2.5), note="動量") == \
        {"lags": [1, 5], "note": "動量", "scale": 2.5}


def test_long_metadata_is_not_held_to_an_attribute_size_limit(lib):
    # An attribute stored in the object header is limited to 64 KiB; text of
    # variable length lives in the heap.
    description = "x" * 300_000
    lib.describe("plain", description=description)
    assert lib.info("plain").meta["description"] == description


@pytest.mark.parametrize("fields, kind, named", [
    (dict(description=3), TypeError, "'description'"),
    (dict(owner=["ana"]), TypeError, "'owner'"),
    (dict(tags="style"), TypeError, "'tags'"),
    (dict(tags=["style", 7]), TypeError, "'tags'"),
    (dict(when=datetime.date(2024, 1, 2)), TypeError, "'when'"),
    (dict(source={"lags": [1, {2, 3}]}), TypeError, "'source'['lags'][1]"),
    (dict(source={1: "a"}), TypeError, "'source'"),
    (dict(weight=float("nan")), ValueError, "'weight'"),
    (dict(bounds=[0.0, float("inf")]), ValueError, "'bounds'[1]"),
    (dict(blob=b"raw"), TypeError, "'blob'"),
])
def test_values_json_cannot_hold_are_refused_naming_the_key(lib, root, fields, kind, named):
    lib.describe("plain", description="before")
    before = (root / "plain.h5").read_bytes()
    with pytest.raises(kind, match="metadata " + re.escape(named)):
        lib.describe("plain", units="u", **fields)
    assert (root / "plain.h5").read_bytes() == before  # nothing written, not even the valid keys


def test_unknown_factor_and_metadata_another_tool_wrote(lib, root):
    with pytest.raises(KeyError, match="missing"):
        lib.describe("missing", description="x")
    path = root / "plain.h5"
    for foreign in ("not json", "[1, 2]", np.int64(3)):
        with h5py.File(path, "r+") as f:
            f["data"].attrs["meta"] = foreign
        with pytest.raises(ValueError, match=f"{path}.*replace=True"):
            lib.info("plain")
        with pytest.raises(ValueError, match=str(path)):
            lib.describe("plain", units="u")
        # Replacing never reads what is there, so it mends the file.
        assert lib.describe("plain", replace=True, units="u") == {"units": "u"}
        assert lib.info("plain").meta == {"units": "u"}


def test_metadata_survives_rewrites_and_copies(detail, lib, root, tmp_path):
    expected = lib.describe("style/momentum", **FULL)
    path = str(root / "style" / "momentum.h5")
    detail.rewrite_factor(path)
    assert lib.info("style/momentum").meta == expected
    assert lib.rewrite(["style/momentum"]).ok
    assert lib.info("style/momentum").meta == expected
    _extras._rewrite(path)  # what `quorbel rewrite` runs
    _, data_attrs, values, _ = stored_attributes(path)
    assert json.loads(data_attrs["meta"]) == expected and data_attrs["cursor_col"] == 3
    np.testing.assert_array_equal(values, VALUES)

    copied = tmp_path / "copied"
    shutil.copytree(root, copied)
    assert quorbel.FactorLibrary(copied).info("style/momentum").meta == expected
    alone = tmp_path / "alone"
    alone.mkdir()
    shutil.copy(path, alone / "momentum.h5")  # the .h5 by itself carries it
    assert quorbel.FactorLibrary(alone).info("momentum").meta == expected


def test_writes_leave_the_metadata_alone(lib, root, market):
    market.set_instruments({f"I{i}": i for i in range(8)})
    expected = lib.describe("plain", **FULL)
    lib.write(20180108, {"plain": {"I0": 9.5, "I7": 1.0}})
    lib.write_frame({"plain": pd.DataFrame({"date": [20180104], "order_book_id": ["I2"], "value": [4.0]})})
    assert lib.info("plain").meta == expected and lib.info("plain").cursor_date == 20180108


# ---- the command line --------------------------------------------------------------


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_info_shows_the_metadata_as_text_and_json(detail, lib, root, capsys, monkeypatch):
    monkeypatch.setattr(detail, "TRADING_DATES", detail.TRADING_DATES)
    path = str(root / "style" / "momentum.h5")
    status, out, err = run(capsys, "info", path)
    assert status == 0, err
    assert out.splitlines()[-1] == "meta          none"
    lib.describe("style/momentum", description="momentum", tags=["style"], window=20)
    status, out, err = run(capsys, "info", path)
    assert status == 0, err
    assert out.splitlines()[-3:] == ["meta          description: momentum", '              tags: ["style"]',
                                     "              window: 20"]
    status, out, err = run(capsys, "info", path, "--json")
    assert status == 0, err
    shown = json.loads(out)
    assert shown["meta"] == {"description": "momentum", "tags": ["style"], "window": 20}
    assert shown["shape"] == [8, 5] and shown["cursor_col"] == 3 and shown["cursor_date"] == CALENDAR[3]
    assert shown["first_value_date"] == CALENDAR[0] and shown["size"] == os.path.getsize(path)
    status, out, _ = run(capsys, "verify", path)
    assert status == 0 and "problem" not in out  # meta is no departure from the layout
    with h5py.File(path, "r+") as f:
        f["data"].attrs["meta"] = "{broken"
    status, out, err = run(capsys, "info", path)
    assert status == 1 and out.splitlines()[0] == f"file          {path}"  # the rest is still shown
    assert out.splitlines()[-1].startswith(f"meta          unreadable: factor file {path}: ")
    status, out, err = run(capsys, "info", path, "--json")
    shown = json.loads(out)
    assert status == 1 and shown["meta"] is None and "not valid JSON" in shown["meta_error"]


def test_ls_shows_the_metadata(detail, lib, root, capsys, monkeypatch):
    monkeypatch.setattr(detail, "TRADING_DATES", detail.TRADING_DATES)
    status, out, _ = run(capsys, "ls", str(root))
    assert status == 0 and out.splitlines()[0].split()[-1] == "size"  # no column without metadata
    lib.describe("style/momentum", description="momentum", tags=["style"])
    status, out, _ = run(capsys, "ls", str(root))
    lines = {line.split()[0]: line for line in out.splitlines()}
    assert status == 0 and lines["name"].split()[-1] == "meta"
    assert lines["style/momentum"].endswith('  {"description": "momentum", "tags": ["style"]}')
    assert lines["plain"].endswith(" MiB")
    status, out, _ = run(capsys, "ls", str(root), "--json")
    entries = {e["name"]: e for e in json.loads(out)}
    assert entries["style/momentum"]["meta"] == {"description": "momentum", "tags": ["style"]}
    assert entries["plain"]["meta"] == {}
    with h5py.File(root / "plain.h5", "r+") as f:
        f["data"].attrs["meta"] = "{broken"
    status, out, _ = run(capsys, "ls", str(root), "--json")
    entries = {e["name"]: e for e in json.loads(out)}
    assert status == 1 and "not valid JSON" in entries["plain"]["error"] and "meta" in entries["style/momentum"]


# ---- crash safety --------------------------------------------------------------------

DESCRIBE_CHILD = textwrap.dedent(
    """
    import sys, quorbel
    quorbel.FactorLibrary(sys.argv[1]).describe("plain", description="new " * 5000, units="new")
    """
)


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_a_describe_killed_at_any_write_leaves_the_old_metadata_or_the_new(lib, root, tmp_path):
    lib.describe("plain", description="old " * 3000, units="old", tags=["kept"])
    old = lib.info("plain").meta
    pristine = tmp_path / "pristine.h5"
    shutil.copy(root / "plain.h5", pristine)
    counted = subprocess.run(["strace", "-f", "-qq", "-e", "trace=pwrite64", "-o", str(tmp_path / "trace"),
                              sys.executable, "-c", DESCRIBE_CHILD, str(root)], capture_output=True, text=True)
    assert counted.returncode == 0, counted.stderr
    new = lib.info("plain").meta
    assert new["units"] == "new" and new["tags"] == ["kept"]
    calls = sum(" pwrite64(" in line for line in (tmp_path / "trace").read_text().splitlines())
    assert calls > 1, calls
    outcomes = set()
    for n in range(1, calls + 1):
        shutil.copy(pristine, root / "plain.h5")
        killed = subprocess.run(["strace", "-f", "-qq", "-o", os.devnull, "-e",
                                 f"inject=pwrite64:signal=SIGKILL:when={n}",
                                 sys.executable, "-c", DESCRIBE_CHILD, str(root)], capture_output=True, text=True)
        assert killed.returncode == -9, killed.stderr
        # The next open undoes the half-done change; the values never move.
        meta = lib.info("plain").meta
        assert meta in (old, new), f"killed at pwrite64 {n}: torn metadata"
        outcomes.add("new" if meta == new else "old")
        np.testing.assert_array_equal(stored_attributes(root / "plain.h5")[2], VALUES)
    assert "old" in outcomes
