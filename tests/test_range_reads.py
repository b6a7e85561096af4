"""Reading instrument rows over a date range: values, skips, cursor limit, laziness."""

import bisect
import os

import h5py
import numpy as np
import pytest

from conftest import run_python

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]
INDEX = {"A": 0, "B": 3, "Z": 12}
NOT_IN_H5 = "get factor with order_book_id not in h5, %s/%s"


def section_of(start_date, end_date, calendar=CALENDAR):
    return bisect.bisect_left(calendar, start_date), bisect.bisect_right(calendar, end_date)


class Reference:
    """Stand-ins for the calendar and the instrument index, recording their calls."""

    def __init__(self, monkeypatch, detail, calendar=CALENDAR, index=INDEX):
        self.calls = []
        self.index = dict(index)

        def section(start_date, end_date):
            self.calls.append(("section", start_date, end_date))
            return section_of(start_date, end_date, calendar)

        def instruments():
            self.calls.append(("index",))
            return self.index

        monkeypatch.setattr(detail, "_get_date_section_index", section, raising=False)
        monkeypatch.setattr(detail, "_get_all_instrument_index", instruments, raising=False)


@pytest.fixture
def reference(monkeypatch, detail):
    return Reference(monkeypatch, detail)


@pytest.fixture
def matrix(detail, tmp_path):
    """A 10 x 8 factor file with a distinct value in every cell, and its path."""
    path = str(tmp_path / "factor.h5")
    f = detail.create_new_factor_h5(path, (10, 8))
    values = np.arange(80, dtype="f8").reshape(10, 8) + 0.5
    for j in range(8):
        f["data"][:, j] = values[:, j]
    yield f, path
    f.close()


def read_back(path):
    with h5py.File(path, "r") as f:
        return f["data"][...]


def counting(items, taken):
    for item in items:
        taken.append(item)
        yield item


def test_rows_match_an_independent_reader(detail, reference, matrix):
    f, path = matrix
    ranges = [(20180103, 20180105), (20180101, 20180106), (20180102, 20180108), (20180109, 20180131),
              (20171201, 20171231), (20180106, 20180107)]
    got = {r: list(detail.get_factor_value(f, ["B", "A", "B"], *r)) for r in ranges}
    f.close()
    stored = read_back(path)
    for r, items in got.items():
        s, e = section_of(*r)
        assert [oid for oid, _ in items] == ["B", "A", "B"]
        for oid, values in items:
            assert values.dtype == np.float64 and values.ndim == 1
            np.testing.assert_array_equal(values, stored[INDEX[oid], s:e])
    assert got[(20180103, 20180105)][1][1].tolist() == [1.5, 2.5, 3.5]
    assert all(len(v) == 0 for _, v in got[(20180109, 20180131)])
    # Each item owns its array: changing one leaves the other "B" alone.
    first, _, again = got[(20180102, 20180108)]
    first[1][:] = -1
    assert (again[1] != -1).all()


def test_columns_are_cut_at_the_matrix_and_unwritten_cells_are_nan(detail, reference, tmp_path):
    f = detail.create_new_factor_h5(str(tmp_path / "narrow.h5"), (10, 3))
    f["data"][0, :2] = [1.0, 2.0]
    (item,) = detail.get_factor_value(f, ["A"], 20180103, 20180108)
    np.testing.assert_array_equal(item[1], [2.0, np.nan])
    assert [v.tolist() for _, v in detail.get_factor_value(f, ["A"], 20180105, 20180108)] == [[]]
    f.close()


def test_unknown_skipped_silently_rows_outside_logged(detail, monkeypatch, matrix, logs):
    f, _ = matrix
    Reference(monkeypatch, detail, index={"A": 0, "Z": 12, "N": -1, "H": 2**70, "E": 10})
    items = list(detail.get_factor_value(f, ["X", "Z", "A", "N", "H", "E", "A"], 20180102, 20180103))
    assert [(oid, v.tolist()) for oid, v in items] == [("A", [0.5, 1.5]), ("A", [0.5, 1.5])]
    assert logs()[-4:] == [("INFO", NOT_IN_H5, ("Z", 12)), ("INFO", NOT_IN_H5, ("N", -1)),
                           ("INFO", NOT_IN_H5, ("H", 2**70)), ("INFO", NOT_IN_H5, ("E", 10))]
    assert not any(record[2] and record[2][0] == "X" for record in logs())


