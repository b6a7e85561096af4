// read_panel: the values of many instruments over a date section as one
// matrix. The requested rows are read in row order through one RowReader, so
// every chunk of the section is inflated once however many rows share it.
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "storage/chunk_io.hpp"
#include "extras.hpp"
#include "storage/file_locking.hpp"

namespace quorbel {

const char *const kReadPanelDoc = R"doc(One factor's values for many instruments over a date range, as a DataFrame.

The section's rows are read once each, in row order, so every chunk
involved is inflated once, and all from one committed state of the file.
The date rules are ``get_factor_value``'s.

Parameters
----------
h5_or_path : FactorFile or str or os.PathLike
    An open factor file (as ``quorbel.detail.get_h5`` returns it), or the
    path of one, which is opened read-only through ``get_h5`` (with its
    retries) and closed again.
order_book_ids : iterable of str
    The instruments, in the order of the columns. Identifiers the instrument
    index does not list are dropped; duplicates are repeated; a listed
    instrument whose row the matrix does not have yet gets a column of NaN.
start_date, end_date : int
    Date codes, both inclusive.
check : bool, default False
    True ends the section at ``cursor_col``, the last column any write has
    reached (a file without ``cursor_col`` is not cut).
as_numpy : bool, default False
    True returns plain arrays instead of a DataFrame.

Returns
-------
pandas.DataFrame or tuple
    One row per trading date of the section (a ``DatetimeIndex`` named
    ``date``), one float64 column per instrument, NaN where there is no
    value. Empty when the start lies after the end, or (with ``check``)
    past ``cursor_col``. The section is clipped to the matrix's columns.
    With ``as_numpy=True``: ``(dates, ids, matrix)``, the date codes as an
    int64 array, the list of ids and a float64 matrix of dates x ids.

Raises
------
FileNotFoundError
    When no file is at the path.
OSError
    When the file is no factor file or cannot be read.
ValueError
    When the handle is closed.

See Also
--------
quorbel.detail.get_factor_value : the same rows, one instrument at a time.
quorbel.library.FactorLibrary.read : many factors at once, as a cube.

Examples
--------
>>> import types
>>> import quorbel
>>> import quorbel.detail as qd
>>> item = types.SimpleNamespace(order_book_id="600000.XSHG", value=1.5)
>>> with qd.get_h5("panel.h5", write=True) as h5:
...     qd.put_factor_value(h5, 20240102, [item])
>>> quorbel.read_panel("panel.h5", ["600000.XSHG", "000001.XSHE"], 20240102, 20240103)
            600000.XSHG  000001.XSHE
date
2024-01-02          1.5          NaN
2024-01-03          NaN          NaN
)doc";

