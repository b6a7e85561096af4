"""How the engine reads integers from Python and raises its errors as Python
exceptions: the same rules wherever a value or an error comes from."""

import errno
import os
import time
import types

import h5py
import numpy as np
import pytest

import quorbel
from quorbel import _extras

V = types.SimpleNamespace


def cells(path):
    with h5py.File(path, "r") as f:
        return f["data"][...], dict(f["data"].attrs)


@pytest.mark.parametrize("write", ["single", "packs"])
def test_date_columns_are_integers(detail, market, tmp_path, monkeypatch, write):
    market.set_instruments({"A": 0})
    path = str(tmp_path / "f.h5")

    def put(h5):
        values = [V(order_book_id="A", value=2.5)]
        if write == "single":
            detail.put_factor_value(h5, 20180102, values)
        else:
            detail.put_factor_packs(h5, [V(date=20180102, values=values)])

    with detail.create_new_factor_h5(path, (2, 4)) as h5:
        for column, kind in (("1", TypeError), (True, TypeError), (1.0, TypeError), (2**70, OverflowError)):
            monkeypatch.setattr(detail, "_get_date_index", lambda date, column=column: column)
            with pytest.raises(kind, match="the column of _get_date_index"):
                put(h5)
        assert np.isnan(h5["data"][...]).all() and "cursor_col" not in h5["data"].attrs
        monkeypatch.setattr(detail, "_get_date_index", lambda date: np.int32(2))
        put(h5)
    data, attrs = cells(path)
    assert data[0, 2] == 2.5 and np.isnan(np.delete(data.ravel(), 2)).all()
    assert attrs["cursor_col"] == 2


def test_attribute_integers(detail, tmp_path):
    class Count(int):
        pass

    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, (1, 1)) as h5:
        attrs = h5["data"].attrs
        attrs["low"], attrs["high"], attrs["sub"] = -2**63, 2**63 - 1, Count(7)
        attrs["grid"] = np.arange(6, dtype=np.uint16).reshape(2, 3)
        for too_big in (2**63, -2**63 - 1):
            with pytest.raises(OverflowError, match="int too big to convert"):
                attrs["bad"] = too_big
        assert "bad" not in attrs
    _, stored = cells(path)
    assert (stored["low"], stored["high"], stored["sub"]) == (-2**63, 2**63 - 1, 7)
    assert stored["sub"].dtype == np.int64
    assert stored["grid"].shape == (2, 3) and stored["grid"].dtype == np.uint16
    np.testing.assert_array_equal(stored["grid"], np.arange(6).reshape(2, 3))


def test_os_errors_carry_errno_and_filename(detail, tmp_path, monkeypatch):
    missing = str(tmp_path / "missing.h5")
    with pytest.raises(FileNotFoundError) as removed:
        detail.remove_factor(missing)
    assert (removed.value.errno, removed.value.strerror, removed.value.filename) == (
        errno.ENOENT, os.strerror(errno.ENOENT), missing)

    monkeypatch.setattr(time, "sleep", lambda seconds: None)  # the retry wrapper's pauses
    link = str(tmp_path / "link.h5")
    os.symlink(tmp_path / "gone.h5", link)
    with pytest.raises(FileNotFoundError) as dangling:
        detail.get_h5(link, True)
    assert (dangling.value.errno, dangling.value.filename) == (errno.ENOENT, link)

    with pytest.raises(FileNotFoundError) as panel:
        quorbel.read_panel(missing, ["A"], 20180102, 20180103)
    assert panel.value.errno == errno.ENOENT and panel.value.filename is None

    path = str(tmp_path / "f.h5")
    detail.create_new_factor_h5(path, (1, 1)).close()
    with pytest.raises(FileExistsError) as exists:
        detail.create_new_factor_h5(path, (1, 1))
    assert exists.value.errno == errno.EEXIST and path in exists.value.strerror
    assert detail.do_not_decrease_when_temporarily_unavailable(exists.value) is False

    with detail.get_h5(path) as h5:
        with pytest.raises(KeyError, match="doesn't exist"):
            h5["data"].attrs["nope"]
        with pytest.raises(ValueError, match="never shrinks"):
            h5["data"].resize((0, 0))


def test_cube_sections_are_pairs_of_columns(detail, tmp_path):
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, (2, 3)) as h5:
        h5["data"][0, :] = [1.0, 2.0, 3.0]
    rows = np.array([0], dtype=np.int64)
    with detail.get_h5(path) as h5:
        for section, kind in (((0,), TypeError), (5, TypeError), (("0", 2), TypeError), ((-1, 2), ValueError),
                              ((0, 2**64), OverflowError)):
            cube = np.full((1, 2, 1), -7.0)
            with pytest.raises(kind, match="section"):
                _extras._fill_cube([h5], [section], rows, 0, cube, 0)
            assert (cube == -7.0).all()
        cube = np.full((1, 2, 1), -7.0)
        _extras._fill_cube([h5], [[np.int64(1), np.uint8(3)]], rows, 1, cube, 0)
    np.testing.assert_array_equal(cube[0, :, 0], [2.0, 3.0])
