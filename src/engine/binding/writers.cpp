// Writers: the single-date write, the batch write and the pack stream that
// feeds it (the growth and row steps they share are write_steps.hpp).
//
// Every date is one read-modify-write of a whole column: the column is read
// once, changed in memory item by item (or in one bulk pass) and handed to
// the band writer (storage/date_writes.hpp), which writes the dates of a
// batch that share a chunk column together. Python objects are only touched
// with the GIL held; HDF5 work runs with it released.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "storage/date_writes.hpp"
#include "detail.hpp"
#include "write_steps.hpp"
#include "function_docs.hpp"
#include "handle_docs.hpp"

namespace quorbel {
namespace {

using dates::advance_cursor;
using dates::stored_cursor;

// ---------------------------------------------------------------------------
// Values

// The two attributes of a value item, looked up by interned names: a lookup
// by C string makes and hashes a new str each time, and a backfill reads
// these attributes millions of times.
PyObject *interned_name(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name) throw nb::python_error();
    return name;  // kept for the life of the process
}

nb::object item_attribute(nb::handle item, const char *text, PyObject *&name) {
    if (!name) name = interned_name(text);
    PyObject *attribute = PyObject_GetAttr(item.ptr(), name);
    if (!attribute) throw nb::python_error();
    return nb::steal(attribute);
}

nb::object order_book_id_of(nb::handle item) {
    static PyObject *name = nullptr;
    return item_attribute(item, "order_book_id", name);
}

nb::object value_of(nb::handle item) {
    static PyObject *name = nullptr;
    return item_attribute(item, "value", name);
}

// An item's value as float64 (the one rule, float64_of); false, with no
// error left set, for a value that cannot be stored: its reading or its
// conversion raised ValueError or TypeError. Anything else propagates.
bool storable_value(nb::handle item, double &out) {
    static PyObject *name = nullptr;
    if (!name) name = interned_name("value");
    nb::object value = nb::steal(PyObject_GetAttr(item.ptr(), name));
    if (value && float64_of(value.ptr(), out)) return true;
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw nb::python_error();
    }
    PyErr_Clear();
    return false;
}

bool python_error_is(nb::python_error &e, PyObject *kind) { return e.matches(nb::handle(kind)); }

std::vector<nb::object> items_of(nb::handle values) {
    std::vector<nb::object> items;
    for (nb::handle item : values) items.push_back(nb::borrow(item));
    return items;
}

// The value of each item, converted up front (single-date write) or as the
// per-item path reaches it (batch write).
using Converted = std::optional<std::vector<double>>;

// ---------------------------------------------------------------------------
// The two ways of storing one date's values into its column copy

void store_per_item(std::vector<double> &column, const std::vector<nb::object> &items, nb::handle index,
                    const Converted &converted) {
    for (size_t i = 0; i < items.size(); ++i) {
        nb::object order_book_id = order_book_id_of(items[i]);
        auto row = listed_row(index, order_book_id);
        if (!row) {
            log_info("put factor with not listed order_book_id: %s", order_book_id);
            continue;
        }
        require_row(*row, column.size(), order_book_id);
        double value;
        if (converted) {
            value = (*converted)[i];
        } else {
            try {
                value = to_float64(value_of(items[i]));
            } catch (nb::python_error &e) {
                if (!python_error_is(e, PyExc_ValueError)) throw;
                log_info("put factor with order_book_id not in h5, %s/%s", order_book_id, *row);
                continue;
            }
        }
        column[static_cast<size_t>(*row)] = value;
    }
}

