// The steps every writer takes before it changes a column (write_steps.hpp).
#include "write_steps.hpp"

#include <cstdlib>
#include <string>

namespace quorbel {
namespace {

// ---------------------------------------------------------------------------
// The stored type

// A stored type as its NumPy text says it ("<i4" is a little-endian int32).
std::string dtype_words(const std::string &dtype) {
    if (dtype.size() < 2) return "'" + dtype + "'";
    const std::string order = dtype[0] == '<' ? "little-endian " : dtype[0] == '>' ? "big-endian " : "";
    const std::string bits = std::to_string(8 * std::atoi(dtype.c_str() + 2));
    switch (dtype[1]) {
        case 'f': return order + "float" + bits + " ('" + dtype + "')";
        case 'i': return order + "int" + bits + " ('" + dtype + "')";
        case 'u': return order + "uint" + bits + " ('" + dtype + "')";
        case 'O': return "text ('" + dtype + "')";
        default: return "a type that is no number ('" + dtype + "')";
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Growth and cursor steps

// At most one resize per call, both axes at once. A single-date write grows
// each axis by one fixed step; a block of dates grows the columns by as many
// steps as its last date needs, as writing its dates one by one would. The
// resize is a write of its own: it stays when a later step fails.
void grow_for(h5::File &file, h5::Dataset &data, int64_t target_column, size_t listed_count, Growth growth) {
    // Another writer on the handle must not grow the matrix between the
    // look at its shape and this resize.
    h5::ChangeScope alone(file);
    const h5::Shape2 current = data.shape();
    h5::Shape2 grown = current;
    if (target_column >= 0 && static_cast<uint64_t>(target_column) >= current.cols) {
        do {
            grown.cols = grown_length(grown.cols, "EXPAND_TRADING_DATE_LENGTH");
        } while (growth == Growth::as_needed && static_cast<uint64_t>(target_column) >= grown.cols &&
                 grown_length(grown.cols, "EXPAND_TRADING_DATE_LENGTH") > grown.cols);
    }
    if (listed_count > current.rows) {
        grown.rows = grown_length(current.rows, "EXPAND_INSTRUMENT_LENGTH");
    }
    if (grown.cols > current.cols || grown.rows > current.rows) {
        // This one message is filled in before it is logged.
        const std::string message =
            "Expanding the factor matrix from " + shape_text(current) + " to " + shape_text(grown);
        log_info(message.c_str());
        nb::gil_scoped_release release;
        h5::WriteTransaction transaction(file);
        data.resize(grown);
        transaction.commit();
    }
}

// The writers hand HDF5 float64 cells. Into a matrix of another type HDF5
// would convert them without a word: 1.75 stored as 1, NaN as the smallest
// int32. Such a file (made by another tool) is refused before it changes.
void require_float64_matrix(const h5::File &file, const h5::Dataset &data) {
    std::string dtype;
    {
        nb::gil_scoped_release release;
        dtype = data.layout().dtype;
    }
    if (dtype == h5::kFactorDtype) return;
    throw nb::type_error(("cannot write factor values into " + file.name() + ": its matrix 'data' is stored as " +
                          dtype_words(dtype) + ", and factor values are stored only as little-endian float64 ('" +
                          h5::kFactorDtype + "')")
                             .c_str());
}

h5::Dataset matrix_for_writes(h5::File &file) {
    h5::Dataset data;
    {
        nb::gil_scoped_release release;
        data = file.open_dataset_for_columns("data");
    }
    require_float64_matrix(file, data);
    return data;
}

std::optional<int64_t> column_for_write(const h5::File &file, nb::handle date) {
    nb::object column = module_attr("_get_date_index")(date);
    if (column.is_none()) {
        log_info("put factor %s with wrong date %s", file.name(), date);
        return std::nullopt;
    }
    return int64_of(column, "the column of _get_date_index");
}

// A value item's row, or nullopt when the instrument index does not list it.
std::optional<int64_t> listed_row(nb::handle index, nb::handle order_book_id) {
    nb::object row;
    if (PyDict_CheckExact(index.ptr())) {
        // One lookup answers both questions for a plain dict; a mapping of
        // another type is asked `in`, then for the row, as the index's
        // contract says.
        PyObject *found = PyDict_GetItemWithError(index.ptr(), order_book_id.ptr());
        if (!found) {
            if (PyErr_Occurred()) throw nb::python_error();
            return std::nullopt;
        }
        row = nb::borrow(found);
    } else {
        int listed = PySequence_Contains(index.ptr(), order_book_id.ptr());
        if (listed < 0) throw nb::python_error();
        if (!listed) return std::nullopt;
        row = index[order_book_id];
    }
    const std::optional<Integer> number = integer_of(row);
    if (!number) {
        throw nb::type_error(("the row number of " + nb::cast<std::string>(nb::repr(order_book_id)) +
                              " must be an integer, not " + python_type_name(row))
                                 .c_str());
    }
    // Clamped beyond 64 bits: require_row then refuses it like any row outside the matrix.
    return number->value;
}

// Rows are addressed directly: a negative row is outside the matrix like a
// row past its end, never a position counted from the end.
void require_row(int64_t row, size_t rows, nb::handle order_book_id) {
    if (row < 0 || static_cast<uint64_t>(row) >= rows) {
        throw nb::index_error(("row " + std::to_string(row) + " of " +
                               nb::cast<std::string>(nb::repr(order_book_id)) +
                               " is outside the factor matrix of " + std::to_string(rows) + " rows")
                                  .c_str());
    }
}

}  // namespace quorbel
