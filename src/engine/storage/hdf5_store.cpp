// HDF5 calls of the engine, each checked, each handle owned by one RAII type.
#include "hdf5_store.hpp"

#include "file_locking.hpp"
#include "journal.hpp"
#include "posix_files.hpp"

#include <hdf5.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace quorbel::h5 {
namespace {

// ---------------------------------------------------------------------------
// RAII owners, one per kind of identifier

template <herr_t (*Close)(hid_t)>
class Owned {
public:
    Owned() = default;
    explicit Owned(hid_t id) : id_(id) {}
    Owned(Owned &&o) noexcept : id_(std::exchange(o.id_, H5I_INVALID_HID)) {}
    Owned &operator=(Owned &&o) noexcept {
        if (this != &o) {
            reset();
            id_ = std::exchange(o.id_, H5I_INVALID_HID);
        }
        return *this;
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { reset(); }
    hid_t get() const { return id_; }
    void reset() noexcept {
        if (id_ >= 0) Close(id_);  // never throws; a failure here is not actionable
        id_ = H5I_INVALID_HID;
    }

private:
    hid_t id_ = H5I_INVALID_HID;
};

// The memory HDF5 allocated for the variable-length data read into a buffer,
// given back however the scope ends.
class VariableLengthMemory {
public:
    VariableLengthMemory(hid_t type, hid_t space, void *buffer) : type_(type), space_(space), buffer_(buffer) {}
    VariableLengthMemory(const VariableLengthMemory &) = delete;
    VariableLengthMemory &operator=(const VariableLengthMemory &) = delete;
    ~VariableLengthMemory() { H5Dvlen_reclaim(type_, space_, H5P_DEFAULT, buffer_); }

private:
    hid_t type_, space_;
    void *buffer_;
};

using PropList = Owned<H5Pclose>;
using Space = Owned<H5Sclose>;
using Type = Owned<H5Tclose>;
using Attribute = Owned<H5Aclose>;

PropList make_plist(hid_t cls) { return PropList(checked(H5Pcreate(cls), "Unable to create property list")); }

std::string dtype_text(hid_t type) {
    H5T_class_t cls = H5Tget_class(type);
    size_t size = H5Tget_size(type);
    H5T_order_t order = H5Tget_order(type);
    char endian = order == H5T_ORDER_BE ? '>' : '<';
    if (size == 1) endian = '|';
    switch (cls) {
        case H5T_FLOAT: return std::string(1, endian) + "f" + std::to_string(size);
        case H5T_INTEGER:
            return std::string(1, endian) + (H5Tget_sign(type) == H5T_SGN_NONE ? "u" : "i") + std::to_string(size);
        case H5T_STRING: return "|O";
        default: return "|V" + std::to_string(size);
    }
}

hid_t native_integer(bool is_signed, size_t size) {
    switch (size) {
        case 1: return is_signed ? H5T_NATIVE_INT8 : H5T_NATIVE_UINT8;
        case 2: return is_signed ? H5T_NATIVE_INT16 : H5T_NATIVE_UINT16;
        case 4: return is_signed ? H5T_NATIVE_INT32 : H5T_NATIVE_UINT32;
        default: return is_signed ? H5T_NATIVE_INT64 : H5T_NATIVE_UINT64;
    }
}

hid_t little_endian_integer(bool is_signed, size_t size) {
    switch (size) {
        case 1: return is_signed ? H5T_STD_I8LE : H5T_STD_U8LE;
        case 2: return is_signed ? H5T_STD_I16LE : H5T_STD_U16LE;
        case 4: return is_signed ? H5T_STD_I32LE : H5T_STD_U32LE;
        default: return is_signed ? H5T_STD_I64LE : H5T_STD_U64LE;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// File

struct FileState {
    hid_t id = H5I_INVALID_HID;
    bool writable = false;
    bool change_failed = false;  // see changed() below
    std::string path;
    std::string journal;                // its journal's path, beside the file the path reaches
    uint64_t generation = 0;            // bumped when a rollback reopens the file
    std::atomic<uint64_t> changes{0};   // changes of cells made through this handle, for chunk caches
    locking::Mode locking = locking::Mode::On;  // as opened; a reopen keeps it
    bool checked_reads = false;         // unlocked and read-only: reads check `marker` (see read_settled)
    bool lost = false;                  // closed by a reopen that failed: the next call opens it again
    locking::Marker marker;             // the file as it was opened

    // Who is inside a call on this file (see FileUse).
    std::mutex gate;
    std::condition_variable gate_moved;
    unsigned readers = 0;          // threads inside reading calls
    bool writer = false;           // a thread inside a change, a transaction or close
    unsigned writers_waiting = 0;  // readers queue behind them, or a stream of reads would starve them
    bool closing = false;          // set by close(): no call starts any more

    bool open() const { return id >= 0; }
    void close() {
        if (id >= 0) {
            H5Fclose(id);  // strong close degree: every object of the file goes too
            id = H5I_INVALID_HID;
        }
    }
    ~FileState() {
        LibraryGuard guard;
        close();
    }
};

namespace {

WaitHook wait_hook = nullptr;

void wait_outside(void (*wait)(void *), void *context) {
    if (wait_hook) {
        wait_hook(wait, context);
    } else {
        wait(context);
    }
}

const char *const kFileClosed = "Invalid file handle: the factor file is closed";
const char *const kDatasetClosed = "Invalid dataset handle: the factor file is closed";

// Pinned: a reading call of a pinned read (see ReadPin), shared with other
// readers even on a handle that a reading call may open again: it never does.
enum class Access { Read, Change, Pinned };

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

// One call on an open file, from its start to its end. Taken before the
// library guard: a serial build's library mutex is held only inside calls,
// so close(), which waits here, can never wait for a thread that waits for it.
class FileUse {
public:
    // Throws ValueError-kind h5::Error with `closed_message` once the file is
    // closing or closed. A null state is let through: the call's own checks
    // report it.
    FileUse(FileState *state, Access access, const char *closed_message = kFileClosed) {
        if (!enter(state, access)) throw Error(ErrorKind::Value, closed_message);
    }
    // Never throws; admitted() is false once the file is closing or closed.
    FileUse(FileState *state, Access access, std::nothrow_t) { admitted_ = enter(state, access); }
    FileUse(const FileUse &) = delete;
    FileUse &operator=(const FileUse &) = delete;
    ~FileUse() {
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
    bool admitted() const { return admitted_; }

private:
    struct Wait {
        FileState *state;
        Access access;
        bool admitted;
    };

    static bool free_for(const FileState &s, Access access) {
        if (access == Access::Change) return !s.writer && s.readers == 0;
        return !s.writer && s.writers_waiting == 0;
    }

    static void take(FileState &s, Access access) {
        if (access == Access::Change) {
            s.writer = true;
        } else {
            ++s.readers;
        }
    }

    static void wait_for_turn(void *context) {
        auto &w = *static_cast<Wait *>(context);
        FileState &s = *w.state;
        std::unique_lock<std::mutex> lock(s.gate);
        if (w.access == Access::Change) ++s.writers_waiting;
        s.gate_moved.wait(lock, [&] { return s.closing || free_for(s, w.access); });
        if (w.access == Access::Change) --s.writers_waiting;
        w.admitted = !s.closing;
        if (w.admitted) take(s, w.access);
    }

    bool enter(FileState *state, Access access) {
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

    FileState *state_ = nullptr;  // set when this object holds a use to give back
    Access access_ = Access::Read;
    bool admitted_ = true;
};

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

// A change that HDF5 fails (a full disk) can leave the old place of a chunk
// freed while the chunk index still points to it; a later allocation in the
// same session would then hand that place to another chunk and overwrite
// cells already written. So after one failed change the file takes no more
// changes until it is opened again.
template <typename T>
T changed(FileState &file, T result, const char *what) {
    if (result < 0) {
        file.change_failed = true;
        raise_from_stack(what);
    }
    return result;
}

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

bool open_settled_once(FileState &state, bool writable, locking::Patience &patience);

// A reader's handle that a failed reopen left closed is opened again by the
// next call on it, rather than staying closed for good.
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

// Undoes what an unfinished write left at `path` (a write killed half-way),
// then opens the file there under HDF5's lock. With `same_file_only`, a
// journal that had to be set aside means the path now holds another file:
// it is not opened, and the result is an invalid identifier. `role` is the
// recovery's (a writer's own failed write, for a rollback).
hid_t recover_and_open(const std::string &path, bool writable, bool same_file_only,
                       locking::Mode mode = locking::mode(), journal::Role role = journal::Role::Writer) {
    const journal::Recovery found = journal::recover(path, role, mode);
    if (found == journal::Recovery::SetAside && same_file_only) return H5I_INVALID_HID;
    // Never opened past a journal whose write may be unfinished.
    if (found == journal::Recovery::Unproven) {
        throw locking::kept_changing(path, journal::journal_path(path), mode, "Unable to open file");
    }
    auto fapl = file_access_list(mode);
    const hid_t id = checked(H5Fopen(path.c_str(), writable ? H5F_ACC_RDWR : H5F_ACC_RDONLY, fapl.get()),
                             "Unable to open file");
    if (writable) refuse_shared_names(id, path);
    return id;
}

// Closes a file whose writing failed without writing anything more, so that
// the close itself cannot fail (HDF5 1.10.8 cannot recover from a failed
// close); the journal puts back what did reach the disk.
void close_without_writing(FileState &state) noexcept {
    try {
        journal::Driver::discard_writes(state.id);
    } catch (...) {
    }
    state.close();
    H5Eclear2(H5E_DEFAULT);
}

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

namespace {

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
        raise_from_stack("Unable to open file");
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

// Runs `read` so that what it reads comes from one committed state of the
// file: a reader holds no lock, so the file must be as it was opened before
// and after the read, with no write in progress; a file that another
// process has written since is opened again (every dataset follows it,
// chunk caches are dropped) and the read repeated. Called holding a use of
// the file and the library guard.
template <typename Read>
void read_settled(FileState *state, Read &&read) {
    if (!state || !state->checked_reads) {
        read();
        return;
    }
    FileState &s = *state;
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
            read();
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

}  // namespace

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

bool File::has_dataset(const std::string &name) const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    require_open(state_);
    htri_t exists = H5Lexists(state_->id, name.c_str(), H5P_DEFAULT);
    if (exists < 0) {
        H5Eclear2(H5E_DEFAULT);
        return false;
    }
    if (exists == 0) return false;
    H5O_info_t info;
    if (H5Oget_info_by_name(state_->id, name.c_str(), &info, H5P_DEFAULT) < 0) {
        H5Eclear2(H5E_DEFAULT);
        return false;
    }
    return info.type == H5O_TYPE_DATASET;
}

std::vector<std::string> File::member_names() const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    require_open(state_);
    std::vector<std::string> names;
    auto visit = [](hid_t, const char *name, const H5L_info_t *, void *data) -> herr_t {
        static_cast<std::vector<std::string> *>(data)->emplace_back(name);
        return 0;
    };
    checked(H5Literate(state_->id, H5_INDEX_NAME, H5_ITER_INC, nullptr, visit, &names), "Unable to list members");
    return names;
}

Dataset File::open_dataset(const std::string &name, ChunkCache cache) const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    require_open(state_);
    if (!has_dataset(name)) {
        throw Error(ErrorKind::Key, "Unable to open object (object '" + name + "' doesn't exist)");
    }
    auto dapl = make_plist(H5P_DATASET_ACCESS);
    if (cache.bytes > 0) {
        checked(H5Pset_chunk_cache(dapl.get(), std::max<size_t>(cache.slots, 521), cache.bytes, 1.0),
                "Unable to set chunk cache");
    }
    hid_t id = checked(H5Dopen2(state_->id, name.c_str(), dapl.get()), "Unable to open dataset");
    return Dataset(state_, id, name);
}

Dataset File::open_dataset_for_columns(const std::string &name) const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    ChunkCache cache;
    {
        Dataset probe = open_dataset(name);
        const DatasetLayout info = probe.layout();
        const std::optional<Shape2> chunks = matrix_chunks(info);
        if (!chunks) return probe;
        cache = column_writer_cache({info.shape[0], info.shape[1]}, *chunks);
    }
    // The library gives every open of a dataset the chunk cache of the open
    // that is already there, so the probe is gone first.
    return open_dataset(name, cache);
}

Dataset File::create_matrix(const std::string &name, Shape2 shape, const MatrixStorage &storage) {
    FileUse use(state_.get(), Access::Change);
    LibraryGuard guard;
    require_open(state_);
    const hsize_t dims[2] = {shape.rows, shape.cols};
    const hsize_t max_dims[2] = {storage.unlimited ? H5S_UNLIMITED : dims[0], storage.unlimited ? H5S_UNLIMITED : dims[1]};
    Space space(checked(H5Screate_simple(2, dims, max_dims), "Unable to create dataspace"));
    auto dcpl = make_plist(H5P_DATASET_CREATE);
    const hsize_t chunk_dims[2] = {storage.chunks.rows, storage.chunks.cols};
    checked(H5Pset_chunk(dcpl.get(), 2, chunk_dims), "Unable to set chunk shape");
    if (storage.deflate_level > 0) {
        checked(H5Pset_deflate(dcpl.get(), static_cast<unsigned>(storage.deflate_level)), "Unable to set DEFLATE filter");
    }
    checked(H5Pset_fill_value(dcpl.get(), H5T_NATIVE_DOUBLE, &storage.fill), "Unable to set fill value");
    hid_t id = checked(H5Dcreate2(state_->id, name.c_str(), H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, dcpl.get(),
                                  H5P_DEFAULT),
                       "Unable to create dataset");
    return Dataset(state_, id, name);
}

// ---------------------------------------------------------------------------
// Dataset

Dataset::Dataset(std::shared_ptr<FileState> file, int64_t id, std::string name)
    : file_(std::move(file)), id_(id), name_(std::move(name)) {
    generation_ = file_->generation;
}

Dataset::Dataset(Dataset &&o) noexcept
    : file_(std::move(o.file_)), id_(std::exchange(o.id_, -1)), generation_(o.generation_), name_(std::move(o.name_)) {}

Dataset &Dataset::operator=(Dataset &&o) noexcept {
    if (this != &o) {
        // Only the identifier is closed here: the members stay alive and are
        // moved into (ending their lifetime first would free them twice).
        close_identifier();
        file_ = std::move(o.file_);
        id_ = std::exchange(o.id_, -1);
        generation_ = o.generation_;
        name_ = std::move(o.name_);
    }
    return *this;
}

Dataset::~Dataset() { close_identifier(); }

void Dataset::close_identifier() noexcept {
    // Once the file is closed its strong close degree has closed this dataset too.
    if (id_ >= 0 && file_) {
        FileUse use(file_.get(), Access::Read, std::nothrow);
        if (use.admitted() && file_->open() && file_->generation == generation_) {
            LibraryGuard guard;
            H5Dclose(id_);
        }
    }
    id_ = -1;
}

void Dataset::check_open() const {
    if (file_) revive(*file_);
    if (id_ < 0 || !file_ || !file_->open()) {
        throw Error(ErrorKind::Value, kDatasetClosed);
    }
    if (file_->generation != generation_ && file_->checked_reads) {
        // Reopened because another process wrote the file: follow it.
        id_ = checked(H5Dopen2(file_->id, name_.c_str(), H5P_DEFAULT), "Unable to open dataset");
        generation_ = file_->generation;
    }
    if (file_->generation != generation_) {
        throw Error(ErrorKind::Value, "Invalid dataset handle: the factor file was reopened after a failed write");
    }
}

// HDF5 1.10.8 can be left unable to close a read-only file after a refused
// direct chunk write, and then crashes at exit; refuse every change up front.
void Dataset::check_writable() const {
    check_open();
    if (!file_->writable) throw Error(ErrorKind::OS, "Unable to write data (no write intent on file)");
    if (file_->change_failed) {
        throw Error(ErrorKind::OS, "Unable to write data (an earlier change to this file failed; "
                                   "close it and open it again before writing)");
    }
}

uint64_t Dataset::change_count() const { return file_ ? file_->changes.load() : 0; }

locking::Mode Dataset::locking_mode() const { return file_ ? file_->locking : locking::mode(); }

Error Dataset::kept_changing(const char *what) const {
    if (!file_) return Error(ErrorKind::Value, kDatasetClosed);
    return locking::kept_changing(file_->path, file_->journal, file_->locking, what);
}

DatasetLayout Dataset::layout() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    DatasetLayout out;
    Space space(checked(H5Dget_space(id_), "Unable to get dataspace"));
    int rank = checked(H5Sget_simple_extent_ndims(space.get()), "Unable to get rank");
    out.rank = rank;
    std::vector<hsize_t> dims(rank), max_dims(rank);
    checked(H5Sget_simple_extent_dims(space.get(), dims.data(), max_dims.data()), "Unable to get extent");
    for (int i = 0; i < rank; ++i) {
        out.shape.push_back(dims[i]);
        out.max_shape.push_back(max_dims[i] == H5S_UNLIMITED ? kUnlimited : max_dims[i]);
    }
    Type type(checked(H5Dget_type(id_), "Unable to get datatype"));
    out.dtype = dtype_text(type.get());
    PropList dcpl(checked(H5Dget_create_plist(id_), "Unable to get creation properties"));
    if (H5Pget_layout(dcpl.get()) == H5D_CHUNKED) {
        std::vector<hsize_t> chunk(std::max(rank, 1));
        checked(H5Pget_chunk(dcpl.get(), rank, chunk.data()), "Unable to get chunk shape");
        out.chunks.assign(chunk.begin(), chunk.begin() + rank);
    }
    int nfilters = checked(H5Pget_nfilters(dcpl.get()), "Unable to count filters");
    for (int i = 0; i < nfilters; ++i) {
        unsigned flags = 0;
        size_t n_values = 16;
        unsigned values[16];
        char name[256] = {0};
        unsigned config = 0;
        H5Z_filter_t id = H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &n_values, values,
                                         sizeof(name), name, &config);
        if (id < 0) raise_from_stack("Unable to read filter");
        FilterInfo info;
        info.id = static_cast<int>(id);
        info.name = name;
        info.options.assign(values, values + std::min<size_t>(n_values, 16));
        out.filters.push_back(std::move(info));
    }
    H5D_fill_value_t status;
    if (H5Pfill_value_defined(dcpl.get(), &status) >= 0 && status != H5D_FILL_VALUE_UNDEFINED &&
        H5Tget_class(type.get()) == H5T_FLOAT) {
        double fill = 0;
        if (H5Pget_fill_value(dcpl.get(), H5T_NATIVE_DOUBLE, &fill) >= 0) out.fill_value = fill;
    }
    H5Eclear2(H5E_DEFAULT);
    return out;
}

Shape2 Dataset::shape() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    Space space(checked(H5Dget_space(id_), "Unable to get dataspace"));
    if (H5Sget_simple_extent_ndims(space.get()) != 2) {
        throw Error(ErrorKind::Value, "Dataset '" + name_ + "' is not a two-dimensional matrix");
    }
    hsize_t dims[2];
    checked(H5Sget_simple_extent_dims(space.get(), dims, nullptr), "Unable to get extent");
    return {dims[0], dims[1]};
}

Shape2 Dataset::chunk_shape() const {
    const std::optional<Shape2> chunks = matrix_chunks(layout());
    if (!chunks) throw Error(ErrorKind::Value, "Dataset '" + name_ + "' is not a chunked two-dimensional matrix");
    return *chunks;
}

void Dataset::resize(Shape2 shape) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    const hsize_t dims[2] = {shape.rows, shape.cols};
    ++file_->changes;
    changed(*file_, H5Dset_extent(id_, dims), "Unable to resize dataset");
}

