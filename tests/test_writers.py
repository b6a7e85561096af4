"""Writing factor values: growth, the single-date write, batches and packs."""

import os
import shutil
import types

import h5py
import numpy as np
import pytest

V = types.SimpleNamespace  # a value item or a pack


def items(pairs):
    return [V(order_book_id=k, value=v) for k, v in pairs]


def read_back(path):
    with h5py.File(path, "r") as f:
        data = f["data"]
        return data[...], (int(data.attrs["cursor_col"]) if "cursor_col" in data.attrs else None)


def cursor_type(path):
    with h5py.File(path, "r") as f:
        attr = f["data"].attrs.get_id("cursor_col")
        return attr.dtype.str, attr.shape


@pytest.fixture
def factor(detail, tmp_path):
    """A factor file of the given shape, open for writing; closed at the end."""
    opened = []

    def make(shape=(10, 8)):
        path = str(tmp_path / f"f{len(opened)}.h5")
        h5 = detail.create_new_factor_h5(path, shape)
        opened.append(h5)
        return h5, path

    yield make
    for h5 in opened:
        h5.close()


# --- growth --------------------------------------------------------------


@pytest.mark.parametrize(
    "target_date, listed, expected_shape, message",
    [
        (20180108, 4300, (4300, 2500), None),  # column 4 of 2500: nothing to do
        (20180108, 4301, (4800, 2500), "Expanding the factor matrix from (4300, 2500) to (4800, 2500)"),
    ],
)
def test_growth_of_rows(detail, market, factor, logs, target_date, listed, expected_shape, message):
    market.set_instruments({f"I{i}": i for i in range(listed)})
    h5, path = factor((4300, 2500))
    detail.put_factor_value(h5, target_date, items([("I0", 1.0)]))
    h5.close()
    values, cursor = read_back(path)
    assert values.shape == expected_shape and cursor == 4 and values[0, 4] == 1.0
    grown = [r for r in logs() if r[1].startswith("Expanding")]
    assert grown == ([("INFO", message, ())] if message else [])


def test_growth_of_columns_at_the_boundary(detail, market, factor, logs):
    market.set_calendar(range(20000101, 20000101 + 12))  # twelve "dates", columns 0 to 11
    market.set_instruments({"A": 0})
    h5, path = factor((3, 10))
    detail.put_factor_value(h5, 20000101 + 9, items([("A", 9.0)]))  # column 9 < 10: no growth
    assert h5["data"].shape == (3, 10)
    detail.put_factor_value(h5, 20000101 + 10, items([("A", 10.0)]))  # column 10 == count: grows
    assert h5["data"].shape == (3, 260)
    h5.close()
    values, cursor = read_back(path)
    assert cursor == 10 and values[0, 9] == 9.0 and values[0, 10] == 10.0
    assert np.isnan(values[1:, :]).all() and np.isnan(values[0, 11:]).all()
    assert [r for r in logs() if r[1].startswith("Expanding")] == [
        ("INFO", "Expanding the factor matrix from (3, 10) to (3, 260)", ())]


def test_both_axes_grow_in_one_step(detail, market, factor, logs):
    market.set_calendar(range(20000101, 20000101 + 20))
    market.set_instruments({f"I{i}": i for i in range(6)})
    h5, _ = factor((5, 10))
    detail.put_factor_value(h5, 20000101 + 15, items([("I5", 1.0)]))
    assert h5["data"].shape == (505, 260)
    assert [r[1] for r in logs() if r[1].startswith("Expanding")] == [
        "Expanding the factor matrix from (5, 10) to (505, 260)"]


def test_date_beyond_one_growth_step(detail, market, factor, monkeypatch):
    monkeypatch.setattr(detail, "EXPAND_TRADING_DATE_LENGTH", 5)  # settings are read at each call
    market.set_calendar(range(20000101, 20000101 + 40))
    market.set_instruments({"A": 0})
    h5, path = factor((2, 10))
    with pytest.raises(IndexError):
        detail.put_factor_value(h5, 20000101 + 30, items([("A", 1.0)]))
    assert h5["data"].shape == (2, 15)  # the growth stays
    # All NaN: the cursor must not point at a column the matrix lacks.
    with pytest.raises(IndexError):
        detail.put_factor_value(h5, 20000101 + 30, items([("A", np.nan)]))
    assert "cursor_col" not in h5["data"].attrs


