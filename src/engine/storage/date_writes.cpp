#include "date_writes.hpp"

#include <algorithm>
#include <atomic>
#include <exception>

namespace quorbel::dates {

namespace {
std::atomic<bool> g_dates_by_band{true};
}

void set_dates_by_band(bool on) noexcept { g_dates_by_band = on; }
bool dates_by_band() noexcept { return g_dates_by_band; }

int64_t stored_cursor(const h5::Dataset &data) { return data.read_int64_attribute(kCursor).value_or(-1); }

void advance_cursor(h5::Dataset &data, int64_t column) {
    if (column > stored_cursor(data)) data.write_attribute(kCursor, h5::AttrValue::int64_scalar(column));
}

BandWriter::BandWriter(h5::File &file, h5::Dataset data)
    : file_(file), data_(std::move(data)), store_(std::make_unique<chunks::ColumnStore>(data_)) {}

BandWriter::~BandWriter() = default;

// After an undone write: the datasets opened before it are stale.
void BandWriter::open_again() {
    store_.reset();
    data_ = file_.open_dataset_for_columns("data");
    store_ = std::make_unique<chunks::ColumnStore>(data_);
}

void BandWriter::read_column(uint64_t column, std::vector<double> &out) {
    if (!staged_.empty() &&
        (!store_->stages() || store_->chunk_column_of(column) != store_->chunk_column_of(staged_.front().first))) {
        commit();
    }
    // From the read to the write no other thread's change may come in, or
    // the column written back would undo it.
    if (!alone_) alone_.emplace(file_);
    store_->read_column(column, out);
}

void BandWriter::stage(uint64_t column, std::vector<double> values) {
    if (store_->stages()) store_->stage_column(column, values);
    staged_.emplace_back(column, std::move(values));
    if (!dates_by_band()) commit();
}

void BandWriter::commit() {
    if (staged_.empty()) {
        alone_.reset();
        return;
    }
    try {
        if (!store_->stages()) {
            write_one_by_one();
        } else {
            int64_t last = -1;
            for (const auto &date : staged_) last = std::max<int64_t>(last, static_cast<int64_t>(date.first));
            const uint64_t frontier = static_cast<uint64_t>(std::max(stored_cursor(data_), last));
            try {
                h5::WriteTransaction transaction(file_);
                store_->write_staged(frontier);
                advance_cursor(data_, last);
                transaction.commit();
            } catch (const std::exception &) {
                // Undone on disk, and the file opened again: keep every date
                // before the one that fails, as date by date would.
                open_again();
                write_one_by_one();
            }
        }
    } catch (...) {
        staged_.clear();
        alone_.reset();
        throw;
    }
    staged_.clear();
    alone_.reset();
}

void BandWriter::write_one_by_one() {
    for (const auto &[column, values] : staged_) {
        const uint64_t frontier = static_cast<uint64_t>(std::max(stored_cursor(data_), static_cast<int64_t>(column)));
        h5::WriteTransaction transaction(file_);
        store_->write_column(column, values, frontier);
        advance_cursor(data_, static_cast<int64_t>(column));
        transaction.commit();
    }
}

}  // namespace quorbel::dates