void store_in_bulk(std::vector<double> &column, const std::vector<nb::object> &items, nb::handle index,
                   const Converted &converted) {
    // The packed (row, value) records, in item order; unlisted items are
    // dropped without a word. A value that cannot be stored is dropped alone
    // and logged as the per-item path logs it: thousands of good values must
    // not be lost for one "n/a".
    struct Record {
        int64_t row;
        double value;
        size_t item;  // which item, to name its instrument in an error
    };
    std::vector<Record> records;
    records.reserve(items.size());
    std::vector<Record> dropped;  // the value is not used
    try {
        for (size_t i = 0; i < items.size(); ++i) {
            nb::object order_book_id = order_book_id_of(items[i]);
            auto row = listed_row(index, order_book_id);
            if (!row) continue;
            double value;
            if (converted) {
                value = (*converted)[i];
            } else if (!storable_value(items[i], value)) {
                dropped.push_back({*row, 0.0, i});
                continue;
            }
            records.push_back({*row, value, i});
        }
    } catch (nb::python_error &e) {
        // A failure that is no one value's (an identifier that cannot be
        // looked up) leaves the whole date unstored, as it always has.
        if (!python_error_is(e, PyExc_ValueError) && !python_error_is(e, PyExc_TypeError)) throw;
        log_info("put factor error: %s", nb::str(e.value()));
        return;  // none of this date's values are stored
    }
    // Rows are checked for every listed item, stored or not, as the per-item
    // path checks them, before anything is logged or stored. The instrument
    // is read again only to name it.
    const size_t rows = column.size();
    auto outside = [rows](const Record &r) { return r.row < 0 || static_cast<uint64_t>(r.row) >= rows; };
    for (const Record &r : records) {
        if (outside(r)) require_row(r.row, rows, order_book_id_of(items[r.item]));
    }
    for (const Record &d : dropped) {
        if (outside(d)) require_row(d.row, rows, order_book_id_of(items[d.item]));
    }
    for (const Record &d : dropped) {
        log_info("put factor with order_book_id not in h5, %s/%s", order_book_id_of(items[d.item]), d.row);
    }
    for (const Record &r : records) column[static_cast<size_t>(r.row)] = r.value;  // the last one wins
}

// Reads the column as the batch has left it, stores the values and stages
// the column; the band writer writes it with the rest of its band. A date
// that fails here is not staged: the dates staged before it are still
// written by the caller's commit.
void write_date(dates::BandWriter &writer, int64_t column_index, nb::handle values, nb::handle index,
                const Converted &converted) {
    std::vector<double> column;
    {
        nb::gil_scoped_release release;
        writer.read_column(static_cast<uint64_t>(column_index), column);
    }
    const Py_ssize_t count = PyObject_Size(values.ptr());
    if (count < 0) throw nb::python_error();
    const std::vector<nb::object> items = items_of(values);
    if (count < int_setting("BOOK_COUNT_THRESHOLD")) {
        store_per_item(column, items, index, converted);
    } else {
        store_in_bulk(column, items, index, converted);
    }
    nb::gil_scoped_release release;
    writer.stage(static_cast<uint64_t>(column_index), std::move(column));
}

// Writes what is staged; when the caller is already failing, the staged
// dates (all before the failure) are still written, and an error of the
// write itself takes the place of the caller's, as it came first.
void commit_staged(dates::BandWriter &writer) {
    nb::gil_scoped_release release;
    writer.commit();
}

// ---------------------------------------------------------------------------
// put_factor_value

void put_factor_value(nb::handle h5_handle, nb::handle date, nb::handle values) {
    h5::File &file = file_of(h5_handle);
    h5::Dataset data = matrix_for_writes(file);
    const std::optional<int64_t> column = column_for_write(file, date);
    if (!column) return;
    const int64_t column_index = *column;
    nb::object index = module_attr("_get_all_instrument_index")();
    grow_for(file, data, column_index, nb::len(index));

    std::vector<double> converted;
    bool all_nan = true;
    for (nb::handle item : values) {
        converted.push_back(to_float64(value_of(item)));
        all_nan = all_nan && std::isnan(converted.back());
    }
    if (all_nan) {
        // Nothing to store; the cursor still records how far writes reached,
        // but never past the matrix. Committed at once like any date: left
        // in HDF5's cache, it would reach the file only at the close, which
        // a full disk could stop half-way through the metadata.
        nb::gil_scoped_release release;
        h5::ChangeScope alone(file);
        data.check_inside({0, 0, static_cast<uint64_t>(column_index), 1});
        if (column_index > stored_cursor(data)) {
            h5::WriteTransaction transaction(file);
            advance_cursor(data, column_index);
            transaction.commit();
        }
        return;
    }
    std::optional<dates::BandWriter> writer;
    {
        nb::gil_scoped_release release;
        writer.emplace(file, std::move(data));
    }
    write_date(*writer, column_index, values, index, Converted(std::move(converted)));
    commit_staged(*writer);
}

// ---------------------------------------------------------------------------
// get_iter and put_factor_packs

