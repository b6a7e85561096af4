// The File handle's shared state: the calls inside a file, counted as uses
// with the gate in FileState, and the ways a file is closed.
#include "file_state.hpp"

#include "hdf5_store_internal.hpp"
#include "journal.hpp"

#include <hdf5.h>

#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace quorbel::h5 {
namespace {

WaitHook wait_hook = nullptr;

void wait_outside(void (*wait)(void *), void *context) {
    if (wait_hook) {
        wait_hook(wait, context);
    } else {
        wait(context);
    }
}

struct HeldUse {
    const FileState *state;
    Access access;
};

// The files this thread is inside a call on: a call made from within another
// call on the same file is part of it and neither waits nor counts again.
thread_local std::vector<HeldUse> held_uses;

const HeldUse *held_by_this_thread(const FileState *state) {
    for (const auto &use : held_uses) {
        if (use.state == state) return &use;
    }
    return nullptr;
}

}  // namespace

void set_wait_hook(WaitHook hook) { wait_hook = hook; }

// ---------------------------------------------------------------------------
// FileUse

struct FileUse::Wait {
    FileState *state;
    Access access;
    bool admitted;
};

FileUse::FileUse(FileState *state, Access access, const char *closed_message) {
    if (!enter(state, access)) throw Error(ErrorKind::Value, closed_message);
}

FileUse::FileUse(FileState *state, Access access, std::nothrow_t) { admitted_ = enter(state, access); }

