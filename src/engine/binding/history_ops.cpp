// The history calls of a factor file open for writing: starting its
// history, the commit clock that tests set, setting cursor_col, putting
// columns back as they were, and pruning old values. Thin: the work is the
// storage side's (history_files, column_restore), run without the GIL.
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "detail.hpp"
#include "history_docs.hpp"
#include "storage/column_restore.hpp"
#include "storage/history_commits.hpp"
#include "storage/history_files.hpp"

namespace quorbel {
namespace {

using Columns = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

h5::Shape2 matrix_shape(h5::File &file) {
    nb::gil_scoped_release release;
    return file.open_dataset("data").shape();
}

// cursor_col as the caller gives it: -1 (no date written) up to the last column.
int64_t cursor_argument(nb::handle value, const h5::File &file, h5::Shape2 shape) {
    const int64_t cursor = int64_of(value, "cursor_col");
    if (cursor < -1) {
        throw nb::value_error(("cannot set cursor_col of " + file.name() + " to " + std::to_string(cursor) +
                               ": it is a column, or -1 for no date written")
                                  .c_str());
    }
    if (cursor >= 0 && static_cast<uint64_t>(cursor) >= shape.cols) {
        throw nb::index_error(("cannot set cursor_col of " + file.name() + " to " + std::to_string(cursor) +
                               ": the matrix has " + std::to_string(shape.cols) + " columns")
                                  .c_str());
    }
    return cursor;
}

bool enable_history(nb::handle h5_handle) {
    h5::File &file = file_of(h5_handle);
    nb::gil_scoped_release release;
    return history::enable(file);
}

void history_clock(nb::handle ns) {
    if (ns.is_none()) {
        history::set_clock(std::nullopt);
        return;
    }
    history::set_clock(int64_of(ns, "the history clock"));
}

void set_cursor(nb::handle h5_handle, nb::handle column) {
    h5::File &file = file_of(h5_handle);
    const int64_t cursor = cursor_argument(column, file, matrix_shape(file));
    nb::gil_scoped_release release;
    dates::set_cursor(file, cursor);
}

void restore_columns(nb::handle h5_handle, nb::handle columns_given, nb::handle values_given, nb::handle cursor_given) {
    h5::File &file = file_of(h5_handle);
    const h5::Shape2 shape = matrix_shape(file);
    std::vector<uint64_t> columns;
    for (nb::handle item : columns_given) {
        const int64_t column = int64_of(item, "a column to restore");
        if (column < 0 || static_cast<uint64_t>(column) >= shape.cols) {
            throw nb::index_error(("cannot restore column " + std::to_string(column) + " of " + file.name() +
                                   ": the matrix has " + std::to_string(shape.cols) + " columns")
                                      .c_str());
        }
        columns.push_back(static_cast<uint64_t>(column));
    }
    std::vector<uint64_t> sorted = columns;
    std::sort(sorted.begin(), sorted.end());
    const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end()) {
        throw nb::value_error(("cannot restore column " + std::to_string(*twice) + " of " + file.name() +
                               " twice in one call")
                                  .c_str());
    }
    Columns values;
    if (!nb::try_cast(values_given, values, false)) {
        throw nb::type_error(("the values to restore into " + file.name() + " must be a 2-d float64 array, not " +
                              python_type_name(values_given))
                                 .c_str());
    }
    if (values.shape(0) != shape.rows || values.shape(1) != columns.size()) {
        throw nb::value_error(("the values to restore into " + file.name() + " have shape (" +
                               std::to_string(values.shape(0)) + ", " + std::to_string(values.shape(1)) +
                               "), not (rows of the matrix, columns) = (" + std::to_string(shape.rows) + ", " +
                               std::to_string(columns.size()) + ")")
                                  .c_str());
    }
    const int64_t cursor = cursor_argument(cursor_given, file, shape);
    nb::gil_scoped_release release;
    // Column after column, whatever the array's strides.
    std::vector<double> by_column(columns.size() * shape.rows);
    for (size_t c = 0; c < columns.size(); ++c) {
        for (uint64_t r = 0; r < shape.rows; ++r) {
            by_column[c * shape.rows + r] =
                values.data()[static_cast<int64_t>(r) * values.stride(0) + static_cast<int64_t>(c) * values.stride(1)];
        }
    }
    dates::restore_columns(file, columns, by_column.data(), cursor);
}

uint64_t prune_history(nb::handle h5_handle, nb::handle before_ns, nb::handle keep_ns) {
    h5::File &file = file_of(h5_handle);
    // Every kept time before the cutoff holds it back: reads as of a kept
    // time undo only records after it, and those keep their values.
    int64_t cutoff = int64_of(before_ns, "the time to prune before");
    for (nb::handle kept : keep_ns) cutoff = std::min(cutoff, int64_of(kept, "a kept time"));
    if (!history::kept_for(file.name())) {
        throw nb::value_error((file.name() + " keeps no history to prune; enable it first (lib.enable_history() "
                                             "or quorbel history enable)")
                                  .c_str());
    }
    nb::gil_scoped_release release;
    return history::prune(file, cutoff);
}

}  // namespace

void define_history_ops(nb::module_ &m) {
    m.def("_enable_history", &enable_history, nb::arg("h5").none(), docs::kEnableHistory);
    m.def("_history_clock", &history_clock, nb::arg("ns").none(), docs::kHistoryClock);
    m.def("_history_now", &history::clock_now,
          "Now on the clock that dates history records (UTC ns): the time _history_clock set, else the real\n"
          "clock. Snapshots are dated on it, so that they line up with the commits around them.");
    m.def("_set_cursor", &set_cursor, nb::arg("h5").none(), nb::arg("column").none(), docs::kSetCursor);
    m.def("_restore_columns", &restore_columns, nb::arg("h5").none(), nb::arg("columns"), nb::arg("values").none(),
          nb::arg("cursor").none(), docs::kRestoreColumns);
    m.def("_prune_history", &prune_history, nb::arg("h5").none(), nb::arg("before_ns").none(),
          nb::arg("keep_ns") = nb::tuple(), docs::kPruneHistory);
}

}  // namespace quorbel
