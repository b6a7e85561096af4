"""Bad arguments to every published function and handle method: the right
exception kind (or a logged skip where that is the rule), never a crash, a
hang or a half-written column."""

import math
import os
import types

import h5py
import numpy as np
import pytest

import quorbel.utils
from conftest import run_python

V = types.SimpleNamespace
INDEX = {"A": 0, "B": 1, "C": 2}
HUGE = 10**100


def item(order_book_id, value):
    return V(order_book_id=order_book_id, value=value)


def fresh(error):
    """A new exception like `error`: the parameter tables hold one instance for
    many runs, and a raised instance keeps its traceback (and every handle in
    it) alive."""
    return type(error)(*error.args)


class Raising:
    """An object whose every named attribute raises (a copy of) `error` when read."""

    def __init__(self, error, **plain):
        self._error = error
        self.__dict__.update(plain)

    def __getattr__(self, name):
        raise fresh(self._error)


class BadText:
    def __str__(self):
        raise RuntimeError("no text form")


class BadTruth:
    def __bool__(self):
        raise RuntimeError("no truth value")


def raising_after(items, count, error=RuntimeError("midway")):
    """A generator that yields `count` items and then raises."""
    yield from items[:count]
    raise fresh(error)


@pytest.fixture
def no_sleep(monkeypatch):
    """Records the retry wrapper's pauses instead of sleeping them."""
    pauses = []
    monkeypatch.setattr(quorbel.utils.time, "sleep", pauses.append)
    return pauses


@pytest.fixture
def reference(market):
    market.set_instruments(INDEX)
    return market


@pytest.fixture
def factor(detail, reference, tmp_path):
    """A 4 x 8 factor file open for writing (.h5), columns 0 and 1 written,
    its .path, and .stored(), which closes it and returns (matrix, attrs) as
    an independent reader sees them."""
    path = str(tmp_path / "factor.h5")
    h5 = detail.create_new_factor_h5(path, (4, 8))
    detail.put_factor_packs(h5, [V(date=20180102, values=[item("A", 1.0), item("B", 2.0)]),
                                 V(date=20180103, values=[item("A", 3.0), item("C", 4.0)])])

    def stored():
        h5.close()
        with h5py.File(path, "r") as f:
            return f["data"][...], dict(f["data"].attrs)

    yield V(h5=h5, path=path, stored=stored)
    h5.close()


# ---- calls that break the parameter rules -------------------------------------

ARITY = [
    ("get_all_trading_dates", (1,), {}),
    ("_get_all_instrument_index", (), {"x": 1}),
    ("_get_date_index", (), {}),
    ("_get_date_index", (1, 2), {}),
    ("_get_date_index", (), {"d": 20180102}),
    ("_get_date_section_index", (1,), {}),
    ("_get_date_section_index", (1, 2), {"end_date": 3}),
    ("_get_date_by_index", (0, 1, 2), {}),
    ("_get_stock_index", (), {"order_book_id": "A"}),
    ("do_not_decrease_when_temporarily_unavailable", ("a", "b"), {}),
    ("create_new_factor_h5", ("{path}",), {}),
    ("create_new_factor_h5", ("{path}", (1, 1)), {"mode": "w"}),
    ("get_h5", (), {}),
    ("get_h5", ("{path}", True, 0.1, 2, 5), {}),
    ("get_h5", ("{path}",), {"writable": True}),
    ("get_h5", ("{path}",), {"path": "{path}"}),
    ("get_factor_value", (None, ["A"], 1), {}),
    ("get_factor_value", (None, ["A"], 1, 2), {"checked": True}),
    ("get_iter", (), {"packs": []}),
    ("get_iter", ([], []), {}),
    ("put_factor_packs", (None,), {}),
    ("put_factor_value", (None, 20180102), {}),
    ("put_factor_value", (None, 20180102, []), {"flush": True}),
    ("rewrite_factor", (), {"path": "{path}"}),
    ("remove_factor", ("{path}", "{path}"), {}),
]


