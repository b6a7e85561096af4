// _clear_factor_date: one date of a factor cleared on purpose, every
// instrument's cell set to NaN (the library's FactorLibrary.clear).
//
// The writers cannot do it: a date whose values are all NaN only moves the
// cursor, so that a day without data never wipes what is stored. A clear is
// therefore its own write of the date's whole column, through the band
// writer like every date, so it is journalled and crash-safe as they are
// and moves the cursor as a write of that date would.
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "detail.hpp"
#include "function_docs.hpp"
#include "storage/date_writes.hpp"
#include "write_steps.hpp"

namespace quorbel {
namespace {

void clear_factor_date(nb::handle h5_handle, nb::handle date) {
    h5::File &file = file_of(h5_handle);
    h5::Dataset data = matrix_for_writes(file);
    const std::optional<int64_t> column = column_for_write(file, date);
    if (!column) return;
    const int64_t column_index = *column;
    // Rows need no room: a NaN column has no instrument to place. The
    // date's column must exist for the cursor to point at it.
    grow_for(file, data, column_index, 0, Growth::as_needed);

    nb::gil_scoped_release release;
    dates::BandWriter writer(file, std::move(data));
    std::vector<double> cleared;
    writer.read_column(static_cast<uint64_t>(column_index), cleared);
    cleared.assign(cleared.size(), std::numeric_limits<double>::quiet_NaN());
    writer.stage(static_cast<uint64_t>(column_index), std::move(cleared));
    writer.commit();
}

}  // namespace

void define_date_clearing(nb::module_ &m) {
    m.def("_clear_factor_date", &clear_factor_date, nb::arg("h5").none(), nb::arg("date").none(),
          docs::kClearFactorDate);
}

}  // namespace quorbel