FileUse::~FileUse() {
    if (!state_) return;
    for (auto it = held_uses.end(); it != held_uses.begin();) {
        if ((--it)->state == state_) {
            held_uses.erase(it);
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(state_->gate);
        if (access_ == Access::Change) {
            state_->writer = false;
        } else {
            --state_->readers;
        }
    }
    state_->gate_moved.notify_all();
}

bool FileUse::free_for(const FileState &s, Access access) {
    if (access == Access::Change) return !s.writer && s.readers == 0;
    return !s.writer && s.writers_waiting == 0;
}

void FileUse::take(FileState &s, Access access) {
    if (access == Access::Change) {
        s.writer = true;
    } else {
        ++s.readers;
    }
}

void FileUse::wait_for_turn(void *context) {
    auto &w = *static_cast<Wait *>(context);
    FileState &s = *w.state;
    std::unique_lock<std::mutex> lock(s.gate);
    if (w.access == Access::Change) ++s.writers_waiting;
    s.gate_moved.wait(lock, [&] { return s.closing || free_for(s, w.access); });
    if (w.access == Access::Change) --s.writers_waiting;
    w.admitted = !s.closing;
    if (w.admitted) take(s, w.access);
}

bool FileUse::enter(FileState *state, Access access) {
    if (!state) return true;
    // A handle read without a file lock may be reopened in the middle of
    // any reading call (read_settled), which closes the identifiers other
    // readers of it would be using: its calls take turns.
    if (state->checked_reads && access == Access::Read) access = Access::Change;
    if (access == Access::Pinned) access = Access::Read;
    if (const HeldUse *held = held_by_this_thread(state)) {
        if (access == Access::Change && held->access == Access::Read) {
            // Would wait for this very thread's own reading call.
            throw std::logic_error("a reading call on a factor file cannot change it");
        }
        return true;
    }
    bool admitted = false;
    {
        std::lock_guard<std::mutex> lock(state->gate);
        if (state->closing) return false;
        if (free_for(*state, access)) {
            take(*state, access);
            admitted = true;
        }
    }
    if (!admitted) {
        Wait wait{state, access, false};
        wait_outside(&FileUse::wait_for_turn, &wait);
        admitted = wait.admitted;
    }
    if (!admitted) return false;
    held_uses.push_back({state, access});
    state_ = state;
    access_ = access;
    return true;
}

// ---------------------------------------------------------------------------
// Closing

namespace {

// Marks the file closing, so that no call starts any more, waits for the calls
// in flight and holds the file alone. A thread inside a call on the file would
// wait for itself: it is refused instead.
void seal(FileState &state) {
    if (held_by_this_thread(&state)) {
        throw Error(ErrorKind::Value, "Cannot close the factor file from inside a call on it");
    }
    struct Context {
        FileState *state;
    } context{&state};
    wait_outside(
        [](void *c) {
            FileState &s = *static_cast<Context *>(c)->state;
            std::unique_lock<std::mutex> lock(s.gate);
            s.closing = true;
            s.gate_moved.notify_all();  // calls waiting for their turn give up now
            s.gate_moved.wait(lock, [&] { return !s.writer && s.readers == 0; });
            s.writer = true;
        },
        &context);
}

// Ends what seal() began; `reopen` lets calls in again (a close that failed).
void unseal(FileState &state, bool reopen = false) {
    {
        std::lock_guard<std::mutex> lock(state.gate);
        state.writer = false;
        if (reopen) state.closing = false;
    }
    state.gate_moved.notify_all();
}

}  // namespace

void close_without_writing(FileState &state) noexcept {
    try {
        journal::Driver::discard_writes(state.id);
    } catch (...) {
    }
    state.close();
    H5Eclear2(H5E_DEFAULT);
}

// ---------------------------------------------------------------------------
// File

locking::Mode File::locking_mode() const { return state_ ? state_->locking : locking::mode(); }

std::string File::journal_path() const { return state_ ? state_->journal : std::string(); }

uint64_t File::generation() const {
    LibraryGuard guard;  // read_settled moves it under the guard
    return state_ ? state_->generation : 0;
}

bool File::is_open() const {
    if (!state_) return false;
    FileUse use(state_.get(), Access::Read, std::nothrow);
    return use.admitted() && (state_->open() || state_->lost);
}

void File::close_discarding() noexcept {
    if (!state_) return;
    try {
        seal(*state_);
    } catch (...) {
        return;  // called from inside a call on this file: the caller closes it later
    }
    if (state_->open()) {
        LibraryGuard guard;
        close_without_writing(*state_);
    }
    state_->lost = false;
    unseal(*state_);
}

bool File::writable() const { return state_ && state_->writable; }

void File::close() {
    if (!state_) return;
    seal(*state_);
    {
        LibraryGuard guard;
        state_->close();
        state_->lost = false;
    }
    unseal(*state_);
}

void File::close_checked() {
    require_open(state_);
    seal(*state_);
    try {
        LibraryGuard guard;
        require_open(state_);
        changed(*state_, H5Fflush(state_->id, H5F_SCOPE_LOCAL), "Unable to flush file");
        // The identifier is spent even when closing fails; never close it twice.
        checked(H5Fclose(std::exchange(state_->id, H5I_INVALID_HID)), "Unable to close file");
    } catch (...) {
        unseal(*state_, state_->open());  // a failed flush leaves the file open and usable
        throw;
    }
    unseal(*state_);
}

void File::flush() {
    FileUse use(state_.get(), Access::Change);
    LibraryGuard guard;
    require_open(state_);
    changed(*state_, H5Fflush(state_->id, H5F_SCOPE_LOCAL), "Unable to flush file");
}

std::string File::name() const {
    // Not H5Fget_name: HDF5 keeps the name a file was created under, and a
    // new factor file is created under a temporary one.
    return state_ ? state_->path : std::string();
}

void File::published_as(const std::string &path) {
    FileUse use(state_.get(), Access::Change);
    LibraryGuard guard;
    require_open(state_);
    journal::Driver::rename(state_->id, path);
    state_->path = path;
    state_->journal = journal::journal_path(path);
}

DiskIdentity File::disk_identity() const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    require_open(state_);
    const auto [device, inode] = journal::Driver::identity(state_->id);
    return {device, inode};
}

size_t open_object_count() {
    LibraryGuard guard;
    const ssize_t count = H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL);
    if (count < 0) raise_from_stack("Unable to count open objects");
    return static_cast<size_t>(count);
}

}  // namespace quorbel::h5
