// Opening factor files: writers under HDF5's lock after recovering what an
// unfinished write left, readers without a lock and settled against the
// file's marker.
#include "file_opening.hpp"

#include "file_damage.hpp"
#include "file_state.hpp"
#include "hdf5_store_internal.hpp"
#include "journal.hpp"

#include <hdf5.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>

namespace quorbel::h5 {
namespace {

// How an open takes part in the file's locking.
enum class Locks {
    Held,       // HDF5's lock, held while open: exclusive for writing, shared for reading
    Unlocked,   // none: a reader that checks what it read (see read_settled)
};

PropList file_access_list(locking::Mode mode = locking::mode(), Locks locks = Locks::Held) {
    auto fapl = make_plist(H5P_FILE_ACCESS);
    // Closing the file closes every object opened from it, so a handle that
    // the caller closes also releases the file lock for other processes.
    checked(H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG), "Unable to set file close degree");
    journal::DriverOptions options;
    if (locks == Locks::Unlocked) {
        options.lock_reads = 0;
        // Opened again to follow another process's write, a reader must read
        // the file's metadata afresh, not share what another open of the
        // process has cached.
        options.private_reads = 1;
    }
    journal::use_driver(fapl.get(), options);
    locking::apply(fapl.get(), mode);
    return fapl;
}

// A file with several names (hard links) keeps its journal beside one of
// them, where a reader through another would not find it: writing it could
// leave a torn date that another name reads.
void refuse_shared_names(hid_t id, const std::string &path) {
    const int fd = journal::Driver::raw_descriptor(id);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_nlink > 1) {
        H5Fclose(id);
        throw Error(ErrorKind::OS,
                    "Unable to open file for writing (the factor file '" + path + "' has " +
                        std::to_string(st.st_nlink) +
                        " names (hard links): a write's undo journal lies beside one name, where a reader through "
                        "another would not find it. Give this name a file of its own with rewrite_factor, or "
                        "remove the other names, errno = " + std::to_string(EMLINK) + ")",
                    EMLINK);
    }
}

// The failed open's error, or DamagedFile when the file's own bytes show
// that no later attempt can succeed.
[[noreturn]] void raise_unless_damaged(const std::string &path) {
    try {
        raise_from_stack("Unable to open file");
    } catch (const Error &failure) {
        refuse_damaged(path, failure.what());
        throw;
    }
}

std::shared_ptr<FileState> new_state(const std::string &path, bool writable) {
    auto state = std::make_shared<FileState>();
    state->writable = writable;
    state->path = path;
    state->journal = journal::journal_path(path);
    state->locking = locking::mode();
    return state;
}

// Whether the journal that `now` shows beside the file stops a reader: it
// does while a write to this very file may be in progress or left undone,
// not when it was written for another file or describes no write. A dead
// writer's journal is undone here, where the locks prove it dead.
bool journal_stops_reader(const FileState &state, const locking::Marker &now, locking::Patience &patience) {
    if (!now.journal) return false;
    switch (journal::recover(state.path, journal::Role::Reader, state.locking)) {
        case journal::Recovery::LeftInPlace: return false;
        case journal::Recovery::Busy: patience.writer_at_work(); return true;
        default: return true;  // undone or gone meanwhile: look again; or cannot be told
    }
}

// Opens the file once if no write is in progress and none comes in between:
// the marker it had before the open still holds after it. Sets `state.id`
// and `state.marker` on success; false to try again. Throws a failure of the
// open itself when the file stood still during it, or on the last attempt.
bool open_settled_once(FileState &state, bool writable, locking::Patience &patience) {
    state.journal = journal::journal_path(state.path);  // the path may reach another file by now
    const locking::Marker before = locking::marker_of(state.path, state.journal);
    if (before.exists && journal_stops_reader(state, before, patience)) return false;
    // Readers take no lock: they never keep a writer waiting.
    auto fapl = file_access_list(state.locking, writable ? Locks::Held : Locks::Unlocked);
    hid_t id = H5Fopen(state.path.c_str(), writable ? H5F_ACC_RDWR : H5F_ACC_RDONLY, fapl.get());
    if (id < 0) {
        // Metadata read half-way through another process's write can fail
        // the open; a file that stood still failed it for a reason of its own.
        if (locking::marker_of(state.path, state.journal) != before && !patience.last_attempt()) {
            H5Eclear2(H5E_DEFAULT);
            patience.writer_at_work();
            return false;
        }
        raise_unless_damaged(state.path);
    }
    // A writer is the file's one writer, and opening for writing may itself
    // touch the file; only a reader must see it stand still.
    if (!writable && locking::marker_of(state.path, state.journal) != before) {
        H5Fclose(id);
        H5Eclear2(H5E_DEFAULT);
        patience.writer_at_work();
        return false;
    }
    if (writable) refuse_shared_names(id, state.path);
    state.id = id;
    state.checked_reads = !writable;
    state.marker = before;
    return true;
}

}  // namespace

void revive(FileState &state) {
    if (state.open() || !state.lost) return;
    locking::Patience patience(state.locking);
    while (patience.next_attempt()) {
        if (open_settled_once(state, state.writable, patience)) {
            state.lost = false;
            return;
        }
    }
    throw locking::kept_changing(state.path, state.journal, state.locking, "Unable to read data");
}