# --- single-date write ---------------------------------------------------


def test_single_date_write(detail, market, factor, logs):
    market.set_instruments({"A": 0, "B": 3, "C": 9})
    h5, path = factor()
    h5["data"][:, 2] = np.arange(10.0)  # earlier content of the column
    detail.put_factor_value(h5, 20180104, items([("A", 1.5), ("X", 7.0), ("B", np.nan), ("A", 2.5)]))
    h5.close()
    values, cursor = read_back(path)
    expected = np.arange(10.0)
    expected[0], expected[3] = 2.5, np.nan  # later duplicate wins; NaN overwrites
    np.testing.assert_array_equal(values[:, 2], expected)
    assert cursor == 2 and cursor_type(path) == ("<i8", ())
    assert logs()[2:] == [("INFO", "put factor with not listed order_book_id: %s", ("X",))]
    assert market.fetches.count("instruments") == 1


def test_wrong_date_is_logged_and_nothing_happens(detail, market, factor, logs):
    market.set_instruments({"A": 0, **{f"I{i}": i for i in range(1, 50)}})
    h5, path = factor()
    for date in (20180106, 20171229, 20180109):  # Saturday, before and after the calendar
        assert detail.put_factor_value(h5, date, items([("A", 1.0)])) is None
    assert logs()[2:] == [("INFO", "put factor %s with wrong date %s", (path, d)) for d in
                          (20180106, 20171229, 20180109)]
    assert h5["data"].shape == (10, 8) and "cursor_col" not in h5["data"].attrs
    assert "instruments" not in market.fetches


def test_all_nan_keeps_the_column_and_moves_the_cursor(detail, market, factor, logs):
    market.set_instruments({"A": 0, "B": 1})
    h5, path = factor()
    detail.put_factor_value(h5, 20180103, items([("A", 1.0), ("B", 2.0)]))
    detail.put_factor_value(h5, 20180103, items([("A", np.nan), ("Z", None)]))
    detail.put_factor_value(h5, 20180105, [])
    h5.close()
    values, cursor = read_back(path)
    np.testing.assert_array_equal(values[:2, 1], [1.0, 2.0])
    assert np.isnan(values[:, 3]).all() and cursor == 3
    assert not any("not listed" in r[1] for r in logs())  # the shortcut looks at no instrument


def stored_chunks(path):
    """{chunk origin: (byte offset, size)} of the stored chunks of `data`."""
    with h5py.File(path, "r", locking=False) as f:  # read beside the engine's open handle
        d = f["data"]
        infos = (d.id.get_chunk_info(i) for i in range(d.id.get_num_chunks()))
        return {info.chunk_offset: (info.byte_offset, info.size) for info in infos}


def test_a_date_write_stores_only_the_chunks_it_changes(detail, market, factor):
    market.set_instruments({"A": 0, "Z": 4299})
    h5, path = factor((4300, 2500))
    stripe = h5["data"].chunks[0]
    detail.put_factor_value(h5, 20180103, items([("A", 1.0)]))
    first = stored_chunks(path)
    assert list(first) == [(0, 0)]  # the other stripes hold NaN as before: nothing stored
    detail.put_factor_value(h5, 20180104, items([("Z", 2.0)]))  # A's new cell stays NaN: its chunk is left be
    second = stored_chunks(path)
    last_stripe = 4299 // stripe * stripe
    assert set(second) == {(0, 0), (last_stripe, 0)} and second[(0, 0)] == first[(0, 0)]
    detail.put_factor_value(h5, 20180104, items([("Z", 2.0)]))  # the same values again
    assert stored_chunks(path) == second
    h5.close()
    values, cursor = read_back(path)
    assert cursor == 2 and values[0, 1] == 1.0 and values[4299, 2] == 2.0
    assert np.count_nonzero(~np.isnan(values)) == 2