namespace {

void check_block(const Shape2 &shape, const Block &b) {
    if (b.row > shape.rows || b.rows > shape.rows - b.row || b.col > shape.cols || b.cols > shape.cols - b.col) {
        throw Error(ErrorKind::Index, "Block of " + std::to_string(b.rows) + " x " + std::to_string(b.cols) +
                                          " cells at (" + std::to_string(b.row) + ", " + std::to_string(b.col) +
                                          ") lies outside the matrix of shape (" + std::to_string(shape.rows) +
                                          ", " + std::to_string(shape.cols) + ")");
    }
}

Space select_block(hid_t dataset, const Block &b) {
    Space space(checked(H5Dget_space(dataset), "Unable to get dataspace"));
    const hsize_t start[2] = {b.row, b.col};
    const hsize_t count[2] = {b.rows, b.cols};
    checked(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr),
            "Unable to select cells");
    return space;
}

// A block's cells in the file and the same cells packed in memory.
struct BlockSpaces {
    Space file, memory;
};

BlockSpaces block_spaces(hid_t dataset, const Block &b) {
    const hsize_t mem_dims[2] = {b.rows, b.cols};
    Space memory(checked(H5Screate_simple(2, mem_dims, nullptr), "Unable to create dataspace"));
    return {select_block(dataset, b), std::move(memory)};
}