@pytest.mark.parametrize("name, args, kwargs", ARITY, ids=[f"{n}{a}{k}" for n, a, k in ARITY])
def test_parameter_rules(detail, tmp_path, no_sleep, logs, name, args, kwargs):
    path = str(tmp_path / "f.h5")
    fill = lambda v: path if v == "{path}" else v  # noqa: E731
    with pytest.raises(TypeError):
        getattr(detail, name)(*map(fill, args), **{k: fill(v) for k, v in kwargs.items()})
    # Refused before any work: nothing created, retried, logged or fetched.
    assert not os.path.exists(path) and no_sleep == [] and logs() == []


# ---- argument values, function by function -----------------------------------

LOOKUPS = [
    ("_get_date_index", (None,), TypeError),
    ("_get_date_index", ("20180102",), TypeError),
    ("_get_date_index", (b"x",), TypeError),
    ("_get_date_index", ([20180102],), TypeError),
    ("_get_date_index", (HUGE,), None),
    ("_get_date_index", (-HUGE,), None),
    ("_get_date_index", (-1,), None),
    ("_get_date_index", (20180103.0,), 1),
    ("_get_date_section_index", (HUGE, HUGE), (5, 5)),
    ("_get_date_section_index", (-HUGE, -1), (0, 0)),
    ("_get_date_section_index", (None, 20180103), TypeError),
    ("_get_date_section_index", (20180102, "x"), TypeError),
    ("_get_date_by_index", (0, HUGE), IndexError),
    ("_get_date_by_index", (-HUGE, 0), IndexError),
    ("_get_date_by_index", (0, 5), IndexError),
    ("_get_date_by_index", (-1, -5), (20180108, 20180102)),
    ("_get_date_by_index", (0, 1.0), TypeError),
    ("_get_date_by_index", (None, 0), TypeError),
    ("_get_stock_index", (None,), KeyError),
    ("_get_stock_index", (0,), KeyError),
    ("_get_stock_index", (b"A",), KeyError),
    ("_get_stock_index", (HUGE,), KeyError),
    ("_get_stock_index", (["A"],), TypeError),
    ("do_not_decrease_when_temporarily_unavailable", (None,), True),
    ("do_not_decrease_when_temporarily_unavailable", (17,), True),
    ("do_not_decrease_when_temporarily_unavailable", (OSError(17, "x errno = 17"),), False),
    ("do_not_decrease_when_temporarily_unavailable", (BadText(),), RuntimeError),
]


@pytest.mark.parametrize("name, args, expected", LOOKUPS, ids=[f"{n}{a!r:.40}" for n, a, _ in LOOKUPS])
def test_reference_lookups(detail, reference, name, args, expected):
    call = getattr(detail, name)
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected):
            call(*args)
    else:
        assert call(*args) == expected


PATHS = [(None, TypeError), (5, TypeError), (["a"], TypeError), (BadText(), TypeError), ("", ValueError),
         ("bad\0path", ValueError)]


@pytest.mark.parametrize("path, kind", PATHS, ids=[repr(p) for p, _ in PATHS])
@pytest.mark.parametrize("name, extra", [("create_new_factor_h5", ((1, 1),)), ("get_h5", ()), ("get_h5", (True,)),
                                         ("rewrite_factor", ()), ("remove_factor", ())])
def test_bad_paths(detail, reference, no_sleep, logs, name, extra, path, kind):
    with pytest.raises(kind):
        getattr(detail, name)(path, *extra)
    assert no_sleep == [] and logs() == []


SHAPES = [((10**20, 1), ValueError), ((2**63, 1), ValueError), ((1, -HUGE), ValueError), ((0, -1), ValueError),
          (None, TypeError), ({1: 2}, TypeError), (iter([1, 1]), TypeError), ((1, None), TypeError)]


@pytest.mark.parametrize("shape, kind", SHAPES, ids=[repr(s)[:30] for s, _ in SHAPES])
def test_bad_shapes_create_nothing(detail, tmp_path, logs, shape, kind):
    path = tmp_path / "f.h5"
    with pytest.raises(kind, match="shape"):
        detail.create_new_factor_h5(str(path), shape)
    assert not path.exists() and logs() == []


