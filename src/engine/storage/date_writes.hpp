// Dates written into a factor matrix: the cursor rule and the band writer.
//
// cursor_col records the highest column a write has reached; it only rises,
// and an absent attribute counts as -1.
//
// A batch of dates is written band by band. A band is a run of consecutive
// dates of the batch whose columns fall in one chunk column. Its dates are
// applied to the inflated chunks one after another, in batch order, and
// each chunk is inflated once and deflated once per band, where date by
// date it would be once per date. Consecutive bands share one journalled
// transaction, up to kTransactionBytes of staged columns: a transaction
// costs a handful of syncs, which would otherwise cost a backfill more than
// its compression. The file ends up cell for cell as date by date, and a
// crash still leaves a prefix of the batch's dates (whole transactions,
// each wholly old or wholly new).
//
// A transaction whose write fails (a full disk, an I/O error) is undone and
// then written again date by date, so that every date before the one that
// fails is kept, as a date-by-date batch keeps them. That costs a copy of
// each staged column, at most kTransactionBytes.
//
// A file that keeps a history gets a record per transaction (see
// transactions.hpp): the first read of a column in a transaction is what it
// held before, the last date staged into it what it holds after. A redo
// date by date records each date's transaction as it commits.
//
// Everything here runs on plain C++ data; callers release the GIL.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "chunk_io.hpp"
#include "hdf5_store.hpp"
#include "history_commits.hpp"

namespace quorbel::dates {

constexpr const char *kCursor = "cursor_col";
// Staged columns (8 bytes a cell) a transaction takes before it commits.
constexpr size_t kTransactionBytes = size_t(6) << 20;

int64_t stored_cursor(const h5::Dataset &data);
// Within the caller's write transaction.
void advance_cursor(h5::Dataset &data, int64_t column);

// Whether batches are written band by band (the default) or each date as a
// transaction of its own. Only the test suite turns bands off, to hold the
// banded write against the plain one.
void set_dates_by_band(bool on) noexcept;
bool dates_by_band() noexcept;

class BandWriter {
public:
    // `data` is the file's matrix, opened for column writes
    // (File::open_dataset_for_columns); it must not change shape while the
    // writer lives.
    BandWriter(h5::File &file, h5::Dataset data);
    BandWriter(const BandWriter &) = delete;
    BandWriter &operator=(const BandWriter &) = delete;
    // Staged dates that were never committed are dropped, unwritten.
    ~BandWriter();

    uint64_t rows() const { return store_->rows(); }
    // The column as the batch has left it so far. A column of another band
    // writes the band in progress first (into the open transaction, or
    // committed when that has grown to kTransactionBytes). From here to
    // stage() the file is this writer's alone.
    void read_column(uint64_t column, std::vector<double> &out);
    // The date's values for the whole column, after read_column(column).
    void stage(uint64_t column, std::vector<double> values);
    // Writes the band in progress, if any, and commits the open transaction.
    void commit();

private:
    uint64_t frontier() const;
    void write_band();
    void redo_one_by_one();
    void forget();
    void open_again();
    void write_one_by_one();
    // Tells the transaction what the staged dates change, column by column.
    void record_staged(h5::WriteTransaction &transaction) const;
    [[noreturn]] void history_appeared() const;

    h5::File &file_;
    h5::Dataset data_;
    std::unique_ptr<chunks::ColumnStore> store_;
    std::optional<h5::ChangeScope> alone_;
    std::optional<h5::WriteTransaction> transaction_;  // open from the first band written to commit()
    // Every date staged since the transaction opened, in batch order; those
    // of the band in progress are the ones from band_start_ on.
    std::vector<std::pair<uint64_t, std::vector<double>>> staged_;
    size_t band_start_ = 0;
    size_t staged_bytes_ = 0;
    // Whether the file keeps a history, looked up when the writer takes the
    // file alone; then what each column read held when the transaction began.
    bool keeps_history_ = false;
    history::ColumnsBefore before_;
};

}  // namespace quorbel::dates