// HDF5 1.10.8 moves an unfiltered chunk by the size its index records; a
// malformed file whose record disagrees with the chunk shape makes it run
// past its buffers. Such chunks are refused before HDF5 touches them.
void check_unfiltered_chunks(hid_t dataset, const Block &b) {
    PropList dcpl(checked(H5Dget_create_plist(dataset), "Unable to get creation properties"));
    if (H5Pget_layout(dcpl.get()) != H5D_CHUNKED || checked(H5Pget_nfilters(dcpl.get()), "Unable to count filters") != 0) {
        return;
    }
    hsize_t chunk[2] = {0, 0};
    if (checked(H5Pget_chunk(dcpl.get(), 2, chunk), "Unable to get chunk shape") != 2 || !chunk[0] || !chunk[1]) return;
    Type type(checked(H5Dget_type(dataset), "Unable to get datatype"));
    const hsize_t chunk_bytes = chunk[0] * chunk[1] * H5Tget_size(type.get());
    for (hsize_t row = b.row / chunk[0] * chunk[0]; row < b.row + b.rows; row += chunk[0]) {
        for (hsize_t col = b.col / chunk[1] * chunk[1]; col < b.col + b.cols; col += chunk[1]) {
            const hsize_t offset[2] = {row, col};
            unsigned mask = 0;
            haddr_t address = HADDR_UNDEF;
            hsize_t size = 0;
            checked(H5Dget_chunk_info_by_coord(dataset, offset, &mask, &address, &size), "Unable to locate chunk");
            if (address != HADDR_UNDEF && size != chunk_bytes) {
                throw Error(ErrorKind::OS, "Unable to access data (the unfiltered chunk at (" + std::to_string(row) +
                                               ", " + std::to_string(col) + ") is recorded with " +
                                               std::to_string(size) + " bytes instead of " +
                                               std::to_string(chunk_bytes) + ")");
            }
        }
    }
}

}  // namespace