def test_a_row_that_is_not_an_integer_is_a_type_error(detail, monkeypatch, matrix):
    f, _ = matrix
    Reference(monkeypatch, detail, index={"A": 0, "F": 1.0, "T": True})
    for oid in ("F", "T"):
        stream = detail.get_factor_value(f, ["A", oid], 20180102, 20180103)
        assert next(stream)[0] == "A"
        with pytest.raises(TypeError, match=f"'{oid}'"):
            next(stream)
        with pytest.raises(StopIteration):  # an error ends the stream
            next(stream)
    # A NumPy integer is an integer.
    Reference(monkeypatch, detail, index={"A": np.int64(3)})
    assert next(detail.get_factor_value(f, ["A"], 20180102, 20180103))[1].tolist() == [24.5, 25.5]


@pytest.mark.parametrize(
    "cursor, start, end, check, expected_columns",
    [
        (2, 20180102, 20180108, True, [0, 1, 2]),
        (None, 20180102, 20180108, True, [0, 1, 2, 3, 4]),
        (2, 20180102, 20180108, False, [0, 1, 2, 3, 4]),
        (2, 20180103, 20180103, True, [1]),
        (3, 20180102, 20180105, 1, [0, 1, 2, 3]),
        # The requested dates all lie after the last date reached by writes.
        (2, 20180105, 20180108, True, []),
        (2, 20180108, 20180108, "yes", []),
        # Start after end.
        (None, 20180105, 20180103, False, []),
        (2, 20180105, 20180103, True, []),
    ],
)
def test_check_limits_the_range_to_cursor_col(detail, reference, matrix, cursor, start, end, check,
                                              expected_columns):
    f, _ = matrix
    if cursor is not None:
        f["data"].attrs["cursor_col"] = cursor
    items = list(detail.get_factor_value(f, ["A", "B"], start, end, check))
    assert [oid for oid, _ in items] == ["A", "B"]
    for oid, values in items:
        assert values.tolist() == [INDEX[oid] * 8 + j + 0.5 for j in expected_columns]


def test_a_false_h5_ends_at_once_with_an_empty_list(detail, reference, matrix):
    f, _ = matrix
    taken = []
    f.close()
    for h5 in (None, f):
        stream = detail.get_factor_value(h5, counting(["A"], taken), 20180102, 20180108, check=True)
        with pytest.raises(StopIteration) as ended:
            next(stream)
        assert ended.value.value == []
        with pytest.raises(StopIteration) as again:
            next(stream)
        assert again.value.value is None

    def delegate():
        return (yield from detail.get_factor_value(None, ["A"], 20180102, 20180108))

    with pytest.raises(StopIteration) as ended:
        next(delegate())
    assert ended.value.value == []
    assert reference.calls == [] and taken == []


def test_nothing_happens_before_the_first_request(detail, reference, matrix):
    f, _ = matrix
    taken = []
    stream = detail.get_factor_value(h5=f, order_book_ids=counting(["A", "B"], taken), start_date="bad",
                                     end_date=20180108)
    assert iter(stream) is stream
    assert reference.calls == [] and taken == []
    with pytest.raises(TypeError):  # the date code reaches the lookup only now
        next(stream)
    assert reference.calls == [("section", "bad", 20180108)] and taken == []


def test_lookups_once_per_stream_in_order_and_identifiers_one_at_a_time(detail, reference, matrix):
    f, _ = matrix
    taken = []
    stream = detail.get_factor_value(f, counting(["X", "A", "B", "A"], taken), 20180102, 20180103)
    assert next(stream)[0] == "A"
    assert reference.calls == [("section", 20180102, 20180103), ("index",)]
    assert taken == ["X", "A"]
    assert next(stream)[0] == "B"
    assert taken == ["X", "A", "B"]
    stream.close()  # an abandoned stream takes no more identifiers
    with pytest.raises(StopIteration):
        next(stream)
    assert taken == ["X", "A", "B"]
    assert len(reference.calls) == 2
    assert f  # the stream never closes the caller's file