def test_cursor_never_falls(detail, market, factor):
    market.set_instruments({"A": 0})
    h5, path = factor()
    for date in (20180105, 20180103, 20180105, 20180102):
        detail.put_factor_value(h5, date, items([("A", float(date % 100))]))
    h5.close()
    values, cursor = read_back(path)
    assert cursor == 3
    np.testing.assert_array_equal(values[0, :4], [2.0, 3.0, np.nan, 5.0])


def test_per_item_and_bulk_paths_agree(detail, market, factor, logs):
    market.set_instruments({f"S{i}": i for i in range(3800)})
    h5a, pa = factor((3800, 8))
    h5b, pb = factor((3800, 8))
    data = items((f"S{i}", i / 7) for i in range(3697)) + items([("S5", -1.0), ("GONE", 3.0)])
    detail.put_factor_value(h5a, 20180102, data)  # 3,699 items: per-item
    detail.put_factor_value(h5b, 20180102, data + items([("GONE", 4.0)]))  # 3,700: bulk
    h5a.close(), h5b.close()
    expected = np.full(3800, np.nan)
    expected[:3697] = np.arange(3697) / 7
    expected[5] = -1.0  # the later duplicate wins in both paths
    np.testing.assert_array_equal(read_back(pa)[0][:, 0], expected)
    np.testing.assert_array_equal(read_back(pb)[0][:, 0], expected)
    # Only the per-item path names unlisted instruments.
    assert [r for r in logs() if "not listed" in r[1]] == [
        ("INFO", "put factor with not listed order_book_id: %s", ("GONE",))]


@pytest.mark.parametrize("count", [6, 3700], ids=["per-item", "bulk"])
def test_numpy_integer_rows_write_like_plain_ints(detail, market, factor, count):
    ids = [f"S{i}" for i in range(count)]
    values = items((k, i / 7) for i, k in enumerate(ids))
    integer_kinds = [int, np.int64, np.int32, np.uint16]
    written = []
    for kind in (int, lambda i: integer_kinds[i % 4](i)):  # plain ints, then a mix of NumPy integers
        market.set_instruments({k: kind(i) for i, k in enumerate(ids)})
        h5, path = factor((count, 8))
        detail.put_factor_value(h5, 20180103, values)
        detail.put_factor_packs(h5, [V(date=20180102, values=values[::-1])])
        h5.close()
        written.append(read_back(path))
    expected = np.full((count, 8), np.nan)
    expected[:, 0] = expected[:, 1] = np.arange(count) / 7
    np.testing.assert_array_equal(written[0][0], expected)
    np.testing.assert_array_equal(written[1][0], expected)
    assert written[0][1] == written[1][1] == 1
    # A flag is no row number, on either path.
    market.set_instruments({k: (True if k == "S1" else i) for i, k in enumerate(ids)})
    h5, _ = factor((count, 8))
    with pytest.raises(TypeError, match="'S1' must be an integer, not bool"):
        detail.put_factor_value(h5, 20180103, values)


class CaseBlindIndex(dict):
    """An index of another mapping type: answers for ids in any case, as
    only its own `in` and `[]` know."""

    def __contains__(self, key):
        return dict.__contains__(self, key.upper())

    def __getitem__(self, key):
        return dict.__getitem__(self, key.upper())


class Item:
    """A value item whose attributes are computed on each read."""

    def __init__(self, order_book_id, value):
        self._pair = (order_book_id, value)

    def __getattr__(self, name):
        return {"order_book_id": self._pair[0], "value": self._pair[1]}[name]


@pytest.mark.parametrize("count", [6, 3700], ids=["per-item", "bulk"])
def test_any_index_mapping_and_item_type(detail, monkeypatch, market, factor, count):
    ids = [f"S{i}" for i in range(count)]
    monkeypatch.setattr(detail, "_get_all_instrument_index", lambda: CaseBlindIndex({k: i for i, k in enumerate(ids)}))
    values = [Item(k.lower(), i / 7) for i, k in enumerate(ids)] + [Item("gone", 1.0)]
    h5, path = factor((count, 8))
    detail.put_factor_value(h5, 20180103, values)
    detail.put_factor_packs(h5, [V(date=20180102, values=values[::-1])])
    h5.close()
    expected = np.full((count, 8), np.nan)
    expected[:, 0] = expected[:, 1] = np.arange(count) / 7
    np.testing.assert_array_equal(read_back(path)[0], expected)


