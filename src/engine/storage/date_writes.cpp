#include "date_writes.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <unordered_map>

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
    if (band_start_ < staged_.size()) {
        if (!store_->stages()) {
            commit();
        } else if (store_->chunk_column_of(column) != store_->chunk_column_of(staged_[band_start_].first)) {
            if (staged_bytes_ >= kTransactionBytes) {
                commit();
            } else {
                write_band();
            }
        }
    }
    // From the read to the write no other thread's change may come in, or
    // the column written back would undo it.
    if (!alone_) {
        alone_.emplace(file_);
        keeps_history_ = history::kept_for(file_.name());
    }
    store_->read_column(column, out);
    if (keeps_history_) before_.note(column, out);
}

void BandWriter::stage(uint64_t column, std::vector<double> values) {
    if (store_->stages()) store_->stage_column(column, values);
    staged_bytes_ += values.size() * sizeof(double);
    staged_.emplace_back(column, std::move(values));
    if (!dates_by_band()) commit();
}

// The highest column the writes have reached once the staged dates are in:
// what the slots of the band's chunks are sized for.
uint64_t BandWriter::frontier() const {
    int64_t last = stored_cursor(data_);
    for (const auto &date : staged_) last = std::max<int64_t>(last, static_cast<int64_t>(date.first));
    return static_cast<uint64_t>(last);
}

// The band in progress into the open transaction (opened here if need be).
// A failure undoes the transaction and writes its dates again one by one.
void BandWriter::write_band() {
    try {
        if (!transaction_) transaction_.emplace(file_);
        store_->write_staged(frontier());
    } catch (const std::exception &) {
        redo_one_by_one();
        return;
    }
    band_start_ = staged_.size();
}

void BandWriter::commit() {
    if (staged_.empty()) {
        forget();
        return;
    }
    if (!store_->stages()) {
        try {
            write_one_by_one();
        } catch (...) {
            forget();
            throw;
        }
        forget();
        return;
    }
    try {
        if (!transaction_) transaction_.emplace(file_);
        if (band_start_ < staged_.size()) store_->write_staged(frontier());
        int64_t last = -1;
        for (const auto &date : staged_) last = std::max<int64_t>(last, static_cast<int64_t>(date.first));
        advance_cursor(data_, last);
        record_staged(*transaction_);
        transaction_->commit();
    } catch (const std::exception &) {
        redo_one_by_one();
        return;
    }
    forget();
}

// Undoes the open transaction on disk and opens the file again, then
// writes every date it held one by one: each date before the one that
// fails is kept, as date by date would. Throws what that write throws.
void BandWriter::redo_one_by_one() {
    transaction_.reset();
    try {
        open_again();
        write_one_by_one();
    } catch (...) {
        forget();
        throw;
    }
    forget();
}

void BandWriter::forget() {
    transaction_.reset();
    before_.clear();
    staged_.clear();
    band_start_ = 0;
    staged_bytes_ = 0;
    alone_.reset();
}

// Each date is a transaction of its own: what a column held before it is
// what an earlier date of the run left, or else what was noted.
void BandWriter::write_one_by_one() {
    std::unordered_map<uint64_t, const std::vector<double> *> written;
    for (const auto &[column, values] : staged_) {
        const uint64_t frontier = static_cast<uint64_t>(std::max(stored_cursor(data_), static_cast<int64_t>(column)));
        h5::WriteTransaction transaction(file_);
        store_->write_column(column, values, frontier);
        advance_cursor(data_, static_cast<int64_t>(column));
        if (history::CommitBuilder *changes = transaction.history_changes()) {
            const auto earlier = written.find(column);
            if (earlier != written.end()) {
                history::record_column(*changes, column, earlier->second->data(), values);
            } else if (!before_.record(*changes, column, values)) {
                history_appeared();
            }
        }
        transaction.commit();
        written[column] = &values;
    }
}

void BandWriter::record_staged(h5::WriteTransaction &transaction) const {
    history::CommitBuilder *changes = transaction.history_changes();
    if (!changes) return;
    // A column staged twice ends as its last date left it.
    std::map<uint64_t, const std::vector<double> *> last;
    for (const auto &[column, values] : staged_) last[column] = &values;
    for (const auto &[column, values] : last) {
        if (!before_.record(*changes, column, *values)) history_appeared();
    }
}

// The history was not there when this writer read its columns, and is now:
// only a handle of another open of the file in this process could have
// enabled it meanwhile. The transaction is undone rather than recorded
// without the cells it changed.
void BandWriter::history_appeared() const {
    throw h5::Error(h5::ErrorKind::Value, "the history of " + file_.name() +
                                              " was enabled while a write to it was in progress; write again");
}

}  // namespace quorbel::dates
