// What the HDF5 units of storage share and nobody else sees: the owners of
// HDF5 identifiers, the state behind a File handle, the use a call holds on
// it, and the few rules of opening and failing that every call obeys.
//
// Internal to file_state, file_opening, datasets, raw_chunks, attributes and
// transactions; callers include hdf5_store.hpp, which keeps hdf5.h out. Each
// rule here is defined once, in the unit named beside it, so that a change to
// how a call enters a file or reports a failed change reaches every call.
// read_settled stays a template here so that a handle that needs no checking
// (a writer's, or a reader's under a lock) pays nothing for it.
#pragma once

#include <hdf5.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <optional>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "error.hpp"
#include "file_locking.hpp"
#include "journal.hpp"

namespace quorbel::h5 {

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

using PropList = Owned<H5Pclose>;
using Space = Owned<H5Sclose>;
using Type = Owned<H5Tclose>;
using Attribute = Owned<H5Aclose>;

inline PropList make_plist(hid_t cls) { return PropList(checked(H5Pcreate(cls), "Unable to create property list")); }

// ---------------------------------------------------------------------------
// The state behind a File handle and the uses of it (file_state.cpp)

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

constexpr const char *kFileClosed = "Invalid file handle: the factor file is closed";
constexpr const char *kDatasetClosed = "Invalid dataset handle: the factor file is closed";

// Pinned: a reading call of a pinned read (see ReadPin), shared with other
// readers even on a handle that a reading call may open again: it never does.
enum class Access { Read, Change, Pinned };

// One call on an open file, from its start to its end. Taken before the
// library guard: a serial build's library mutex is held only inside calls,
// so close(), which waits here, can never wait for a thread that waits for it.
class FileUse {
public:
    // Throws ValueError-kind h5::Error with `closed_message` once the file is
    // closing or closed. A null state is let through: the call's own checks
    // report it.
    FileUse(FileState *state, Access access, const char *closed_message = kFileClosed);
    // Never throws; admitted() is false once the file is closing or closed.
    FileUse(FileState *state, Access access, std::nothrow_t);
    FileUse(const FileUse &) = delete;
    FileUse &operator=(const FileUse &) = delete;
    ~FileUse();
    bool admitted() const { return admitted_; }

private:
    struct Wait;
    static bool free_for(const FileState &s, Access access);
    static void take(FileState &s, Access access);
    static void wait_for_turn(void *context);
    bool enter(FileState *state, Access access);

    FileState *state_ = nullptr;  // set when this object holds a use to give back
    Access access_ = Access::Read;
    bool admitted_ = true;
};

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

// Closes a file whose writing failed without writing anything more, so that
// the close itself cannot fail (HDF5 1.10.8 cannot recover from a failed
// close); the journal puts back what did reach the disk.
void close_without_writing(FileState &state) noexcept;

// ---------------------------------------------------------------------------
// Opening and reading without locks (file_opening.cpp)

// A reader's handle that a failed reopen left closed is opened again by the
// next call on it, rather than staying closed for good.
void revive(FileState &state);

// ValueError-kind h5::Error unless the file is open (after revive()).
void require_open(const std::shared_ptr<FileState> &state);

// Undoes what an unfinished write left at `path` (a write killed half-way),
// then opens the file there under HDF5's lock. With `same_file_only`, a
// journal that had to be set aside means the path now holds another file:
// it is not opened, and the result is an invalid identifier. `role` is the
// recovery's (a writer's own failed write, for a rollback).
hid_t recover_and_open(const std::string &path, bool writable, bool same_file_only,
                       locking::Mode mode = locking::mode(), journal::Role role = journal::Role::Writer);

// The loop of read_settled for a handle that reads without a lock; `attempt`
// is called with `context` once per attempt.
void settle_read(FileState &state, void (*attempt)(void *context), void *context);

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
    using Target = std::remove_reference_t<Read>;
    settle_read(
        *state, [](void *context) { (*static_cast<Target *>(context))(); },
        const_cast<void *>(static_cast<const void *>(std::addressof(read))));
}

// read_settled for a read that gives a value: the value of the attempt that
// settled. Metadata (the datasets of a file, a shape, attributes) is read
// this way too: HDF5 reads it when first asked, by then perhaps in the middle
// of another process's commit.
template <typename Read>
auto settled_value(FileState *state, Read &&read) -> decltype(read()) {
    std::optional<decltype(read())> value;
    read_settled(state, [&] { value.emplace(read()); });
    return std::move(*value);
}

}  // namespace quorbel::h5
