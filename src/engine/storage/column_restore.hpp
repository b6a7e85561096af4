// Putting a factor back as it was: whole columns and cursor_col written as
// given, in one transaction and so one history record (what reverting a
// factor to an earlier time writes), and cursor_col set on its own, lower
// or higher. The band writer (date_writes.hpp) moves the cursor only up;
// these are the writes that may take it back. No Python here.
#pragma once

#include <cstdint>
#include <vector>

#include "hdf5_store.hpp"

namespace quorbel::dates {

// Stores `cursor` as cursor_col; -1 removes the attribute, as a file that
// no date was written into has none. The caller checks the range.
void set_cursor(h5::File &file, int64_t cursor);

// Writes each of `columns` (distinct, inside the matrix) whole from
// `values`, column after column with one value per matrix row, NaN
// included, and sets cursor_col to `cursor` as set_cursor does: all in one
// transaction.
void restore_columns(h5::File &file, const std::vector<uint64_t> &columns, const double *values, int64_t cursor);

}  // namespace quorbel::dates