@pytest.mark.parametrize(
    "kwargs, outcome",
    [({"write": None}, "r"), ({"write": 0}, "r"), ({"write": BadTruth()}, RuntimeError),
     ({"read_wait": "1"}, TypeError), ({"read_wait": None}, TypeError), ({"rate": []}, TypeError),
     ({"read_wait": -1}, ValueError), ({"rate": -0.5}, ValueError), ({"rate": math.nan}, ValueError),
     ({"read_wait": 10**400}, OverflowError), ({"read_wait": math.inf, "rate": 0}, "r")],
)
def test_get_h5_arguments(detail, reference, tmp_path, no_sleep, kwargs, outcome):
    path = str(tmp_path / "f.h5")
    detail.create_new_factor_h5(path, (2, 2)).close()
    if isinstance(outcome, str):
        with detail.get_h5(path, **kwargs) as h5:
            assert h5.mode == outcome
    else:
        with pytest.raises(outcome):
            detail.get_h5(path, **kwargs)
    assert no_sleep == []  # none of these is an OSError: no retries


@pytest.mark.parametrize("read_wait, rate", [(0, math.inf), (math.inf, 0), (1e308, 1e308)])
def test_extreme_pauses_stay_numbers(detail, tmp_path, monkeypatch, read_wait, rate):
    # A file that never opens: every pause the reader sleeps must be a sane number.
    import time

    path = tmp_path / "junk.h5"
    path.write_text("not a factor file")
    pauses = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    with pytest.raises(OSError, match="signature"):
        detail.get_h5(str(path), False, read_wait, rate)
    reader_pauses = [p for p in pauses if p != 1]
    assert reader_pauses and all(0 <= p <= 30 for p in reader_pauses)


@pytest.mark.parametrize("name", ["rewrite_factor", "remove_factor"])
def test_maintenance_of_what_is_no_factor_file(detail, tmp_path, name):
    with pytest.raises(FileNotFoundError):
        getattr(detail, name)(str(tmp_path / "missing.h5"))
    with pytest.raises(OSError):
        getattr(detail, name)(str(tmp_path))
    assert os.path.isdir(tmp_path)


# ---- streams --------------------------------------------------------------------

STREAMS = [
    ({"h5": "not a handle"}, TypeError),
    ({"h5": 5}, TypeError),
    ({"h5": BadTruth()}, RuntimeError),
    ({"order_book_ids": None}, TypeError),
    ({"order_book_ids": 5}, TypeError),
    ({"order_book_ids": [["B"], "A"]}, TypeError),
    ({"start_date": None}, TypeError),
    ({"end_date": "20180108"}, TypeError),
    ({"check": BadTruth()}, RuntimeError),
    ({"order_book_ids": ["A", 0, None, b"A", 1.5, HUGE]}, [("A", 5)]),
    ({"start_date": HUGE, "end_date": HUGE}, [("A", 0)]),
    ({"start_date": -HUGE}, [("A", 5)]),
    ({"start_date": 20180108, "end_date": 20180102}, [("A", 0)]),
    ({"h5": None}, []),
]


@pytest.mark.parametrize("change, outcome", STREAMS, ids=[repr(c)[:50] for c, _ in STREAMS])
def test_get_factor_value_arguments(detail, factor, logs, change, outcome):
    arguments = dict(h5=factor.h5, order_book_ids=["A"], start_date=20180102, end_date=20180108, check=False)
    arguments.update(change)
    stream = detail.get_factor_value(**arguments)  # binds only: nothing may fail yet
    if isinstance(outcome, list):
        assert [(oid, len(values)) for oid, values in stream] == outcome
        assert [r for r in logs() if r[0] != "INFO" or "get factor" in r[1]] == []
    else:
        with pytest.raises(outcome):
            next(stream)
        with pytest.raises(StopIteration):
            next(stream)


@pytest.mark.parametrize("error", [RuntimeError("midway"), KeyboardInterrupt()])
def test_identifiers_that_raise_midway(detail, factor, error):
    stream = detail.get_factor_value(factor.h5, raising_after(["A", "B", "C"], 2, error), 20180102, 20180103)
    assert [oid for oid, _ in (next(stream), next(stream))] == ["A", "B"]
    with pytest.raises(type(error)):
        next(stream)
    assert list(stream) == []


