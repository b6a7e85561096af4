// Change scopes and write transactions, and the rollback of a write given up.
#include "transactions.hpp"

#include "hdf5_store_internal.hpp"
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

}  // namespace

ChangeScope::ChangeScope(const File &file) : use_(std::make_unique<FileUse>(file.state_.get(), Access::Change)) {}
ChangeScope::~ChangeScope() = default;

WriteTransaction::WriteTransaction(File &file)
    : use_(std::make_unique<FileUse>(file.state_.get(), Access::Change)), file_(file) {
    LibraryGuard guard;
    require_open(file.state_);
    if (!file.state_->writable) throw Error(ErrorKind::OS, "Unable to write data (no write intent on file)");
    journal::Driver::begin(file.state_->id, file.state_->journal);
}

void WriteTransaction::commit() {
    LibraryGuard guard;
    require_open(file_.state_);
    checked(H5Fflush(file_.state_->id, H5F_SCOPE_LOCAL), "Unable to flush file");
    journal::Driver::commit(file_.state_->id);
    done_ = true;
}

// The use is given back after the rollback: no other call sees the file
// between its close and its reopening.
WriteTransaction::~WriteTransaction() {
    if (done_) return;
    LibraryGuard guard;
    auto &state = file_.state_;
    if (state && state->open()) roll_back(*state);
}

}  // namespace quorbel::h5