// A lazy stream of (date, values) pairs, one per pack, that behaves as a
// generator: once it has raised, run out or been closed it yields nothing
// more and lets go of `packs`; it takes part in garbage collection, since a
// pack may well refer back to the stream.
class PackStream {
public:
    explicit PackStream(nb::object packs) : packs_(std::move(packs)) {}

    nb::object next() {
        if (running_) throw nb::value_error("get_iter stream already executing");
        if (ended_) throw nb::stop_iteration();
        Running running(running_);
        try {
            if (!iterator_) {
                iterator_ = nb::steal(PyObject_GetIter(packs_.ptr()));
                if (!iterator_) throw nb::python_error();
            }
            nb::object pack = nb::steal(PyIter_Next(iterator_.ptr()));
            if (!pack) {
                if (PyErr_Occurred()) throw nb::python_error();
                finish();
                throw nb::stop_iteration();
            }
            nb::object date = pack.attr("date");
            nb::object values = pack.attr("values");
            return nb::make_tuple(date, values);
        } catch (...) {
            finish();
            throw;
        }
    }

    void close() {
        if (running_) throw nb::value_error("get_iter stream already executing");
        finish();
    }

    int traverse(visitproc visit, void *arg) {
        Py_VISIT(packs_.ptr());
        Py_VISIT(iterator_.ptr());
        return 0;
    }

    void finish() {
        ended_ = true;
        // Emptied before the decref: releasing a pack may run code that comes
        // back to this stream.
        nb::object packs = std::move(packs_), iterator = std::move(iterator_);
    }

private:
    struct Running {
        explicit Running(bool &flag) : flag_(flag) { flag_ = true; }
        ~Running() { flag_ = false; }
        bool &flag_;
    };

    nb::object packs_;
    nb::object iterator_;  // taken at the first request
    bool ended_ = false;
    bool running_ = false;
};

void put_factor_packs(nb::handle h5_handle, nb::handle packs) {
    h5::File &file = file_of(h5_handle);
    h5::Dataset data = matrix_for_writes(file);
    std::vector<nb::object> dates, value_sets;
    for (nb::handle pair : module_attr("get_iter")(packs)) {
        dates.push_back(nb::borrow(pair[0]));
        value_sets.push_back(nb::borrow(pair[1]));
    }
    if (dates.empty()) throw nb::value_error("put_factor_packs got an empty batch: there is no pack to write");

    std::vector<std::optional<int64_t>> columns;
    std::optional<int64_t> last_column;
    for (const auto &date : dates) {
        nb::object column = module_attr("_get_date_index")(date);
        columns.push_back(column.is_none() ? std::nullopt : std::optional<int64_t>(int64_of(column, "the column of _get_date_index")));
        if (columns.back() && (!last_column || *columns.back() > *last_column)) last_column = columns.back();
    }
    if (!last_column) {
        std::string listed;
        for (const auto &date : dates) listed += (listed.empty() ? "" : ",") + nb::cast<std::string>(nb::str(date));
        log_info("put multi factor %s with wrong dates %s", file.name(), listed);
        return;
    }
    nb::object index = module_attr("_get_all_instrument_index")();
    grow_for(file, data, *last_column, nb::len(index));
    std::optional<dates::BandWriter> writer;
    {
        nb::gil_scoped_release release;
        writer.emplace(file, std::move(data));
    }
    try {
        for (size_t i = 0; i < dates.size(); ++i) {
            if (!columns[i]) continue;
            write_date(*writer, *columns[i], value_sets[i], index, std::nullopt);
        }
    } catch (...) {
        commit_staged(*writer);
        throw;
    }
    commit_staged(*writer);
}

}  // namespace

void define_writers(nb::module_ &m) {
    nb::class_<PackStream>(m, "PackStream", nb::type_slots(gc_slots<PackStream>), docs::kPackStream)
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &PackStream::next)
        .def("close", &PackStream::close, docs::kPackStreamClose);
    m.def("get_iter", [](nb::object packs) { return PackStream(std::move(packs)); }, nb::arg().none(),
          nb::sig("def get_iter(packs: collections.abc.Iterable, /) -> PackStream"), docs::kGetIter);
    m.def("put_factor_packs", &put_factor_packs, nb::arg("h5").none(), nb::arg("packs").none(),
          docs::kPutFactorPacks);
    m.def("put_factor_value", &put_factor_value, nb::arg("h5").none(), nb::arg("date").none(),
          nb::arg("values").none(), docs::kPutFactorValue);
}

}  // namespace quorbel