ITER = [
    (None, TypeError),
    (5, TypeError),
    ([5], AttributeError),
    ([V(date=1)], AttributeError),
    ([Raising(ValueError("bad pack"))], ValueError),
    (raising_after([V(date=1, values=[])] * 3, 2), RuntimeError),
]


@pytest.mark.parametrize("packs, kind", ITER, ids=[repr(p)[:40] for p, _ in ITER])
def test_get_iter_fails_at_the_request_that_reaches_the_fault(detail, packs, kind):
    stream = detail.get_iter(packs)
    good = 2 if kind is RuntimeError else 0
    assert [next(stream) for _ in range(good)] == [(1, [])] * good
    with pytest.raises(kind):
        next(stream)


# ---- writers: the kind of error, and no half-written column ----------------------

WRITES = [
    # (what is passed, path, error kind or None for a logged skip, log template)
    ({"h5": None}, "both", TypeError, None),
    ({"h5": "factor.h5"}, "both", TypeError, None),
    ({"date": None}, "both", TypeError, None),
    ({"date": "20180104"}, "both", TypeError, None),
    ({"date": [20180104]}, "both", TypeError, None),
    ({"date": HUGE}, "both", None, "wrong date"),
    ({"date": -1}, "both", None, "wrong date"),
    ({"date": 20180104.5}, "both", None, "wrong date"),
    ({"values": None}, "both", TypeError, None),
    ({"values": 5}, "both", TypeError, None),
    ({"values": lambda: (item("A", 9.0) for _ in range(2))}, "both", TypeError, None),
    ({"values": lambda: raising_after([item("A", 9.0)] * 3, 1)}, "value", RuntimeError, None),
    ({"values": [item("A", 9.0), 5]}, "both", AttributeError, None),
    ({"values": [item("A", 9.0), Raising(RuntimeError("no id"), value=1.0)]}, "both", RuntimeError, None),
    ({"values": [item("A", 9.0), Raising(ZeroDivisionError("no value"), order_book_id="B")]},
     "both", ZeroDivisionError, None),
    ({"values": [item("A", 9.0), Raising(KeyboardInterrupt(), order_book_id="B")]},
     "both", KeyboardInterrupt, None),
    ({"values": [item("A", 9.0), item("B", 10**400)]}, "both", OverflowError, None),
    ({"values": [item("A", 9.0), item(["B"], 1.0)]}, "per-item", TypeError, None),
    ({"values": [item("A", 9.0), item("B", 1j)]}, "per-item", TypeError, None),
    ({"values": [item("A", 9.0), item("B", "n/a")]}, "value", ValueError, None),
    # A value that cannot be stored is skipped, on both paths of a batch; the
    # bulk path also skips a value whose type has no float form.
    ({"values": [item("A", 9.0), item("B", "n/a")]}, "packs", None, "order_book_id not in h5"),
    ({"values": [item("A", 9.0), Raising(ValueError("no value"), order_book_id="B")]},
     "packs", None, "order_book_id not in h5"),
    ({"values": [item("A", 9.0), item("B", 1j)]}, "bulk", None, "order_book_id not in h5"),
    ({"values": [item("A", 9.0), Raising(TypeError("no value"), order_book_id="B")]},
     "bulk", None, "order_book_id not in h5"),
    # A failure that is no one value's stores nothing.
    ({"values": [item("A", 9.0), item(["B"], 1.0)]}, "bulk", None, "put factor error"),
    ({"values": [item("A", 9.0), Raising(TypeError("no id"), value=1.0)]}, "bulk", None, "put factor error"),
    # Identifiers that are no text are simply not listed.
    ({"values": [item("A", 9.0), item(0, 1.0), item(None, 1.0), item(b"B", 1.0)]}, "per-item", None, "not listed"),
]
PATHS_OF = {"both": ["value", "packs", "bulk"], "value": ["value"], "packs": ["packs", "bulk"], "bulk": ["bulk"],
            "per-item": ["value", "packs"]}