void Dataset::check_inside(const Block &block) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    check_block(shape(), block);
}

void Dataset::read(const Block &block, double *out) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    read_settled(file_.get(), [&] {
        check_open();
        check_block(shape(), block);
        if (block.rows == 0 || block.cols == 0) return;
        check_unfiltered_chunks(id_, block);
        const BlockSpaces spaces = block_spaces(id_, block);
        checked(H5Dread(id_, H5T_NATIVE_DOUBLE, spaces.memory.get(), spaces.file.get(), H5P_DEFAULT, out),
                "Unable to read data");
    });
}

void Dataset::write(const Block &block, const double *in) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    check_block(shape(), block);
    if (block.rows == 0 || block.cols == 0) return;
    check_unfiltered_chunks(id_, block);
    const BlockSpaces spaces = block_spaces(id_, block);
    ++file_->changes;
    changed(*file_, H5Dwrite(id_, H5T_NATIVE_DOUBLE, spaces.memory.get(), spaces.file.get(), H5P_DEFAULT, in),
            "Unable to write data");
}

Dataset::RawChunk Dataset::read_raw_chunk(uint64_t row, uint64_t col) const {
    if (!file_->writable && !file_->checked_reads) return read_raw_chunk(row, col, ReadPin{});
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    RawChunk chunk;
    read_settled(file_.get(), [&] { chunk = read_raw_chunk_once(row, col); });
    return chunk;
}