void require_open(const std::shared_ptr<FileState> &state) {
    if (state) revive(*state);
    if (!state || !state->open()) throw Error(ErrorKind::Value, kFileClosed);
}

hid_t recover_and_open(const std::string &path, bool writable, bool same_file_only,
                       locking::Mode mode, journal::Role role) {
    const journal::Recovery found = journal::recover(path, role, mode);
    if (found == journal::Recovery::SetAside && same_file_only) return H5I_INVALID_HID;
    // Never opened past a journal whose write may be unfinished.
    if (found == journal::Recovery::Unproven) {
        throw locking::kept_changing(path, journal::journal_path(path), mode, "Unable to open file");
    }
    auto fapl = file_access_list(mode);
    const hid_t id = H5Fopen(path.c_str(), writable ? H5F_ACC_RDWR : H5F_ACC_RDONLY, fapl.get());
    if (id < 0) raise_unless_damaged(path);
    if (writable) refuse_shared_names(id, path);
    return id;
}

namespace {
// A read made inside another (a shape looked up within a block read) is part
// of the outer one's attempt: the outer one checks the file around it all.
thread_local const FileState *t_settling = nullptr;
}  // namespace

void settle_read(FileState &s, void (*attempt)(void *context), void *context) {
    if (t_settling == &s) {
        attempt(context);
        return;
    }
    struct Settling {
        explicit Settling(const FileState *state) : outer(t_settling) { t_settling = state; }
        ~Settling() { t_settling = outer; }
        const FileState *outer;
    } settling(&s);
    locking::Patience patience(s.locking);
    while (patience.next_attempt()) {
        const locking::Marker now = locking::marker_of(s.path, s.journal);
        if (now != s.marker || !s.open()) {
            if (now.exists && journal_stops_reader(s, now, patience)) continue;
            s.close();
            s.lost = true;
            // Not a change made through this handle: a row stream keeps the
            // stripes it has read, each from one committed state.
            ++s.generation;
            if (!open_settled_once(s, false, patience)) continue;
            s.lost = false;
        }
        try {
            attempt(context);
        } catch (const Error &) {
            if (patience.last_attempt() || locking::marker_of(s.path, s.journal) == s.marker) throw;
            patience.writer_at_work();
            continue;
        }
        if (locking::marker_of(s.path, s.journal) == s.marker) return;
        patience.writer_at_work();
    }
    throw locking::kept_changing(s.path, s.journal, s.locking, "Unable to read data");
}

File File::create_in_empty(const std::string &path) {
    LibraryGuard guard;
    auto fapl = file_access_list();
    hid_t id = checked(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()), "Unable to create file");
    File file;
    file.state_ = std::make_shared<FileState>();
    file.state_->id = id;
    file.state_->writable = true;
    file.state_->path = path;
    file.state_->journal = journal::journal_path(path);
    file.state_->locking = locking::mode();
    return file;
}

File File::open(const std::string &path, bool writable) {
    LibraryGuard guard;
    if (!writable) return open_for_reading(path);
    if (locking::mode() != locking::Mode::On) return open_without_locks(path, true);
    File file;
    file.state_ = new_state(path, true);
    file.state_->id = recover_and_open(path, true, false);
    return file;
}

File File::open_for_reading(const std::string &path) {
    LibraryGuard guard;
    File file;
    file.state_ = new_state(path, false);
    locking::Patience patience(file.state_->locking);
    while (patience.next_attempt()) {
        if (open_settled_once(*file.state_, false, patience)) return file;
    }
    throw locking::kept_changing(path, file.state_->journal, file.state_->locking, "Unable to open file");
}

File File::open_keeping_writers_out(const std::string &path) {
    LibraryGuard guard;
    if (locking::mode() != locking::Mode::On) return open_for_reading(path);
    File file;
    file.state_ = new_state(path, false);
    file.state_->id = recover_and_open(path, false, false);
    return file;
}

File File::open_without_locks(const std::string &path, bool writable) {
    LibraryGuard guard;
    File file;
    file.state_ = new_state(path, writable);
    locking::Patience patience(file.state_->locking);
    while (patience.next_attempt()) {
        // A journal whose writer may still run is left alone, and the file
        // is not opened past it: the open waits for the write to end.
        if (journal::recover(path, journal::Role::Writer, file.state_->locking) == journal::Recovery::Unproven) continue;
        if (open_settled_once(*file.state_, writable, patience)) return file;
    }
    throw locking::kept_changing(path, file.state_->journal, file.state_->locking, "Unable to open file");
}

ReadPin File::pin() const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    require_open(state_);
    if (!state_->checked_reads) return ReadPin{};
    read_settled(state_.get(), [] {});
    return ReadPin{true, state_->generation, state_->marker};
}

bool File::holds(const ReadPin &pin) const {
    if (!pin.checked) return true;
    uint64_t generation;
    std::string path, journal;
    {
        LibraryGuard guard;  // a reopen moves them under the guard
        generation = state_->generation;
        path = state_->path;
        journal = state_->journal;
    }
    return generation == pin.generation && locking::marker_of(path, journal) == pin.marker;
}

}  // namespace quorbel::h5