int64_t days_since_epoch(int64_t date_code) {
    // Howard Hinnant's days_from_civil.
    int64_t y = date_code / 10000;
    const int64_t m = date_code / 100 % 100;
    const int64_t d = date_code % 100;
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

namespace {

bool is_path(nb::handle value) {
    return PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
           PyObject_HasAttrString(value.ptr(), "__fspath__");
}

// One requested instrument: its place in the output and its matrix row
// (nullopt when it lies beyond the matrix, which leaves it NaN).
struct Wanted {
    size_t position;
    std::optional<uint64_t> row;
};

struct Request {
    nb::list ids;
    std::vector<Wanted> wanted;
};

Request known_instruments(nb::handle order_book_ids) {
    nb::object stock_index = module_attr("_get_all_instrument_index")();
    nb::object iterator = nb::steal(PyObject_GetIter(order_book_ids.ptr()));
    if (!iterator) throw nb::python_error();
    Request request;
    for (;;) {
        nb::object id = nb::steal(PyIter_Next(iterator.ptr()));
        if (!id) {
            if (PyErr_Occurred()) throw nb::python_error();
            return request;
        }
        nb::object entry = index_entry(stock_index, id);
        if (!entry) continue;
        request.wanted.push_back({request.ids.size(), row_number(entry, id)});
        request.ids.append(id);
    }
}

// The date codes of columns [first, end): the calendar snapshot, refreshed
// by _get_date_by_index when it does not reach that far.
std::vector<int64_t> section_dates(uint64_t first, uint64_t end) {
    std::vector<int64_t> dates;
    if (end <= first) return dates;
    module_attr("_get_date_by_index")(first, end - 1);
    nb::object snapshot = module_attr("TRADING_DATES");
    dates.reserve(end - first);
    for (uint64_t c = first; c < end; ++c) {
        nb::object item = nb::steal(PySequence_GetItem(snapshot.ptr(), static_cast<Py_ssize_t>(c)));
        if (!item) throw nb::python_error();
        dates.push_back(int64_of(item, "a date code of quorbel.detail.TRADING_DATES"));
    }
    return dates;
}

struct Section {
    uint64_t first = 0, end = 0;
    uint64_t rows = 0;  // of the matrix
};

Section locate(const h5::File &file, nb::handle start_date, nb::handle end_date, bool check) {
    Section section;
    std::optional<int64_t> cursor_col;
    h5::Shape2 shape;
    {
        nb::gil_scoped_release release;
        h5::Dataset data = file.open_dataset("data");
        shape = data.shape();
        if (check) cursor_col = data.read_int64_attribute("cursor_col");
    }
    nb::object lookup = module_attr("_get_date_section_index")(start_date, end_date);
    const ColumnSection columns = column_section(lookup, cursor_col);
    section.first = std::min(columns.first, shape.cols);
    section.end = std::max(section.first, std::min(columns.end, shape.cols));
    section.rows = shape.rows;
    return section;
}

// Fills the rows of `cells` (ids x width, row-major) that `wanted` places
// inside the matrix, each matrix row read once and in ascending order.
void read_rows(const h5::File &file, const Section &section, const std::vector<Wanted> &wanted, double *cells) {
    const uint64_t width = section.end - section.first;
    std::vector<const Wanted *> order;
    for (const Wanted &w : wanted) {
        if (w.row && *w.row < section.rows) order.push_back(&w);
    }
    if (order.empty() || width == 0) return;
    std::sort(order.begin(), order.end(), [](const Wanted *a, const Wanted *b) { return *a->row < *b->row; });
    chunks::RowReader reader(file, "data", section.first, section.end);
    const Wanted *previous = nullptr;
    for (const Wanted *w : order) {
        double *out = cells + w->position * width;
        if (previous && *previous->row == *w->row) {
            std::memcpy(out, cells + previous->position * width, width * sizeof(double));
        } else {
            reader.read_row(*w->row, out);
        }
        previous = w;
    }
}

nb::object date_index(const std::vector<int64_t> &dates) {
    int64_t *days = nullptr;
    IntArray array = new_int_array(dates.size(), &days);
    for (size_t i = 0; i < dates.size(); ++i) days[i] = days_since_epoch(dates[i]);
    nb::object as_days = nb::cast(array).attr("view")("datetime64[D]");
    nb::object pandas = nb::module_::import_("pandas");
    return pandas.attr("DatetimeIndex")(as_days.attr("astype")("datetime64[ns]"), nb::arg("name") = "date");
}

nb::object panel_result(const std::vector<int64_t> &dates, nb::list ids, nb::object by_instrument, bool as_numpy) {
    // by_instrument is ids x dates; its transpose is the dates x ids view
    // pandas keeps as one block without copying.
    nb::object matrix = by_instrument.attr("T");
    if (as_numpy) {
        int64_t *codes = nullptr;
        IntArray array = new_int_array(dates.size(), &codes);
        std::copy(dates.begin(), dates.end(), codes);
        return nb::make_tuple(nb::cast(array), ids, matrix);
    }
    nb::object pandas = nb::module_::import_("pandas");
    return pandas.attr("DataFrame")(matrix, nb::arg("index") = date_index(dates),
                                    nb::arg("columns") = pandas.attr("Index")(ids, nb::arg("dtype") = "object"),
                                    nb::arg("copy") = false);
}

nb::object read_from_handle(nb::handle h5, nb::handle order_book_ids, nb::handle start_date, nb::handle end_date,
                            bool check, bool as_numpy) {
    h5::File file = file_of(h5);
    const Section section = locate(file, start_date, end_date, check);
    const std::vector<int64_t> dates = section_dates(section.first, section.end);
    Request request = known_instruments(order_book_ids);
    double *cells = nullptr;
    FloatArray by_instrument = new_float_array({request.ids.size(), dates.size()}, &cells);
    {
        nb::gil_scoped_release release;
        // Rows the reader fills are written whole; only the others need NaN.
        for (const Wanted &w : request.wanted) {
            if (w.row && *w.row < section.rows) continue;
            double *out = cells + w.position * dates.size();
            std::fill(out, out + dates.size(), std::numeric_limits<double>::quiet_NaN());
        }
        // Without file locks, rows read before and after another process's
        // write would show its date in some rows only: read them all again.
        h5::locking::Patience patience(file.locking_mode());
        for (;;) {
            if (!patience.next_attempt()) {
                throw h5::locking::kept_changing(file.name(), file.journal_path(), file.locking_mode(),
                                                 "Unable to read data");
            }
            const uint64_t generation = file.generation();
            read_rows(file, section, request.wanted, cells);
            if (file.generation() == generation) break;
            patience.writer_at_work();
        }
    }
    return panel_result(dates, request.ids, nb::cast(by_instrument), as_numpy);
}

}  // namespace

nb::object read_panel(nb::object h5_or_path, nb::object order_book_ids, nb::object start_date, nb::object end_date,
                      bool check, bool as_numpy) {
    if (!is_path(h5_or_path)) return read_from_handle(h5_or_path, order_book_ids, start_date, end_date, check, as_numpy);
    const std::string path = path_argument(h5_or_path);
    nb::object h5 = module_attr("get_h5")(h5_or_path);
    if (h5.is_none()) {
        raise_python(h5::Error(h5::ErrorKind::OS, "no factor file at " + path, ENOENT));
    }
    nb::object result;
    try {
        result = read_from_handle(h5, order_book_ids, start_date, end_date, check, as_numpy);
    } catch (...) {
        try {
            h5.attr("close")();
        } catch (nb::python_error &) {
            // The read's own error is the one to report.
        }
        throw;
    }
    h5.attr("close")();
    return result;
}

}  // namespace quorbel
