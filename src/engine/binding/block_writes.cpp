// The block write behind FactorLibrary.write_frame and write_cube: many dates
// of one factor handed over as arrays, never as one Python object per cell.
//
// A block is its dates, its instruments (order_book_ids) and its values,
// either dense (a dates x instruments matrix: every cell of a date is one of
// its items, NaN included) or sparse (per date a run of (instrument
// position, value) pairs, from a long frame). The file ends up cell for cell
// as writing each date with put_factor_value would leave it, same logs
// included: a date off the calendar is logged and skipped, an instrument the
// index does not list is skipped (and logged item by item below
// BOOK_COUNT_THRESHOLD items), a date whose values are all NaN only moves the
// cursor. The dates go through the band writer, so each chunk is inflated and
// deflated once per band rather than once per date, and a crash leaves a
// prefix of whole dates.
//
// The matrix grows once, by as many steps as the last date needs. A date
// that fails (a row outside the matrix) ends the write: every date before it
// is written, as date by date.
#include <nanobind/ndarray.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "detail.hpp"
#include "function_docs.hpp"
#include "storage/date_writes.hpp"
#include "write_steps.hpp"

namespace quorbel {
namespace {

using DenseValues = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using SparseValues = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Positions = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The items of every date of a block, dense or sparse, as plain C++ data.
class Block {
public:
    Block(size_t dates, size_t instruments, nb::handle values, nb::handle positions, nb::handle offsets)
        : dates_(dates), instruments_(instruments) {
        if (positions.is_none() != offsets.is_none()) {
            throw nb::type_error("a sparse block needs both positions and offsets, a dense one neither");
        }
        if (positions.is_none()) {
            if (!nb::try_cast(values, dense_, false)) {
                throw nb::type_error(("a dense block's values must be a 2-d float64 array, not " +
                                      python_type_name(values)).c_str());
            }
            if (dense_.shape(0) != dates_ || dense_.shape(1) != instruments_) {
                throw nb::value_error(("the values of the block have shape (" + std::to_string(dense_.shape(0)) +
                                       ", " + std::to_string(dense_.shape(1)) + "), not (dates, instruments) = (" +
                                       std::to_string(dates_) + ", " + std::to_string(instruments_) + ")")
                                          .c_str());
            }
            return;
        }
        sparse_ = true;
        if (!nb::try_cast(values, values_, false) || !nb::try_cast(positions, positions_, false) ||
            !nb::try_cast(offsets, offsets_, false)) {
            throw nb::type_error("a sparse block takes contiguous 1-d arrays: float64 values, int64 positions and "
                                 "int64 offsets");
        }
        if (positions_.shape(0) != values_.shape(0) || offsets_.shape(0) != dates_ + 1) {
            throw nb::value_error(("a sparse block needs as many positions as values (" +
                                   std::to_string(positions_.shape(0)) + " and " + std::to_string(values_.shape(0)) +
                                   ") and one offset more than dates (" + std::to_string(offsets_.shape(0)) +
                                   " for " + std::to_string(dates_) + ")")
                                      .c_str());
        }
        const int64_t *offset = offsets_.data();
        if (offset[0] != 0 || offset[dates_] != static_cast<int64_t>(values_.shape(0))) {
            throw nb::value_error("the offsets of a sparse block must run from 0 to the number of values");
        }
        for (size_t d = 0; d < dates_; ++d) {
            if (offset[d + 1] < offset[d]) throw nb::value_error("the offsets of a sparse block must not fall");
        }
        for (size_t k = 0; k < positions_.shape(0); ++k) {
            if (positions_.data()[k] < 0 || static_cast<uint64_t>(positions_.data()[k]) >= instruments_) {
                throw nb::value_error(("position " + std::to_string(positions_.data()[k]) +
                                       " of a sparse block is outside its " + std::to_string(instruments_) +
                                       " instruments")
                                          .c_str());
            }
        }
    }