WRITE_CASES = [pytest.param(change, how, kind, log, id=f"{how}-{change!r:.60}")
               for change, paths, kind, log in WRITES for how in PATHS_OF[paths]]


def write(detail, how, h5, date, values):
    if how == "value":
        return detail.put_factor_value(h5, date, values)
    return detail.put_factor_packs(h5, [V(date=date, values=values)])


@pytest.mark.parametrize("change, how, kind, log", WRITE_CASES)
def test_bad_writes(detail, factor, logs, monkeypatch, change, how, kind, log):
    if how == "bulk":
        monkeypatch.setattr(detail, "BOOK_COUNT_THRESHOLD", 1)
    before = factor.h5["data"][:, :]
    arguments = dict(h5=factor.h5, date=20180104, values=[item("A", 9.0), item("C", 8.0)])
    arguments.update(change)
    if arguments["h5"] == "factor.h5":
        arguments["h5"] = factor.path  # a path is no handle
    if callable(arguments["values"]):
        arguments["values"] = arguments["values"]()  # a fresh generator for each case
    if kind is None:
        write(detail, how, **arguments)
    else:
        with pytest.raises(kind):
            write(detail, how, **arguments)
    after, attrs = factor.stored()
    # Columns 0 and 1 stay as they were whatever happened to column 2.
    np.testing.assert_array_equal(after[:, :2], before[:, :2])
    np.testing.assert_array_equal(after[:, 3:], before[:, 3:])
    column = after[:, 2]
    if kind is None and log in ("order_book_id not in h5", "not listed"):
        np.testing.assert_array_equal(column, [9.0, np.nan, np.nan, np.nan])  # the good item landed
        assert attrs["cursor_col"] == 2
    elif log == "put factor error":
        assert np.isnan(column).all() and attrs["cursor_col"] == 2  # written back unchanged
    else:
        assert np.isnan(column).all() and attrs["cursor_col"] == 1  # never touched
    if log:
        assert any(level == "INFO" and log in template for level, template, _ in logs())


def test_batch_that_fails_at_a_later_date_keeps_the_earlier_ones_whole(detail, factor):
    packs = [V(date=20180104, values=[item("A", 5.0), item("B", 6.0)]),
             V(date=20180105, values=[item("A", 7.0), Raising(RuntimeError("boom"), value=1.0)])]
    with pytest.raises(RuntimeError, match="boom"):
        detail.put_factor_packs(factor.h5, packs)
    matrix, attrs = factor.stored()
    np.testing.assert_array_equal(matrix[:2, 2], [5.0, 6.0])
    assert np.isnan(matrix[:, 3]).all() and attrs["cursor_col"] == 2


def test_packs_that_raise_midway_write_nothing(detail, factor):
    packs = raising_after([V(date=20180104, values=[item("A", 5.0)])] * 3, 2)
    with pytest.raises(RuntimeError, match="midway"):
        detail.put_factor_packs(factor.h5, packs)
    matrix, attrs = factor.stored()
    assert np.isnan(matrix[:, 2:]).all() and attrs["cursor_col"] == 1


@pytest.mark.parametrize(
    "setting, value, kind",
    [("EXPAND_TRADING_DATE_LENGTH", -250, ValueError), ("EXPAND_TRADING_DATE_LENGTH", None, TypeError),
     ("EXPAND_TRADING_DATE_LENGTH", HUGE, OverflowError), ("EXPAND_INSTRUMENT_LENGTH", -500, ValueError),
     ("BOOK_COUNT_THRESHOLD", "3700", TypeError), ("BOOK_COUNT_THRESHOLD", HUGE, OverflowError)],
)
def test_bad_settings_never_shrink_or_half_write(detail, factor, reference, monkeypatch, setting, value, kind):
    # Both axes are due to grow: the date lies past the matrix's eight
    # columns, and five instruments are listed for four rows.
    reference.set_calendar(range(20180101, 20180110))
    reference.set_instruments(dict(INDEX, D=3, E=4))
    monkeypatch.setattr(detail, setting, value)
    with pytest.raises(kind, match=setting):
        detail.put_factor_value(factor.h5, 20180109, [item("A", 1.0)])
    matrix, attrs = factor.stored()
    # A bad growth step stops the call before the resize; the path threshold
    # is read after it. The stored cells stay, the new column is not written.
    assert matrix.shape == ((4, 8) if setting.startswith("EXPAND") else (504, 258))
    assert matrix[0, 0] == 1.0 and matrix[2, 1] == 4.0 and attrs["cursor_col"] == 1
    assert np.isnan(matrix[:, 2:]).all()


