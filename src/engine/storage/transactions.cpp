// Change scopes and write transactions, and the rollback of a write given up.
#include "transactions.hpp"

#include "hdf5_store_internal.hpp"
#include "history_commits.hpp"
#include "journal.hpp"

#include <hdf5.h>

#include <memory>

namespace quorbel::h5 {
namespace {

// A write given up: the file goes back to what it was before the write and
// is opened again, so that the caller's handle stays usable. Datasets opened
// before are stale from now on. When it cannot be reopened it stays closed
// for this handle; a journal still there is replayed by the next open.
void roll_back(FileState &state) noexcept {
    close_without_writing(state);
    ++state.generation;
    try {
        const hid_t id = recover_and_open(state.path, true, true, state.locking, journal::Role::OwnFailedWrite);
        if (id >= 0) {
            state.id = id;
            state.change_failed = false;  // the journal has put the file back
        }
    } catch (...) {
    }
}

// cursor_col as the history records it: -1 when absent, or when it is not
// an integer (a file another tool wrote), which no writer here leaves.
int64_t recorded_cursor(const File &file) {
    try {
        if (!file.has_dataset("data")) return -1;
        return file.open_dataset("data").read_int64_attribute("cursor_col").value_or(-1);
    } catch (const Error &) {
        return -1;
    }
}

}  // namespace

ChangeScope::ChangeScope(const File &file) : use_(std::make_unique<FileUse>(file.state_.get(), Access::Change)) {}
ChangeScope::~ChangeScope() = default;

WriteTransaction::WriteTransaction(File &file)
    : use_(std::make_unique<FileUse>(file.state_.get(), Access::Change)), file_(file) {
    LibraryGuard guard;
    require_open(file.state_);
    if (!file.state_->writable) throw Error(ErrorKind::OS, "Unable to write data (no write intent on file)");
    history_ = history::PendingRecord::open(file.state_->path);
    if (history_) history_->set_cursor_before(recorded_cursor(file));
    journal::Driver::begin(file.state_->id, file.state_->journal,
                           history_ ? static_cast<int64_t>(history_->length_before()) : -1);
}

// The use is given back after the rollback: no other call sees the file
// between its close and its reopening.
WriteTransaction::~WriteTransaction() {
    if (done_) return;
    LibraryGuard guard;
    auto &state = file_.state_;
    if (state && state->open()) roll_back(*state);
}

history::CommitBuilder *WriteTransaction::history_changes() { return history_ ? &history_->changes() : nullptr; }

void WriteTransaction::commit() {
    LibraryGuard guard;
    require_open(file_.state_);
    checked(H5Fflush(file_.state_->id, H5F_SCOPE_LOCAL), "Unable to flush file");
    if (history_) {
        const int64_t cursor_after = recorded_cursor(file_);
        if (history_->has_record(cursor_after)) {
            // Once the record is there, only the journal can take it away.
            journal::Driver::make_journal_durable(file_.state_->id);
            history_->append(cursor_after);
        }
    }
    journal::Driver::commit(file_.state_->id);
    done_ = true;
}

}  // namespace quorbel::h5
