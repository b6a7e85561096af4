// Holding a file alone across several calls, and writing to it atomically.
//
// A single call already has the file to itself while it changes it
// (file_state.hpp); a change made of several calls does not, and another
// thread's call could come in between a size checked and the growth it
// decided, or a column read and the same column written back. ChangeScope
// closes that gap and nothing more.
//
// WriteTransaction adds crash safety on top (journal.hpp): between its start
// and commit() every overwritten byte is journaled first, so a write is
// either whole or absent whatever kills the writer. A transaction given up
// in-process (an exception, a full disk) is undone at once rather than left
// for the next open: the file is closed without writing anything more,
// restored from its journal and opened again, so the caller's handle stays
// usable and a failed change does not poison it. That reopening makes
// datasets opened before it stale, which they report rather than read from a
// closed identifier.
#pragma once

#include <memory>

#include "file_state.hpp"

namespace quorbel::history {
class CommitBuilder;
class PendingRecord;
}  // namespace quorbel::history

namespace quorbel::h5 {

// Holds the file alone while it lives, for a change made of several calls (a
// column read, changed and written back; a size checked and then grown): no
// other thread's call comes in between. Waits for the calls in flight;
// ValueError-kind h5::Error once the file is closed.
class ChangeScope {
public:
    explicit ChangeScope(const File &file);
    ChangeScope(const ChangeScope &) = delete;
    ChangeScope &operator=(const ChangeScope &) = delete;
    ~ChangeScope();

private:
    std::unique_ptr<FileUse> use_;
};

// One write to a factor file, atomic against a crash: either every change
// made between its start and commit() reaches the file, or none does (see
// journal.hpp). Destroyed without commit(), it undoes the changes: the
// file is closed without writing further, restored from the journal and
// opened again, so the caller's handle stays usable. Datasets opened before
// that are then stale. The file is the transaction's alone from start to end.
//
// A file that keeps a history (its ".history" is there when the transaction
// begins) gets one record per transaction that changes a cell or moves
// cursor_col: the cursor is read at the start and at the commit, the cells
// are what the writer tells history_changes(). The journal holds the
// history's length from before, so undoing the write cuts the record away.
class WriteTransaction {
public:
    explicit WriteTransaction(File &file);
    WriteTransaction(const WriteTransaction &) = delete;
    WriteTransaction &operator=(const WriteTransaction &) = delete;
    ~WriteTransaction();
    // Flushes HDF5, appends the history's record (after the journal is
    // durable), makes the file durable and drops the undo journal.
    void commit();
    // Where a writer records each column it changes, as it was before the
    // transaction and as it leaves it; nullptr when the file keeps no
    // history. A writer that changes cells must record them here.
    history::CommitBuilder *history_changes();

private:
    std::unique_ptr<FileUse> use_;
    File &file_;
    std::unique_ptr<history::PendingRecord> history_;
    bool done_ = false;
};

}  // namespace quorbel::h5
