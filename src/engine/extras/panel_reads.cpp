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

const char *const kReadPanelDoc =
    "The values of the listed instruments over a date range, as a pandas.DataFrame.\n\n"
    "h5_or_path is a factor file handle (as get_h5 returns it) or the path of a factor\n"
    "file, which is opened read-only through get_h5 and closed again. The rows are\n"
    "the trading dates from start_date to end_date (date codes, both inclusive) as a\n"
    "DatetimeIndex, cut at cursor_col when check is true and clipped to the matrix;\n"
    "the columns are the requested instruments that the instrument index lists, in\n"
    "request order; an instrument whose row lies beyond the matrix is all NaN.\n"
    "as_numpy=True returns (date codes as an int64 array, list of ids, float64 matrix\n"
    "dates x ids) instead.";

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

using IntArray = nb::ndarray<nb::numpy, int64_t>;

IntArray new_int_array(size_t n, int64_t **data) {
    auto *buffer = new int64_t[n > 0 ? n : 1];
    nb::capsule owner(buffer, [](void *p) noexcept { delete[] static_cast<int64_t *>(p); });
    *data = buffer;
    size_t shape[1] = {n};
    return IntArray(buffer, 1, shape, owner);
}

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