@pytest.mark.parametrize("row", [-1, 4, 2**70, HUGE])
@pytest.mark.parametrize("how", ["value", "packs", "bulk"])
def test_rows_outside_the_matrix(detail, factor, reference, logs, monkeypatch, how, row):
    if how == "bulk":
        monkeypatch.setattr(detail, "BOOK_COUNT_THRESHOLD", 1)
    reference.set_instruments({"A": 0, "X": row})
    with pytest.raises(IndexError):
        write(detail, how, factor.h5, 20180104, [item("A", 1.0), item("X", 2.0)])
    assert [oid for oid, _ in detail.get_factor_value(factor.h5, ["X", "A"], 20180102, 20180108)] == ["A"]
    assert ("INFO", "get factor with order_book_id not in h5, %s/%s", ("X", row)) in logs()
    matrix, attrs = factor.stored()
    assert np.isnan(matrix[:, 2]).all() and attrs["cursor_col"] == 1


@pytest.mark.parametrize("row", ["0", 1.0, True, None])
def test_row_numbers_that_are_no_integers(detail, factor, reference, row):
    reference.set_instruments({"A": 0, "X": row})
    for call in (lambda: write(detail, "value", factor.h5, 20180104, [item("X", 2.0)]),
                 lambda: list(detail.get_factor_value(factor.h5, ["X"], 20180102, 20180108))):
        with pytest.raises(TypeError, match="integer"):
            call()
    matrix, _ = factor.stored()
    assert np.isnan(matrix[:, 2]).all()


# ---- handle methods -----------------------------------------------------------------