Dataset::RawChunk Dataset::read_raw_chunk(uint64_t row, uint64_t col, const ReadPin &pin) const {
    if (file_->writable) return read_raw_chunk(row, col);
    FileUse use(file_.get(), Access::Pinned, kDatasetClosed);
    // A file open read-only under a lock cannot change while it is read, nor
    // a pinned reader's (as far as the pin's reads go: the caller checks it),
    // and HDF5 holds none of its chunks unwritten: the chunk is found under
    // the library lock and its bytes are read outside it, so that other
    // threads' HDF5 calls go on meanwhile.
    RawChunk chunk;
    int fd = -1;
    {
        LibraryGuard guard;
        if (pin.checked != file_->checked_reads || (pin.checked && file_->generation != pin.generation)) {
            throw StaleRead();
        }
        check_open();
        fd = journal::Driver::raw_descriptor(file_->id);
        if (fd < 0) return read_raw_chunk_once(row, col);
        chunk = stored_chunk(row, col);
    }
    if (!chunk.exists) return chunk;
    // The descriptor stays open meanwhile: closing the file (to open it
    // again, or for good) waits for this use to end.
    if (!posix::read_all(fd, chunk.bytes.data(), chunk.bytes.size(), chunk.address)) {
        const int error = errno;
        throw Error(ErrorKind::OS,
                    "Unable to read chunk (file read failed: filename = '" + file_->path + "', errno = " +
                        std::to_string(error) + ", error message = '" + std::strerror(error) + "')",
                    error);
    }
    return chunk;
}

Dataset::RawChunk Dataset::stored_chunk(uint64_t row, uint64_t col) const {
    const hsize_t offset[2] = {row, col};
    RawChunk chunk;
    unsigned mask = 0;
    haddr_t address = HADDR_UNDEF;
    hsize_t size = 0;
    checked(H5Dget_chunk_info_by_coord(id_, offset, &mask, &address, &size), "Unable to locate chunk");
    if (address == HADDR_UNDEF || size == 0) return chunk;
    hsize_t file_size = 0;
    checked(H5Fget_filesize(file_->id, &file_size), "Unable to get file size");
    if (size > file_size || address > file_size - size) throw corrupt_chunk_index(row, col);
    chunk.exists = true;
    chunk.address = address;
    chunk.filter_mask = mask;
    chunk.bytes.resize(static_cast<size_t>(size));
    return chunk;
}

Error Dataset::corrupt_chunk_index(uint64_t row, uint64_t col) const {
    return Error(ErrorKind::OS, "Unable to read chunk (the chunk index of '" + name_ + "' is corrupt at (" +
                                    std::to_string(row) + ", " + std::to_string(col) + "))");
}