def test_identifiers_that_cannot_be_iterated_fail_after_the_lookups(detail, reference, matrix):
    f, _ = matrix
    stream = detail.get_factor_value(f, 42, 20180102, 20180103)
    with pytest.raises(TypeError):
        next(stream)
    assert reference.calls == [("section", 20180102, 20180103), ("index",)]


def test_reads_see_the_matrix_as_it_is_now(detail, reference, tmp_path):
    f = detail.create_new_factor_h5(str(tmp_path / "f.h5"), (10, 8))
    stream = detail.get_factor_value(f, iter(["A", "Z"]), 20180102, 20180108)
    assert next(stream)[0] == "A"
    # A writer enlarges the matrix while the stream is suspended.
    f["data"].resize((20, 8))
    f["data"][12, :] = 7.0
    assert next(stream)[1].tolist() == [7.0] * 5

    # The caller closes the file mid-stream: the next read fails and ends it.
    stream = detail.get_factor_value(f, ["A", "B"], 20180102, 20180108)
    next(stream)
    f.close()
    with pytest.raises(ValueError, match="closed"):
        next(stream)
    with pytest.raises(StopIteration):
        next(stream)


def test_defaults_and_arguments_by_name(detail, reference, matrix):
    f, _ = matrix
    f["data"].attrs["cursor_col"] = 0
    by_name = detail.get_factor_value(end_date=20180108, start_date=20180102, order_book_ids=["A"], h5=f)
    assert next(by_name)[1].size == 5  # check defaults to False
    with pytest.raises(TypeError):
        detail.get_factor_value(f, ["A"], 20180102)
    with pytest.raises(TypeError):
        detail.get_factor_value(f, ["A"], 20180102, 20180108, False, 1)


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs the per-process I/O counters of Linux")
def test_each_chunk_is_read_once_per_stream(tmp_path):
    # Every chunk that the library reads from the file it also inflates, so
    # counting read calls counts decompressions.
    code = """
        import bisect
        import numpy as np
        import quorbel.detail as d

        def reads():
            with open("/proc/self/io") as f:
                return int(dict(line.split(": ") for line in f.read().splitlines())["syscr"])

        f = d.create_new_factor_h5(PATH, (2000, 3000))
        chunk_rows, chunk_cols = f["data"].chunks
        values = np.round(np.random.default_rng(7).normal(size=(200, 3000)), 2)
        f["data"][:200, :] = values
        f.flush()
        d._get_date_section_index = lambda s, e: (s, e + 1)
        d._get_all_instrument_index = lambda: {r: r for r in range(2000)}

        first, last = 100, 2899
        stripes = -(-200 // chunk_rows)
        crossed = last // chunk_cols - first // chunk_cols + 1
        before = reads()
        got = dict(d.get_factor_value(f, range(200), first, last))
        stream_reads = reads() - before
        assert all(np.array_equal(got[r], values[r, first:last + 1]) for r in range(200))

        # The same rows through a default chunk cache, which the chunks of
        # one row overflow: this shows that the count sees re-inflation.
        before = reads()
        for r in range(200):
            f["data"][r, first:last + 1]
        default_reads = reads() - before
        print(stripes * crossed, stream_reads, default_reads)
    """
    proc = run_python(code.replace("PATH", repr(str(tmp_path / "chunks.h5"))))
    assert proc.returncode == 0, proc.stderr
    chunks, stream_reads, default_reads = map(int, proc.stdout.split())
    assert chunks <= stream_reads <= chunks + 10
    assert default_reads > 10 * chunks


def test_a_paused_stream_sees_writes_made_through_the_same_handle(detail, market, tmp_path):
    # Rows come from inflated stripes of chunks; a write between two items
    # must not leave the next item with the cells as they were.
    market.set_instruments({"A": 0, "B": 1})
    path = str(tmp_path / "paused.h5")
    with detail.create_new_factor_h5(path, (10, 5)) as h5:
        h5["data"][...] = 1.0
        stream = detail.get_factor_value(h5, ["A", "B"], 20180102, 20180108)
        assert next(stream)[0] == "A"
        h5["data"][1, :] = 2.0
        name, row = next(stream)
        assert name == "B" and list(row) == [2.0] * 5