@pytest.mark.parametrize("path_threshold", [3700, 1])
def test_value_conversion(detail, market, factor, monkeypatch, path_threshold):
    monkeypatch.setattr(detail, "BOOK_COUNT_THRESHOLD", path_threshold)
    market.set_instruments({"A": 0, "B": 1, "C": 2, "D": 3, "E": 4})
    h5, path = factor()
    detail.put_factor_value(h5, 20180102, items([("A", None), ("B", " 2.5 "), ("C", True), ("D", np.float32(1.5)),
                                                  ("E", 7)]))
    for bad, kind in (("abc", ValueError), (1j, TypeError), (object(), TypeError)):
        with pytest.raises(kind):
            detail.put_factor_value(h5, 20180103, items([("A", 1.0), ("B", bad)]))
    h5.close()
    values, cursor = read_back(path)
    np.testing.assert_array_equal(values[:5, 0], [np.nan, 2.5, 1.0, 1.5, 7.0])
    assert cursor == 0 and np.isnan(values[:, 1]).all()


def test_bad_rows_and_handles(detail, market, factor, tmp_path):
    market.set_instruments({"A": 0, "NEG": -1, "FAR": 10})
    for threshold in (3700, 1):
        detail.BOOK_COUNT_THRESHOLD = threshold
        try:
            h5, path = factor()
            for bad in ("NEG", "FAR"):
                with pytest.raises(IndexError, match=bad):
                    detail.put_factor_value(h5, 20180102, items([("A", 1.0), (bad, 2.0)]))
            assert np.isnan(h5["data"][:, 0]).all() and "cursor_col" not in h5["data"].attrs
        finally:
            detail.BOOK_COUNT_THRESHOLD = 3700
    market.set_instruments({"A": 0})
    with pytest.raises(AttributeError):
        detail.put_factor_value(h5, 20180102, [V(order_book_id="A")])
    with pytest.raises(TypeError, match="factor file"):
        detail.put_factor_value("not a handle", 20180102, [])
    h5.close()
    with detail.get_h5(path) as read_only:
        with pytest.raises(OSError, match="no write intent"):
            detail.put_factor_value(read_only, 20180102, items([("A", 1.0)]))
        with pytest.raises(OSError, match="no write intent"):
            read_only["data"].attrs["x"] = 1


@pytest.mark.parametrize("dtype, words", [("<i4", "little-endian int32"), ("<f4", "little-endian float32"),
                                          (">f8", "big-endian float64")])
def test_a_matrix_of_another_type_is_refused_before_it_changes(detail, market, tmp_path, dtype, words):
    # Made by another tool: HDF5 would store 1.75 as 1 and NaN as INT32_MIN.
    path = str(tmp_path / "foreign.h5")
    stored = np.arange(12).reshape(3, 4).astype(dtype)
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=stored, chunks=(2, 2), maxshape=(None, None), compression="gzip")
        f["data"].attrs["cursor_col"] = np.int64(1)
    # Enough instruments and a date far enough to make both axes grow.
    market.set_calendar(range(20000101, 20000101 + 40))
    market.set_instruments({f"S{i}": i for i in range(5)})
    writes = [lambda h5: detail.put_factor_value(h5, 20000101 + 30, items([("S0", 1.75), ("S4", np.nan)])),
              lambda h5: detail.put_factor_packs(h5, [V(date=20000101 + 2, values=items([("S0", 1.75)]))])]
    for write in writes:
        with detail.get_h5(path, True) as h5:
            with pytest.raises(TypeError, match=f"{path}: .* stored as {words} \\('{dtype}'\\)"):
                write(h5)
    values, cursor = read_back(path)
    assert values.dtype == dtype and cursor == 1
    np.testing.assert_array_equal(values, stored)
    # Reads still convert what is stored.
    with detail.get_h5(path) as h5:
        assert dict(detail.get_factor_value(h5, ["S1"], 20000101, 20000104))["S1"].tolist() == [4.0, 5.0, 6.0, 7.0]