HANDLE = [
    ("h5[5]", lambda h5, d: h5[5], TypeError),
    ("h5[None]", lambda h5, d: h5[None], TypeError),
    ("h5['missing']", lambda h5, d: h5["missing"], KeyError),
    ("h5['']", lambda h5, d: h5[""], ValueError),
    ("h5['data\\0x']", lambda h5, d: h5["data\0x"], ValueError),
    ("5 in h5", lambda h5, d: 5 in h5, False),
    ("None in h5", lambda h5, d: None in h5, False),
    ("'data\\0x' in h5", lambda h5, d: "data\0x" in h5, False),
    ("close(1)", lambda h5, d: h5.close(1), TypeError),
    ("__enter__(1)", lambda h5, d: h5.__enter__(1), TypeError),
    ("flush(True)", lambda h5, d: h5.flush(True), TypeError),
    ("d['x']", lambda h5, d: d["x"], TypeError),
    ("d[1.5]", lambda h5, d: d[1.5], TypeError),
    ("d[[0, 1]]", lambda h5, d: d[[0, 1]], TypeError),
    ("d[True, 0]", lambda h5, d: d[True, 0], TypeError),
    ("d[None]", lambda h5, d: d[None], TypeError),
    ("d[HUGE]", lambda h5, d: d[HUGE], IndexError),
    ("d[0, -9]", lambda h5, d: d[0, -9], IndexError),
    ("d[0, 0, 0]", lambda h5, d: d[0, 0, 0], IndexError),
    ("d[..., ...]", lambda h5, d: d[..., ...], IndexError),
    ("d[::2]", lambda h5, d: d[::2], ValueError),
    ("d[0, HUGE:]", lambda h5, d: d[0, HUGE:].shape, (0,)),
    ("d[-HUGE:HUGE, 0]", lambda h5, d: d[-HUGE:HUGE, 0].shape, (4,)),
    ("d[0, 0] = 'abc'", lambda h5, d: d.__setitem__((0, 0), "abc"), ValueError),
    ("d[0, 0] = object()", lambda h5, d: d.__setitem__((0, 0), object()), TypeError),
    ("d[0, 0] = 10**400", lambda h5, d: d.__setitem__((0, 0), 10**400), OverflowError),
    ("d[:, 0] = [1, 2, 3]", lambda h5, d: d.__setitem__((slice(None), 0), [1, 2, 3]), ValueError),
    ("d[:, 0] = generator", lambda h5, d: d.__setitem__((slice(None), 0), (x for x in range(4))), TypeError),
    ("d[0, 0] = [[1]]", lambda h5, d: d.__setitem__((0, 0), [[1]]), ValueError),
    ("resize(None)", lambda h5, d: d.resize(None), TypeError),
    ("resize('ab')", lambda h5, d: d.resize("ab"), TypeError),
    ("resize((1.0, 8))", lambda h5, d: d.resize((1.0, 8)), TypeError),
    ("resize((-1, 8))", lambda h5, d: d.resize((-1, 8)), ValueError),
    ("resize((2**63, 8))", lambda h5, d: d.resize((2**63, 8)), ValueError),
    ("resize shrinks", lambda h5, d: d.resize((4, 7)), ValueError),
    ("attrs[5]", lambda h5, d: d.attrs[5], TypeError),
    ("attrs[None] = 1", lambda h5, d: d.attrs.__setitem__(None, 1), TypeError),
    ("del attrs[5]", lambda h5, d: d.attrs.__delitem__(5), TypeError),
    ("attrs['missing']", lambda h5, d: d.attrs["missing"], KeyError),
    ("del attrs['missing']", lambda h5, d: d.attrs.__delitem__("missing"), KeyError),
    ("attrs['']", lambda h5, d: d.attrs[""], ValueError),
    ("attrs['cursor_col\\0x'] = 9", lambda h5, d: d.attrs.__setitem__("cursor_col\0x", 9), ValueError),
    ("del attrs['cursor_col\\0x']", lambda h5, d: d.attrs.__delitem__("cursor_col\0x"), ValueError),
    ("attrs['t'] = 'a\\0b'", lambda h5, d: d.attrs.__setitem__("t", "a\0b"), ValueError),
    ("attrs['t'] = [b'a', b'x\\0y']", lambda h5, d: d.attrs.__setitem__("t", [b"a", b"x\0y"]), ValueError),
    ("attrs['t'] = object()", lambda h5, d: d.attrs.__setitem__("t", object()), TypeError),
    ("attrs['t'] = None", lambda h5, d: d.attrs.__setitem__("t", None), TypeError),
    ("attrs['t'] = {}", lambda h5, d: d.attrs.__setitem__("t", {"x": 1}), TypeError),
    ("attrs['t'] = 1j", lambda h5, d: d.attrs.__setitem__("t", 1j), TypeError),
    ("attrs['t'] = HUGE", lambda h5, d: d.attrs.__setitem__("t", HUGE), OverflowError),
    ("attrs['t'] = ragged", lambda h5, d: d.attrs.__setitem__("t", [[1, 2], [3]]), ValueError),
    ("5 in attrs", lambda h5, d: 5 in d.attrs, False),
    ("None in attrs", lambda h5, d: None in d.attrs, False),
    ("'' in attrs", lambda h5, d: "" in d.attrs, False),
    ("attrs.get('missing', 7)", lambda h5, d: d.attrs.get("missing", 7), 7),
]


@pytest.mark.parametrize("use, outcome", [(u, o) for _, u, o in HANDLE], ids=[n for n, _, _ in HANDLE])
def test_handle_methods(detail, factor, use, outcome):
    data = factor.h5["data"]
    before = data[:, :]
    if isinstance(outcome, type) and issubclass(outcome, BaseException):
        with pytest.raises(outcome):
            use(factor.h5, data)
    else:
        assert use(factor.h5, data) == outcome
    # A refused call changes nothing: cells, shape and attributes as they were.
    matrix, attrs = factor.stored()
    np.testing.assert_array_equal(matrix, before)
    assert attrs == {"cursor_col": 1}


def test_empty_array_attribute_round_trips(detail, factor):
    factor.h5["data"].attrs["empty"] = []
    assert factor.h5["data"].attrs["empty"].shape == (0,)
    _, attrs = factor.stored()
    assert attrs["empty"].shape == (0,)