Dataset::RawChunk Dataset::read_raw_chunk_once(uint64_t row, uint64_t col) const {
    check_open();
    RawChunk chunk = stored_chunk(row, col);
    if (!chunk.exists) return chunk;
    // H5Dread_chunk reads as many bytes as its own index lookup finds, which a
    // malformed chunk index can make differ from the size found above; a
    // buffer of the wrong size would then be overrun.
    const hsize_t offset[2] = {row, col};
    hsize_t read_size = 0;
    checked(H5Dget_chunk_storage_size(id_, offset, &read_size), "Unable to size chunk");
    if (read_size != chunk.bytes.size()) throw corrupt_chunk_index(row, col);
    uint32_t filters = 0;
    checked(H5Dread_chunk(id_, H5P_DEFAULT, offset, &filters, chunk.bytes.data()), "Unable to read chunk");
    chunk.filter_mask = filters;
    return chunk;
}

std::optional<std::pair<uint64_t, uint64_t>> Dataset::chunk_place(uint64_t row, uint64_t col) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    const hsize_t offset[2] = {row, col};
    unsigned mask = 0;
    haddr_t address = HADDR_UNDEF;
    hsize_t size = 0;
    checked(H5Dget_chunk_info_by_coord(id_, offset, &mask, &address, &size), "Unable to locate chunk");
    if (address == HADDR_UNDEF || size == 0) return std::nullopt;
    return std::make_pair(static_cast<uint64_t>(address), static_cast<uint64_t>(size));
}

void Dataset::check_chunk_index() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    const DatasetLayout info = layout();
    const std::optional<Shape2> chunks = matrix_chunks(info);
    if (!chunks) return;
    const hsize_t dims[2] = {info.shape[0], info.shape[1]};
    const hsize_t chunk[2] = {chunks->rows, chunks->cols};
    Space space(checked(H5Dget_space(id_), "Unable to get dataspace"));
    hsize_t count = 0, file_size = 0;
    checked(H5Dget_num_chunks(id_, space.get(), &count), "Unable to count chunks");
    checked(H5Fget_filesize(file_->id, &file_size), "Unable to get file size");
    std::set<std::pair<hsize_t, hsize_t>> seen;
    for (hsize_t i = 0; i < count; ++i) {
        hsize_t offset[2];
        unsigned mask = 0;
        haddr_t address = HADDR_UNDEF;
        hsize_t size = 0;
        checked(H5Dget_chunk_info(id_, space.get(), i, offset, &mask, &address, &size), "Unable to read chunk index");
        const bool on_grid = chunk[0] && chunk[1] && offset[0] % chunk[0] == 0 && offset[1] % chunk[1] == 0 &&
                             offset[0] < dims[0] && offset[1] < dims[1];
        const bool in_file = address != HADDR_UNDEF && size <= file_size && address <= file_size - size;
        if (!on_grid || !in_file || !seen.emplace(offset[0], offset[1]).second) {
            throw Error(ErrorKind::OS, "Unable to read data (the chunk index of '" + name_ + "' is damaged at entry " +
                                           std::to_string(i) + ")");
        }
    }
}

void Dataset::write_raw_chunk(uint64_t row, uint64_t col, const unsigned char *bytes, size_t size) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    const hsize_t offset[2] = {row, col};
    ++file_->changes;
    // Always mask 0 (filtered): a chunk rewritten with another mask keeps the
    // stale one in HDF5 1.10.8 until the file is reopened.
    changed(*file_, H5Dwrite_chunk(id_, H5P_DEFAULT, 0, offset, size, bytes), "Unable to write chunk");
}

void Dataset::save_ahead(const std::vector<std::pair<uint64_t, uint64_t>> &regions) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    journal::Driver::save_ahead(file_->id, regions);
}

// ---------------------------------------------------------------------------
// Change scopes and write transactions

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

// ---------------------------------------------------------------------------
// Attributes

std::vector<std::string> Dataset::attribute_names() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    std::vector<std::string> names;
    auto visit = [](hid_t, const char *name, const H5A_info_t *, void *data) -> herr_t {
        static_cast<std::vector<std::string> *>(data)->emplace_back(name);
        return 0;
    };
    checked(H5Aiterate2(id_, H5_INDEX_CRT_ORDER, H5_ITER_INC, nullptr, visit, &names), "Unable to list attributes");
    return names;
}

bool Dataset::has_attribute(const std::string &name) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    return checked(H5Aexists(id_, name.c_str()), "Unable to test attribute") > 0;
}

void Dataset::delete_attribute(const std::string &name) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    if (!has_attribute(name)) throw Error(ErrorKind::Key, "Can't delete attribute (attribute '" + name + "' doesn't exist)");
    changed(*file_, H5Adelete(id_, name.c_str()), "Unable to delete attribute");
}

size_t AttrValue::element_count() const {
    size_t n = 1;
    for (auto d : dims) n *= static_cast<size_t>(d);
    return n;
}

AttrValue AttrValue::int64_scalar(int64_t v) {
    AttrValue value;
    value.kind = Kind::Signed;
    value.element_size = 8;
    value.numbers.resize(8);
    std::memcpy(value.numbers.data(), &v, 8);
    return value;
}