def test_view_changes_reach_the_file_before_the_call_returns(tmp_path):
    # Each change through the handle's views is committed at once: a process
    # that dies without closing the handle leaves every one of them in the file.
    from conftest import run_python

    path = str(tmp_path / "views.h5")
    proc = run_python(f"""
        import os, numpy as np, quorbel.detail as d
        h5 = d.create_new_factor_h5({path!r}, (4, 3))
        h5["data"].attrs["gone"] = 1
        h5["data"].resize((6, 5))
        h5["data"][:, 4] = np.arange(6.0)
        h5["data"].attrs["note"] = "kept"
        del h5["data"].attrs["gone"]
        os._exit(0)
    """)
    assert proc.returncode == 0, proc.stderr
    with h5py.File(path, "r") as f:
        data = f["data"]
        assert data.shape == (6, 5) and dict(data.attrs) == {"note": "kept"}
        np.testing.assert_array_equal(data[:, 4], np.arange(6.0))
    assert os.listdir(tmp_path) == ["views.h5"]


# --- packs -----------------------------------------------------------------


def test_get_iter_is_lazy_and_passes_objects_through(detail):
    taken = []

    def packs():
        for p in [V(date=1, values=["x"]), V(date=2, values=[])]:
            taken.append(p.date)
            yield p

    stream = detail.get_iter(packs())
    assert taken == []
    date, values = next(stream)
    assert (date, values, taken) == (1, ["x"], [1])
    same = V(date=3, values=[1, 2])
    assert [pair[1] is same.values for pair in detail.get_iter([same, same])] == [True, True]
    assert list(detail.get_iter([])) == []
    broken = detail.get_iter([V(values=[])])
    with pytest.raises(AttributeError, match="date"):
        next(broken)
    not_iterable = detail.get_iter(5)  # fails at the first request, not at the call
    with pytest.raises(TypeError):
        next(not_iterable)
    with pytest.raises(TypeError):
        detail.get_iter(packs=[])


def test_get_iter_ends_like_a_generator(detail):
    calls = []

    class Source:
        """An iterator that would go on after its first StopIteration."""

        def __iter__(self):
            return self

        def __next__(self):
            calls.append(len(calls))
            if len(calls) != 1 and len(calls) != 3:
                raise StopIteration
            return V(date=len(calls), values=[])

    stream = detail.get_iter(Source())
    assert next(stream) == (1, []) and list(stream) == [] and list(stream) == []
    assert calls == [0, 1]  # an ended stream never asks its source again

    stream = detail.get_iter([V(date=1, values=[]), V(values=[]), V(date=3, values=[])])
    assert next(stream) == (1, [])
    with pytest.raises(AttributeError, match="date"):
        next(stream)
    assert list(stream) == []  # the pack after the failing one is never reached

    taken = []
    stream = detail.get_iter(taken.append(p.date) or p for p in [V(date=1, values=[]), V(date=2, values=[])])
    assert next(stream) == (1, [])
    assert stream.close() is None and stream.close() is None
    assert list(stream) == [] and taken == [1]


