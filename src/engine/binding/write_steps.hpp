// The steps every writer takes before it changes a column: growth of the
// matrix, the check of its stored type, and the row of each instrument.
// Shared by the date writers (writers.cpp) and the block writer
// (block_writes.cpp), so that both apply one rule.
#pragma once

#include <cstdint>
#include <optional>

#include "detail.hpp"

namespace quorbel {

enum class Growth { one_step, as_needed };

// Grows the matrix, in one resize, to hold `target_column` (one step, or as
// many as it takes) and `listed_count` rows (one step); logs the growth.
void grow_for(h5::File &file, h5::Dataset &data, int64_t target_column, size_t listed_count,
              Growth growth = Growth::one_step);

// TypeError naming the file when its matrix is not stored as float64.
void require_float64_matrix(const h5::File &file, const h5::Dataset &data);

// The file's matrix opened for column writes, refused unless float64.
h5::Dataset matrix_for_writes(h5::File &file);

// The column of a single date's write, or nullopt (the writers' INFO line
// logged) for a date off the calendar.
std::optional<int64_t> column_for_write(const h5::File &file, nb::handle date);

// A value item's row, or nullopt when the instrument index does not list it.
std::optional<int64_t> listed_row(nb::handle index, nb::handle order_book_id);

// IndexError naming the instrument when `row` is outside a matrix of `rows` rows.
void require_row(int64_t row, size_t rows, nb::handle order_book_id);

}  // namespace quorbel