AttrValue Dataset::read_attribute(const std::string &name) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    if (!has_attribute(name)) throw Error(ErrorKind::Key, "Can't open attribute (attribute '" + name + "' doesn't exist)");
    Attribute attr(checked(H5Aopen(id_, name.c_str(), H5P_DEFAULT), "Unable to open attribute"));
    Type type(checked(H5Aget_type(attr.get()), "Unable to get attribute type"));
    Space space(checked(H5Aget_space(attr.get()), "Unable to get attribute space"));
    AttrValue value;
    int rank = checked(H5Sget_simple_extent_ndims(space.get()), "Unable to get attribute rank");
    if (rank > 0) {
        std::vector<hsize_t> dims(rank);
        checked(H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr), "Unable to get attribute extent");
        value.dims.assign(dims.begin(), dims.end());
    }
    const size_t count = value.element_count();
    switch (H5Tget_class(type.get())) {
        case H5T_INTEGER: {
            bool is_signed = H5Tget_sign(type.get()) != H5T_SGN_NONE;
            value.kind = is_signed ? AttrValue::Kind::Signed : AttrValue::Kind::Unsigned;
            value.element_size = std::min<size_t>(H5Tget_size(type.get()), 8);
            value.numbers.resize(count * value.element_size);
            if (count == 0) return value;  // H5Aread refuses the null buffer of an empty array
            checked(H5Aread(attr.get(), native_integer(is_signed, value.element_size), value.numbers.data()),
                    "Unable to read attribute");
            return value;
        }
        case H5T_FLOAT: {
            value.kind = AttrValue::Kind::Float;
            value.element_size = H5Tget_size(type.get()) <= 4 ? 4 : 8;
            value.numbers.resize(count * value.element_size);
            if (count == 0) return value;
            checked(H5Aread(attr.get(), value.element_size == 4 ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE,
                            value.numbers.data()),
                    "Unable to read attribute");
            return value;
        }
        case H5T_STRING: {
            value.kind = AttrValue::Kind::Text;
            if (count == 0) return value;
            if (H5Tis_variable_str(type.get()) > 0) {
                std::vector<char *> pointers(count, nullptr);
                Type mem(checked(H5Tcopy(H5T_C_S1), "Unable to copy type"));
                checked(H5Tset_size(mem.get(), H5T_VARIABLE), "Unable to set string size");
                checked(H5Tset_cset(mem.get(), H5Tget_cset(type.get())), "Unable to set character set");
                checked(H5Aread(attr.get(), mem.get(), pointers.data()), "Unable to read attribute");
                const VariableLengthMemory strings(mem.get(), space.get(), pointers.data());
                for (auto *p : pointers) value.texts.emplace_back(p ? p : "");
            } else {
                size_t size = H5Tget_size(type.get());
                std::vector<char> buffer(count * size);
                checked(H5Aread(attr.get(), type.get(), buffer.data()), "Unable to read attribute");
                for (size_t i = 0; i < count; ++i) {
                    const char *start = buffer.data() + i * size;
                    value.texts.emplace_back(start, strnlen(start, size));
                }
            }
            return value;
        }
        default:
            throw Error(ErrorKind::OS, "Attribute '" + name + "' has a type this engine does not read");
    }
}

void Dataset::write_attribute(const std::string &name, const AttrValue &value) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    const size_t count = value.element_count();
    std::vector<hsize_t> dims(value.dims.begin(), value.dims.end());
    Space space(value.dims.empty() ? checked(H5Screate(H5S_SCALAR), "Unable to create dataspace")
                                   : checked(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
                                             "Unable to create dataspace"));
    Type file_type;
    hid_t mem_type = H5I_INVALID_HID;
    Type mem_owned;
    std::vector<const char *> pointers;
    const void *buffer = value.numbers.data();
    switch (value.kind) {
        case AttrValue::Kind::Signed:
        case AttrValue::Kind::Unsigned: {
            bool is_signed = value.kind == AttrValue::Kind::Signed;
            file_type = Type(checked(H5Tcopy(little_endian_integer(is_signed, value.element_size)), "Unable to copy type"));
            mem_type = native_integer(is_signed, value.element_size);
            break;
        }
        case AttrValue::Kind::Float:
            file_type = Type(checked(H5Tcopy(value.element_size == 4 ? H5T_IEEE_F32LE : H5T_IEEE_F64LE), "Unable to copy type"));
            mem_type = value.element_size == 4 ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE;
            break;
        case AttrValue::Kind::Text: {
            file_type = Type(checked(H5Tcopy(H5T_C_S1), "Unable to copy type"));
            checked(H5Tset_size(file_type.get(), H5T_VARIABLE), "Unable to set string size");
            checked(H5Tset_cset(file_type.get(), H5T_CSET_UTF8), "Unable to set character set");
            mem_type = file_type.get();
            for (const auto &t : value.texts) pointers.push_back(t.c_str());
            buffer = pointers.data();
            break;
        }
    }
    if ((value.kind == AttrValue::Kind::Text ? value.texts.size() : value.numbers.size() / value.element_size) != count) {
        throw Error(ErrorKind::Value, "Attribute value has the wrong number of elements");
    }
    // Replacing keeps the semantics of a plain assignment: the new value may
    // have another type or shape than the old one.
    if (checked(H5Aexists(id_, name.c_str()), "Unable to test attribute") > 0) {
        changed(*file_, H5Adelete(id_, name.c_str()), "Unable to replace attribute");
    }
    Attribute attr(changed(*file_, H5Acreate2(id_, name.c_str(), file_type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                           "Unable to create attribute"));
    // An empty array has nothing to write, and H5Awrite refuses its null buffer.
    if (count > 0) changed(*file_, H5Awrite(attr.get(), mem_type, buffer), "Unable to write attribute");
}