def test_get_iter_in_a_reference_cycle_is_collected():
    # A child interpreter, so that nanobind's report of instances still alive
    # at exit ("leaked instances") can be read from its stderr.
    from conftest import run_python

    proc = run_python("""
        import gc, types, weakref
        import quorbel.detail as d

        class Pack:
            pass

        gc.disable()
        gone = []
        for started in (False, True):
            packs = [Pack(), Pack()]
            for p in packs:
                p.date, p.values = 1, []
            stream = d.get_iter(iter(packs))
            packs[1].stream = stream          # pack -> stream -> iterator -> pack
            packs.append(stream)              # packs -> stream -> packs
            if started:
                next(stream)
            watch = weakref.ref(packs[1])
            del packs, stream, p
            gc.collect()
            gone.append(watch() is None)
        print(gone)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[True, True]"
    assert "leak" not in proc.stderr, proc.stderr


def test_batch_write(detail, market, factor, logs):
    market.set_instruments({"A": 0, "B": 1, "C": 2})
    h5, path = factor()
    packs = [
        V(date=20180103, values=items([("A", 1.0), ("B", 1.0)])),
        V(date=20180106, values=items([("A", 99.0)])),  # not a trading date: skipped silently
        V(date=20180103, values=items([("B", 2.0), ("C", 2.0), ("B", 3.0)])),
        V(date=20180102, values=items([("A", 0.5), ("X", 5.0)])),
        V(date=20180105, values=[]),
    ]
    assert detail.put_factor_packs(h5, packs) is None
    h5.close()
    values, cursor = read_back(path)
    np.testing.assert_array_equal(values[:3, 1], [1.0, 3.0, 2.0])
    assert values[0, 0] == 0.5 and np.isnan(values[:, 2:]).all() and cursor == 3
    assert logs()[2:] == [("INFO", "put factor with not listed order_book_id: %s", ("X",))]
    assert market.fetches.count("instruments") == 1


def test_batch_without_trading_dates(detail, market, factor, logs):
    market.set_instruments({f"I{i}": i for i in range(50)})  # would grow the rows
    h5, path = factor()
    detail.put_factor_packs(h5, [V(date=20180106, values=items([("I1", 1.0)])), V(date=20180107, values=[]),
                                 V(date=20180106, values=[])])
    assert logs()[2:] == [("INFO", "put multi factor %s with wrong dates %s", (path, "20180106,20180107,20180106"))]
    assert h5["data"].shape == (10, 8) and "instruments" not in market.fetches
    with pytest.raises(ValueError, match="empty"):
        detail.put_factor_packs(h5, [])


def test_batch_failure_keeps_earlier_dates(detail, market, factor):
    market.set_instruments({"A": 0, "FAR": 12})
    h5, path = factor()
    packs = [V(date=20180102, values=items([("A", 1.0)])), V(date=20180103, values=items([("A", 2.0)])),
             V(date=20180104, values=items([("A", 3.0), ("FAR", 3.0)])), V(date=20180105, values=items([("A", 4.0)]))]
    with pytest.raises(IndexError, match="FAR"):
        detail.put_factor_packs(h5, packs)
    h5.close()
    values, cursor = read_back(path)
    assert list(values[0, :2]) == [1.0, 2.0] and np.isnan(values[0, 2:]).all() and cursor == 1


def test_batch_bad_values(detail, market, factor, logs, monkeypatch):
    market.set_instruments({"A": 0, "B": 1})
    h5, path = factor()
    packs = [V(date=20180102, values=items([("A", 1.0), ("B", "n/a")]))]
    detail.put_factor_packs(h5, packs)  # per-item: the bad item is skipped
    monkeypatch.setattr(detail, "BOOK_COUNT_THRESHOLD", 1)
    detail.put_factor_packs(h5, [V(date=20180103, values=items([("A", 2.0), ("B", "n/a")]))])  # bulk: the same
    h5.close()
    values, cursor = read_back(path)
    assert values[0, 0] == 1.0 and values[0, 1] == 2.0 and np.isnan(values[1, :]).all() and cursor == 1
    assert logs()[2:] == [("INFO", "put factor with order_book_id not in h5, %s/%s", ("B", 1))] * 2


def test_bulk_batch_drops_only_the_values_it_cannot_store(detail, market, factor, logs):
    # Thousands of numbers with a few values that are none: the numbers are
    # stored, each bad value is logged with its row, and a failure that is no
    # one value's (an identifier that cannot be looked up) still stores nothing.
    count = 5000
    ids = [f"S{i}" for i in range(count)]
    market.set_instruments({k: i for i, k in enumerate(ids)})
    h5, path = factor((count, 8))
    values = np.arange(count) / 8
    given = list(values)
    bad = {17: "n/a", 2500: 1j, 4999: object()}
    for row, value in bad.items():
        given[row] = value
    detail.put_factor_packs(h5, [V(date=20180103, values=items(zip(ids, given))),
                                 V(date=20180104, values=items(zip(ids, values.tolist())) + items([(["S1"], 1.0)]))])
    h5.close()
    stored, cursor = read_back(path)
    expected = values.copy()
    expected[list(bad)] = np.nan
    np.testing.assert_array_equal(stored[:, 1], expected)
    assert np.isnan(stored[:, 2]).all() and cursor == 2
    template = "put factor with order_book_id not in h5, %s/%s"
    assert [r for r in logs() if r[1] == template] == [("INFO", template, (ids[row], row)) for row in bad]
    assert [r[1] for r in logs() if r[1].startswith("put factor error")] == ["put factor error: %s"]


def test_batch_matches_a_model(detail, market, factor):
    # Random batches against a NumPy model of the matrix.
    rng = np.random.default_rng(11)
    ids = [f"S{i}" for i in range(40)]
    market.set_instruments({k: i for i, k in enumerate(ids)})
    h5, path = factor((40, 8))
    model = np.full((40, 8), np.nan)
    for _ in range(6):
        packs = []
        for _ in range(rng.integers(1, 6)):
            col = int(rng.integers(0, 5))
            chosen = rng.choice(40, size=int(rng.integers(0, 12)), replace=True)
            vals = rng.normal(size=len(chosen))
            packs.append(V(date=market.calendar[col], values=items((ids[r], v) for r, v in zip(chosen, vals))))
            for r, v in zip(chosen, vals):
                model[r, col] = v
        detail.put_factor_packs(h5, packs)
    h5.close()
    np.testing.assert_array_equal(read_back(path)[0], model)


def test_daily_writes_keep_the_file_near_its_compacted_size(detail, market, tmp_path):
    # Chunks rewritten date after date must fit the slots sized for what they
    # will hold: a chunk that outgrows its slot moves, and the slot it leaves
    # is lost to the file. A history written in one batch and compacted, then
    # a hundred dates one per session (open, write, close), as in daily use.
    instruments, history, daily = 200, 200, 100
    market.set_calendar(range(20000000, 20000000 + history + daily))
    ids = [f"S{i}" for i in range(instruments)]
    market.set_instruments({k: i for i, k in enumerate(ids)})
    rng = np.random.default_rng(1)
    listing = rng.integers(0, history + daily, size=instruments)  # rows start holding values over time

    def values(j):
        v = rng.normal(size=instruments)
        v[(listing > j) | (rng.random(instruments) < 0.03)] = np.nan
        return items(zip(ids, v.tolist()))

    path, compacted = str(tmp_path / "daily.h5"), str(tmp_path / "compacted.h5")
    with detail.create_new_factor_h5(path, (instruments, history + daily + 40)) as h5:
        detail.put_factor_packs(h5, [V(date=market.calendar[j], values=values(j)) for j in range(history)])
    detail.rewrite_factor(path)
    for j in range(history, history + daily):
        with detail.get_h5(path, True) as h5:
            detail.put_factor_value(h5, market.calendar[j], values(j))
    shutil.copyfile(path, compacted)
    detail.rewrite_factor(compacted)
    np.testing.assert_array_equal(read_back(path)[0], read_back(compacted)[0])
    assert os.path.getsize(path) <= 1.15 * os.path.getsize(compacted)


def test_refused_write_leaves_the_process_able_to_exit(tmp_path):
    # A write refused by a read-only handle must not leave HDF5 unable to
    # close the file when the interpreter exits.
    from conftest import run_python

    path = str(tmp_path / "ro.h5")
    proc = run_python(f"""
        import types, quorbel.detail as d
        d._get_all_instrument_index = lambda: {{"A": 0}}
        d.get_all_trading_dates = lambda: [20180102, 20180103]
        d.create_new_factor_h5({path!r}, (3, 3)).close()
        h5 = d.get_h5({path!r})
        try:
            d.put_factor_value(h5, 20180102, [types.SimpleNamespace(order_book_id="A", value=1.0)])
        except OSError as e:
            print("refused:", e)
        h5.close()
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("refused: Unable to write data (no write intent on file)")