CLOSED = [
    lambda h5, d: h5.flush(), lambda h5, d: h5.mode, lambda h5, d: h5.keys(), lambda h5, d: h5["data"],
    lambda h5, d: "data" in h5, lambda h5, d: d.shape, lambda h5, d: d.dtype, lambda h5, d: d.chunks,
    lambda h5, d: d.maxshape, lambda h5, d: d.compression, lambda h5, d: d.compression_opts,
    lambda h5, d: d.fillvalue, lambda h5, d: d.attrs.keys(), lambda h5, d: d.attrs["cursor_col"],
    lambda h5, d: d[0, 0], lambda h5, d: d.__setitem__((0, 0), 1.0), lambda h5, d: d.resize((9, 9)),
    lambda h5, d: len(d),
]
READ_ONLY = [
    lambda h5, d: d.__setitem__((0, 0), 1.0), lambda h5, d: d.resize((9, 9)),
    lambda h5, d: d.attrs.__setitem__("cursor_col", 7), lambda h5, d: d.attrs.__delitem__("cursor_col"),
    lambda h5, d: detail_module().put_factor_value(h5, 20180104, [item("A", 1.0)]),
    lambda h5, d: detail_module().put_factor_value(h5, 20180104, [item("A", None)]),
    lambda h5, d: detail_module().put_factor_packs(h5, [V(date=20180104, values=[item("A", 1.0)])]),
]


def detail_module():
    import quorbel.detail

    return quorbel.detail


def test_closed_handles_refuse_everything(detail, factor):
    h5 = factor.h5
    data = h5["data"]
    h5.close()
    for use in CLOSED:
        with pytest.raises(ValueError, match="closed"):
            use(h5, data)
    h5.close()  # again: fine
    assert not h5 and h5.filename == factor.path
    assert list(detail.get_factor_value(h5, ["A"], 20180102, 20180108)) == []


def test_read_only_handles_refuse_changes(detail, factor):
    matrix, attrs = factor.stored()
    with detail.get_h5(factor.path) as read_only:
        for use in READ_ONLY:
            with pytest.raises(OSError, match="no write intent"):
                use(read_only, read_only["data"])
    again, attrs_again = factor.stored()
    np.testing.assert_array_equal(again, matrix)
    assert attrs_again == attrs


def test_with_block_closes_and_keeps_the_error(detail, factor):
    with pytest.raises(ZeroDivisionError):
        with factor.h5:
            1 / 0
    assert not factor.h5


def test_huge_matrices_fail_cleanly(tmp_path):
    # Allocation failures run in a child: a crash there is a failed test, not a dead run.
    proc = run_python(f"""
        import os, types
        import quorbel.detail as d
        d.get_all_trading_dates = lambda: [20180102, 20180103, 20180104]
        d._get_all_instrument_index = lambda: {{"A": 0}}
        V = types.SimpleNamespace
        def outcome(call):
            try:
                call()
                return "ok"
            except (MemoryError, OSError) as e:
                return type(e).__name__
        for n, shape in enumerate([(10**12, 10**12), (2**62, 2**62)]):
            path = os.path.join({str(tmp_path)!r}, f"huge{{n}}.h5")
            d.create_new_factor_h5(path, shape).close()
            h5 = d.get_h5(path, True)
            write = outcome(lambda: d.put_factor_value(h5, 20180103, [V(order_book_id="A", value=1.0)]))
            column = outcome(lambda: h5["data"][:, 0])
            rows = [len(v) for _, v in d.get_factor_value(h5, ["A"], 20180102, 20180104)]
            h5.close()
            print(shape, write, column, rows, outcome(lambda: d.rewrite_factor(path)), os.path.exists(path))
    """, timeout=240)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.strip().splitlines()
    assert len(lines) == 2, proc.stdout
    for line in lines:
        # A read of one row works; whole columns and rewrites of such a matrix
        # cannot fit in memory and say so; the file stays where it was.
        assert line.endswith("[3] MemoryError True"), line
        assert " MemoryError " in line or " OSError " in line