std::optional<int64_t> Dataset::read_int64_attribute(const std::string &name) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    if (!has_attribute(name)) return std::nullopt;
    Attribute attr(checked(H5Aopen(id_, name.c_str(), H5P_DEFAULT), "Unable to open attribute"));
    Space space(checked(H5Aget_space(attr.get()), "Unable to get attribute space"));
    Type type(checked(H5Aget_type(attr.get()), "Unable to get attribute type"));
    if (H5Sget_simple_extent_npoints(space.get()) != 1 || H5Tget_class(type.get()) != H5T_INTEGER) {
        throw Error(ErrorKind::Value, "Attribute '" + name + "' is not a scalar integer");
    }
    int64_t v = 0;
    checked(H5Aread(attr.get(), H5T_NATIVE_INT64, &v), "Unable to read attribute");
    return v;
}

// ---------------------------------------------------------------------------
// Attribute snapshots

struct AttributeSnapshot::Entry {
    std::string name;
    Type type;          // a transient copy of the stored type
    Space space;        // scalar, simple or null, with its extent
    PropList creation;  // keeps the name's character set
    std::vector<unsigned char> bytes;
    bool owns_variable_length_memory = false;

    Entry() = default;
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
    ~Entry() {
        if (owns_variable_length_memory) H5Dvlen_reclaim(type.get(), space.get(), H5P_DEFAULT, bytes.data());
    }
};

AttributeSnapshot::AttributeSnapshot() = default;
AttributeSnapshot::AttributeSnapshot(AttributeSnapshot &&) noexcept = default;

AttributeSnapshot &AttributeSnapshot::operator=(AttributeSnapshot &&o) noexcept {
    if (this != &o) {
        LibraryGuard guard;
        entries_ = std::move(o.entries_);
    }
    return *this;
}

AttributeSnapshot::~AttributeSnapshot() {
    LibraryGuard guard;
    entries_.clear();
}

namespace {

std::string attribute_name(hid_t attr) {
    ssize_t size = checked(H5Aget_name(attr, 0, nullptr), "Unable to get attribute name");
    std::string name(static_cast<size_t>(size) + 1, '\0');
    checked(H5Aget_name(attr, name.size(), name.data()), "Unable to get attribute name");
    name.resize(static_cast<size_t>(size));
    return name;
}

// Variable-length strings count as strings, not as VLEN, in H5Tdetect_class;
// reclaiming a buffer without variable-length parts does nothing.
bool may_hold_variable_length(hid_t type) {
    return checked(H5Tdetect_class(type, H5T_VLEN), "Unable to inspect type") > 0 ||
           checked(H5Tdetect_class(type, H5T_STRING), "Unable to inspect type") > 0;
}

}  // namespace

AttributeSnapshot Dataset::read_all_attributes() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    H5O_info_t info;
    checked(H5Oget_info2(id_, &info, H5O_INFO_NUM_ATTRS), "Unable to count attributes");
    AttributeSnapshot snapshot;
    for (hsize_t i = 0; i < info.num_attrs; ++i) {
        Attribute attr(checked(H5Aopen_by_idx(id_, ".", H5_INDEX_NAME, H5_ITER_INC, i, H5P_DEFAULT, H5P_DEFAULT),
                               "Unable to open attribute"));
        auto entry = std::make_unique<AttributeSnapshot::Entry>();
        entry->name = attribute_name(attr.get());
        Type stored(checked(H5Aget_type(attr.get()), "Unable to get attribute type"));
        if (checked(H5Tdetect_class(stored.get(), H5T_REFERENCE), "Unable to inspect type") > 0) {
            throw Error(ErrorKind::Value, "Attribute '" + entry->name +
                                              "' holds references into its own file, which cannot be copied");
        }
        // A copy is transient even when the stored type is a named one of this file.
        entry->type = Type(checked(H5Tcopy(stored.get()), "Unable to copy attribute type"));
        entry->space = Space(checked(H5Aget_space(attr.get()), "Unable to get attribute space"));
        entry->creation = PropList(checked(H5Aget_create_plist(attr.get()), "Unable to get attribute properties"));
        const auto points = checked(H5Sget_simple_extent_npoints(entry->space.get()), "Unable to size attribute");
        const size_t element_size = H5Tget_size(entry->type.get());
        if (element_size == 0) raise_from_stack("Unable to size attribute type");
        entry->bytes.resize(static_cast<size_t>(points) * element_size);
        if (points > 0) {
            // Known before the read, so that nothing can throw between the
            // read and the entry taking charge of what it allocated.
            const bool variable_length = may_hold_variable_length(entry->type.get());
            checked(H5Aread(attr.get(), entry->type.get(), entry->bytes.data()), "Unable to read attribute");
            entry->owns_variable_length_memory = variable_length;
        }
        snapshot.entries_.push_back(std::move(entry));
    }
    return snapshot;
}

void Dataset::write_all_attributes(const AttributeSnapshot &snapshot) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    for (const auto &entry : snapshot.entries_) {
        const char *name = entry->name.c_str();
        if (checked(H5Aexists(id_, name), "Unable to test attribute") > 0) {
            changed(*file_, H5Adelete(id_, name), "Unable to replace attribute");
        }
        Attribute attr(changed(*file_, H5Acreate2(id_, name, entry->type.get(), entry->space.get(), entry->creation.get(),
                                          H5P_DEFAULT),
                               "Unable to create attribute"));
        if (!entry->bytes.empty()) {
            changed(*file_, H5Awrite(attr.get(), entry->type.get(), entry->bytes.data()), "Unable to write attribute");
        }
    }
}

// ---------------------------------------------------------------------------

size_t open_object_count() {
    LibraryGuard guard;
    const ssize_t count = H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL);
    if (count < 0) raise_from_stack("Unable to count open objects");
    return static_cast<size_t>(count);
}

}  // namespace quorbel::h5