    size_t count(size_t date) const {
        if (!sparse_) return instruments_;
        return static_cast<size_t>(offsets_.data()[date + 1] - offsets_.data()[date]);
    }
    size_t position(size_t date, size_t k) const {
        return sparse_ ? static_cast<size_t>(positions_.data()[offsets_.data()[date] + k]) : k;
    }
    double value(size_t date, size_t k) const {
        if (sparse_) return values_.data()[offsets_.data()[date] + k];
        return dense_.data()[static_cast<int64_t>(date) * dense_.stride(0) + static_cast<int64_t>(k) * dense_.stride(1)];
    }
    bool all_nan(size_t date) const {
        for (size_t k = 0, n = count(date); k < n; ++k) {
            if (!std::isnan(value(date, k))) return false;
        }
        return true;
    }

private:
    size_t dates_, instruments_;
    bool sparse_ = false;
    DenseValues dense_;
    SparseValues values_;
    Positions positions_, offsets_;
};

// Stores one date's items into its column. Rows are checked item by item, as
// the single-date write checks them: the first outside the matrix raises,
// and the date is then not staged at all.
void store_date(std::vector<double> &column, const Block &block, size_t date,
                const std::vector<std::optional<int64_t>> &rows, const nb::list &order_book_ids) {
    const size_t count = block.count(date);
    const bool log_unlisted = static_cast<int64_t>(count) < int_setting("BOOK_COUNT_THRESHOLD");
    for (size_t k = 0; k < count; ++k) {
        const size_t position = block.position(date, k);
        const std::optional<int64_t> &row = rows[position];
        if (!row) {
            if (log_unlisted) log_info("put factor with not listed order_book_id: %s", order_book_ids[position]);
            continue;
        }
        // The instrument is looked up in the Python list only to name it in
        // the error: this loop runs once per cell.
        if (*row < 0 || static_cast<uint64_t>(*row) >= column.size()) {
            require_row(*row, column.size(), order_book_ids[position]);
        }
        column[static_cast<size_t>(*row)] = block.value(date, k);
    }
}

void put_factor_block(nb::handle h5_handle, nb::list dates, nb::list order_book_ids, nb::handle values,
                      nb::handle positions, nb::handle offsets, nb::handle progress) {
    const Block block(dates.size(), order_book_ids.size(), values, positions, offsets);
    h5::File &file = file_of(h5_handle);
    h5::Dataset data = matrix_for_writes(file);

    std::vector<std::optional<int64_t>> columns;
    std::optional<int64_t> last_column;
    nb::object date_index = module_attr("_get_date_index");
    for (nb::handle date : dates) {
        nb::object column = date_index(date);
        columns.push_back(column.is_none() ? std::nullopt
                                           : std::optional<int64_t>(int64_of(column, "the column of _get_date_index")));
        if (columns.back() && (!last_column || *columns.back() > *last_column)) last_column = columns.back();
    }
    nb::object index = module_attr("_get_all_instrument_index")();
    std::vector<std::optional<int64_t>> rows;
    rows.reserve(order_book_ids.size());
    for (nb::handle order_book_id : order_book_ids) rows.push_back(listed_row(index, order_book_id));
    if (last_column) grow_for(file, data, *last_column, nb::len(index), Growth::as_needed);

    std::optional<dates::BandWriter> writer;
    {
        nb::gil_scoped_release release;
        writer.emplace(file, std::move(data));
    }
    try {
        for (size_t d = 0; d < dates.size(); ++d) {
            if (!progress.is_none()) progress(d);
            if (!columns[d]) {
                log_info("put factor %s with wrong date %s", file.name(), dates[d]);
                continue;
            }
            const uint64_t column_index = static_cast<uint64_t>(*columns[d]);
            std::vector<double> column;
            {
                nb::gil_scoped_release release;
                writer->read_column(column_index, column);
            }
            // A date of NaN only moves the cursor: its column is written back
            // as it is, with the rest of its band.
            if (!block.all_nan(d)) store_date(column, block, d, rows, order_book_ids);
            nb::gil_scoped_release release;
            writer->stage(column_index, std::move(column));
        }
    } catch (...) {
        nb::gil_scoped_release release;
        writer->commit();
        throw;
    }
    {
        nb::gil_scoped_release release;
        writer->commit();
    }
    if (!progress.is_none()) progress(dates.size());
}

}  // namespace

void define_block_writes(nb::module_ &m) {
    m.def("_put_factor_block", &put_factor_block, nb::arg("h5").none(), nb::arg("dates"),
          nb::arg("order_book_ids"), nb::arg("values").none(), nb::arg("positions").none() = nb::none(),
          nb::arg("offsets").none() = nb::none(), nb::arg("progress").none() = nb::none(), docs::kPutFactorBlock);
}

}  // namespace quorbel
