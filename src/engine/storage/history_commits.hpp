// Recording a write's record in the history beside its factor file
// (history_log.hpp has the bytes). A write transaction (transactions.hpp)
// finds the history when it begins and appends one record when it commits;
// the writers tell it what each column they changed held before and holds
// after. What they held before is the column the writer read anyway: a
// column that held no value costs one pass to find that out and nothing
// kept, so the daily write of a new date and a backfill into empty cells
// record 16 bytes a date and copy nothing.
//
// No Python here; everything may run with the GIL released.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "history_log.hpp"
#include "posix_files.hpp"

namespace quorbel::history {

// The clock of commit times: UTC nanoseconds (CLOCK_REALTIME), or, once a
// test has set one, that time for every commit until it is cleared. Either
// way a file's records never go back: a commit takes at least its last
// record's time plus one.
void set_clock(std::optional<int64_t> fake_ns);
int64_t clock_now();

// Whether the file at `data_path` keeps a history (its ".history" is there).
bool kept_for(const std::string &data_path);

// Where the next record of a history goes.
struct Tail {
    uint64_t end = 0;         // where its last whole record ends
    uint64_t size = 0;        // the file's size: larger than `end` after a torn append
    uint64_t next_seq = 1;
    int64_t last_time = 0;    // of its last record; began_ns - 1 without one
};
// Reads the history open as `fd` as far as its last record (its header and
// that record, when it ends the file as appends leave it; the whole log
// otherwise). Value-kind h5::Error naming `path` when it is no history.
Tail read_tail(int fd, const std::string &path);

// The record a write transaction appends to the history of its file.
class PendingRecord {
public:
    // Null when the file at `data_path` keeps no history.
    static std::unique_ptr<PendingRecord> open(const std::string &data_path);

    // The history's length before the write: undoing the write cuts it back
    // to this (the journal holds it).
    uint64_t length_before() const { return tail_.end; }
    void set_cursor_before(int64_t cursor) { cursor_before_ = cursor; }
    CommitBuilder &changes() { return changes_; }
    // Whether the commit leaves a record: it changed a cell or moved the cursor.
    bool has_record(int64_t cursor_after) const { return changes_.has_changes() || cursor_after != cursor_before_; }
    // Appends the record and syncs the history. The journal that can undo
    // the write must be durable first; a failure here is an OS-kind
    // h5::Error, and undoing the write cuts away whatever reached the file.
    void append(int64_t cursor_after);

private:
    std::string path_;
    posix::Fd fd_;
    Tail tail_;
    int64_t cursor_before_ = -1;
    CommitBuilder changes_;
};

// Adds to `changes` what a commit did to `column`: from `before` (nullptr:
// the column held no value) to `after`, one value per matrix row.
void record_column(CommitBuilder &changes, uint64_t column, const double *before, const std::vector<double> &after);

// What each column a batch writer read held when its transaction began: the
// first read of a column in the transaction is its state before it.
class ColumnsBefore {
public:
    // Keeps `values` unless the column was noted already in this
    // transaction; a column of NaN alone is kept as a mark, not a copy.
    void note(uint64_t column, const std::vector<double> &values);
    // Adds the column's change to `changes`, from what was noted to
    // `after`. False when the column was never noted.
    bool record(CommitBuilder &changes, uint64_t column, const std::vector<double> &after) const;
    void clear() { columns_.clear(); }

private:
    std::unordered_map<uint64_t, std::vector<double>> columns_;  // empty: the column held no value
};

}  // namespace quorbel::history
