// Range reads: instrument rows over a date range, as a lazy stream.
//
// get_factor_value binds its arguments into a FactorValueStream. The first
// next() opens `data`, maps the dates to a column section and fetches the
// instrument index; each next() after that takes identifiers from the
// caller's iterable until one yields a row. The stream behaves as a generator
// would: abandoned, it takes nothing more; ended, it drops what it held.
#include <Python.h>

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "storage/chunk_io.hpp"
#include "detail.hpp"
#include "function_docs.hpp"
#include "handle_docs.hpp"

using namespace nb::literals;

namespace quorbel {
namespace {

int64_t column_number(nb::handle value) {
    const std::optional<Integer> number = integer_of(value);
    if (!number) {
        throw nb::type_error(("_get_date_section_index must return a pair of integer columns, got a " +
                              python_type_name(value))
                                 .c_str());
    }
    if (number->overflow < 0) return 0;
    return number->value;
}

}  // namespace

// The section of (s, e) as the date-range lookup gives it. A start after the
// end, or a start beyond cursor_col when the caller asked for that limit,
// leaves an empty section: every listed instrument then yields an empty row
// rather than values of dates outside the request.
ColumnSection column_section(nb::handle lookup_result, std::optional<int64_t> cursor_col) {
    if (!PyTuple_Check(lookup_result.ptr()) && !PyList_Check(lookup_result.ptr())) {
        throw nb::type_error(("_get_date_section_index must return a pair (s, e), not " +
                              python_type_name(lookup_result))
                                 .c_str());
    }
    nb::sequence pair = nb::borrow<nb::sequence>(lookup_result);
    if (nb::len(pair) != 2) throw nb::type_error("_get_date_section_index must return a pair (s, e)");
    const int64_t s = std::max<int64_t>(column_number(pair[0]), 0);
    int64_t e = column_number(pair[1]);
    if (cursor_col) {
        // A cursor at the top of int64 (a uint64 beyond it reads as that top)
        // bounds nothing: its next column saturates instead of wrapping.
        const int64_t past_cursor =
            *cursor_col < std::numeric_limits<int64_t>::max() ? *cursor_col + 1 : *cursor_col;
        e = s <= *cursor_col ? std::min(e, past_cursor) : s;
    }
    return {static_cast<uint64_t>(s), static_cast<uint64_t>(std::max(e, s))};
}

// The instrument index's entry for an identifier; null when it is no key.
nb::object index_entry(nb::handle stock_index, nb::handle order_book_id) {
    if (PyDict_CheckExact(stock_index.ptr())) {
        PyObject *entry = PyDict_GetItemWithError(stock_index.ptr(), order_book_id.ptr());
        if (!entry && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(entry);
    }
    int known = PySequence_Contains(stock_index.ptr(), order_book_id.ptr());
    if (known < 0) throw nb::python_error();
    if (!known) return {};
    nb::object entry = nb::steal(PyObject_GetItem(stock_index.ptr(), order_book_id.ptr()));
    if (!entry) throw nb::python_error();
    return entry;
}

// An instrument's row as a matrix position; nullopt for a row that no matrix
// can have (negative, or past 64 bits), which the stream treats as a row
// beyond the matrix.
std::optional<uint64_t> row_number(nb::handle entry, nb::handle order_book_id) {
    const std::optional<Integer> number = integer_of(entry);
    if (!number) {
        throw nb::type_error(("the row of order_book_id " + nb::cast<std::string>(nb::repr(order_book_id)) +
                              " must be an integer, not " + python_type_name(entry))
                                 .c_str());
    }
    if (number->overflow != 0 || number->value < 0) return std::nullopt;
    return static_cast<uint64_t>(number->value);
}

namespace {

nb::object stop_iteration_with(nb::handle value) {
    // An instance, so that a tuple or None would arrive as the value itself.
    nb::object stop = nb::steal(PyObject_CallOneArg(PyExc_StopIteration, value.ptr()));
    if (!stop) throw nb::python_error();
    PyErr_SetObject(PyExc_StopIteration, stop.ptr());
    return {};
}

nb::object plain_stop_iteration() {
    PyErr_SetNone(PyExc_StopIteration);
    return {};
}

class FactorValueStream {
public:
    FactorValueStream(nb::object h5, nb::object order_book_ids, nb::object start_date, nb::object end_date,
                      nb::object check)
        : h5_(std::move(h5)),
          order_book_ids_(std::move(order_book_ids)),
          start_date_(std::move(start_date)),
          end_date_(std::move(end_date)),
          check_(std::move(check)) {}

    // The next pair, or null with StopIteration set once the stream is over.
    nb::object next() {
        if (running_) throw nb::value_error("get_factor_value stream already executing");
        if (state_ == State::Ended) return plain_stop_iteration();
        Running running(running_);
        try {
            if (state_ == State::Created) {
                if (!start()) {
                    finish();
                    return stop_iteration_with(nb::list());
                }
                state_ = State::Started;
            }
            nb::object item = next_item();
            if (!item) finish();
            return item ? item : plain_stop_iteration();
        } catch (...) {
            finish();
            throw;
        }
    }

    void close() {
        if (running_) throw nb::value_error("get_factor_value stream already executing");
        finish();
    }

    int traverse(visitproc visit, void *arg) {
        for (const nb::object *o : held()) Py_VISIT(o->ptr());
        return 0;
    }

    void finish() {
        state_ = State::Ended;
        if (rows_) {
            nb::gil_scoped_release release;
            rows_.reset();  // closes the dataset it reads
        }
        // Emptied before the decref: releasing an object may run code that
        // comes back to this stream.
        for (nb::object *o : held()) nb::object released = std::move(*o);
    }

private:
    enum class State { Created, Started, Ended };

    struct Running {
        explicit Running(bool &flag) : flag_(flag) { flag_ = true; }
        ~Running() { flag_ = false; }
        bool &flag_;
    };

    // Every Python object the stream keeps, for the collector and for finish().
    std::array<nb::object *, 7> held() {
        return {&h5_, &order_book_ids_, &start_date_, &end_date_, &check_, &identifiers_, &stock_index_};
    }

    // The work of the first request; false when h5 is false and the stream
    // ends at once without looking anything up.
    bool start() {
        int open = PyObject_IsTrue(h5_.ptr());
        if (open < 0) throw nb::python_error();
        if (!open) return false;
        h5::File file = file_of(h5_);
        h5::Dataset probe;
        {
            nb::gil_scoped_release release;
            probe = file.open_dataset("data");
        }
        nb::object lookup = module_attr("_get_date_section_index")(start_date_, end_date_);
        std::optional<int64_t> cursor_col;
        int check = PyObject_IsTrue(check_.ptr());
        if (check < 0) throw nb::python_error();
        if (check) {
            nb::gil_scoped_release release;
            cursor_col = probe.read_int64_attribute("cursor_col");
        }
        section_ = column_section(lookup, cursor_col);
        {
            nb::gil_scoped_release release;
            probe = h5::Dataset();  // the reader opens `data` with its own chunk cache
            rows_.emplace(file, "data", section_.first, section_.end);
        }
        stock_index_ = module_attr("_get_all_instrument_index")();
        identifiers_ = nb::steal(PyObject_GetIter(order_book_ids_.ptr()));
        if (!identifiers_) throw nb::python_error();
        return true;
    }

    nb::object next_item() {
        for (;;) {
            nb::object order_book_id = nb::steal(PyIter_Next(identifiers_.ptr()));
            if (!order_book_id) {
                if (PyErr_Occurred()) throw nb::python_error();
                return {};
            }
            nb::object entry = index_entry(stock_index_, order_book_id);
            if (!entry) continue;
            std::optional<uint64_t> row = row_number(entry, order_book_id);
            nb::object values = row ? read_row(*row) : nb::object();
            if (values) return nb::make_tuple(order_book_id, values);
            log_info("get factor with order_book_id not in h5, %s/%s", order_book_id, entry);
        }
    }

    // The row over the section, clipped to the matrix's columns when the
    // stream started; null for a row beyond the matrix as it is now.
    nb::object read_row(uint64_t row) {
        if (row >= rows_->rows_known()) {
            // Past the rows the stream started with: the matrix may have grown.
            h5::Shape2 shape;
            {
                nb::gil_scoped_release release;
                shape = rows_->data().shape();
            }
            if (row >= shape.rows) return {};
        }
        double *cells = nullptr;
        FloatArray values = new_float_array({static_cast<size_t>(rows_->width())}, &cells);
        {
            nb::gil_scoped_release release;
            rows_->read_row(row, cells);
        }
        return nb::cast(values);
    }

    nb::object h5_, order_book_ids_, start_date_, end_date_, check_;
    nb::object identifiers_, stock_index_;
    std::optional<chunks::RowReader> rows_;
    ColumnSection section_;
    State state_ = State::Created;
    bool running_ = false;
};

}  // namespace

void define_range_reads(nb::module_ &m) {
    nb::class_<FactorValueStream>(m, "FactorValueStream", nb::type_slots(gc_slots<FactorValueStream>),
                                  docs::kFactorValueStream)
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &FactorValueStream::next)
        .def("close", &FactorValueStream::close, docs::kFactorValueStreamClose);

    m.def(
        "get_factor_value",
        [](nb::object h5, nb::object order_book_ids, nb::object start_date, nb::object end_date, nb::object check) {
            return FactorValueStream(std::move(h5), std::move(order_book_ids), std::move(start_date),
                                     std::move(end_date), std::move(check));
        },
        "h5"_a.none(), "order_book_ids"_a.none(), "start_date"_a.none(), "end_date"_a.none(),
        "check"_a.none() = false, docs::kGetFactorValue);
}

}  // namespace quorbel
