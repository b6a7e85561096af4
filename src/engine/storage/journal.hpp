// Crash safety for factor files: an HDF5 file driver that keeps an undo
// journal beside the file while a write is in progress.
//
// The driver reads and writes like HDF5's default POSIX driver, so the file
// format does not change. Between begin() and commit() of a transaction,
// every write that would overwrite bytes the file held when the transaction
// began first saves those bytes in the journal (".<name>.journal" in the same
// directory). commit() makes the new content durable and deletes the journal;
// a process killed before that leaves the journal behind, and the next open
// replays it, putting back the old bytes: a date is written wholly or not at
// all, and the dates before it are never touched. Part of the HDF5 side.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "file_locking.hpp"
#include "posix_files.hpp"

namespace quorbel::h5::journal {

// The HDF5 identifier of the driver, registered on first use.
int64_t driver_id();

// The journal's path for a factor file's path.
using posix::journal_path;

// A journal that recovery or a new write found at a file's journal path but
// that was not written for the file there now. Never applied, never deleted:
// moved to `moved_to` by a writer, or left in place (`moved_to` empty) by a
// reader, which never moves a journal.
struct SetAside {
    std::string journal;
    std::string moved_to;
    std::string data_path;
    std::string reason;
};

// Who asks for recovery. A reader only ever applies the file's own journal,
// once it holds the file's lock and so knows the journal's writer is gone;
// every other journal it leaves alone. A writer is, by the locks or by the
// rule of one writer per file, the file's only writer: it also deletes a
// journal whose header never reached the disk and sets aside one that is not
// the file's. OwnFailedWrite: the caller's own write failed, and its journal
// is undone whatever the locks say.
enum class Role { Reader, Writer, OwnFailedWrite };

enum class Recovery {
    Nothing,      // no journal, or one that describes no write and was deleted
    Replayed,     // the file's own journal was applied
    Busy,         // a live writer holds the file: the journal is its own
    SetAside,     // a journal not the file's was moved aside (writers only)
    Unproven,     // without locks nothing tells whether the journal's writer still runs
    LeftInPlace,  // a reader met a journal that is not this file's or describes no write
};
// Looks at the journal beside the file at `data_path` and does what `role`
// may. Every decision is taken on descriptors opened for it, the data file
// first and, where locks are used, locked before the journal is opened, so
// that nothing decided on a journal that has meanwhile been committed,
// undone or replaced. Throws an h5::Error when the file's own journal is
// there but cannot be applied (no write access, say).
// `mode`: the locking the file is opened with.
Recovery recover(const std::string &data_path, Role role, locking::Mode mode, SetAside *set_aside = nullptr);

// Every journal set aside (or left in place by a reader) in this process
// since the last call, for the Python side to log: the storage side has no
// logger. A journal a reader leaves in place is told once per process.
std::vector<SetAside> take_set_aside();

// Whether the journal at `data_path`'s journal path was written for the
// file open as `data_fd`.
bool journal_is_own(const std::string &data_path, int data_fd);

// For tools that lay crash states out in fresh files. The device and inode
// the journal at `journal` was written for; nullopt when it is no journal of
// this engine's (or its header is incomplete).
std::optional<std::pair<uint64_t, uint64_t>> written_for(const std::string &journal);
// Makes the journal name the file at `data_path` instead (device, inode and,
// for this format, inode generation and birth time), its checksum made anew;
// the saved bytes and the fingerprint stay. False when it is no journal of
// this engine's or either file cannot be read or written.
bool retarget(const std::string &journal, const std::string &data_path);

// What an open asks of the driver, given on the file access list.
struct DriverOptions {
    // A read-only open takes HDF5's shared lock (a reader that keeps writers
    // out); 0: it takes none, and checks what it read instead.
    uint32_t lock_reads = 1;
    // A read-only open shares nothing with other opens of the same file in
    // this process, so that opening again reads the file's metadata afresh.
    uint32_t private_reads = 0;
};
// Sets the driver, with `options`, on the file access list `fapl`.
void use_driver(int64_t fapl, const DriverOptions &options);

// Moves a journal that must not be applied to a hidden sibling,
// ".<name>.journal.set-aside-<pid>-<random>", never deleting it: it may be
// the only copy of another file's old bytes. Recorded for take_set_aside().
SetAside set_aside(const std::string &journal, const std::string &data_path, const std::string &reason);

// The driver's per-file state, reached from an open HDF5 file identifier.

class Driver {
public:
    // Starts journalling overwrites and makes the journal at `journal` (an
    // OS-kind Error naming its directory when it cannot be made); the caller
    // then writes through HDF5. `history_size` >= 0: the file keeps a
    // history of that many bytes, which undoing the write cuts it back to
    // (the journal is then of the third format).
    static void begin(int64_t file_id, const std::string &journal, int64_t history_size = -1);
    // Syncs the journal when bytes of it are not yet durable: before anything
    // outside the file (its history) changes on the journal's word.
    static void make_journal_durable(int64_t file_id);
    // Saves the bytes of these file regions in one go (one sync), ahead of the
    // writes that will overwrite them.
    static void save_ahead(int64_t file_id, const std::vector<std::pair<uint64_t, uint64_t>> &regions);
    // After HDF5 has flushed: syncs the file and deletes the journal.
    static void commit(int64_t file_id);
    // Stops writing to disk: later writes of this file are dropped. Used
    // before closing a file whose write failed, so that the close cannot
    // fail; the journal then undoes what was written.
    static void discard_writes(int64_t file_id);
    static bool in_transaction(int64_t file_id);
    // Whether the open holds a file lock (it does not with locking off, or
    // best-effort on a file system that refuses locks).
    static bool holds_lock(int64_t file_id);
    // Device and inode of the open file.
    static std::pair<uint64_t, uint64_t> identity(int64_t file_id);
    // The open file was renamed: its error texts name `path` from now on.
    static void rename(int64_t file_id, const std::string &path);
    // The descriptor the open file is read through, for reading stored bytes
    // at an address HDF5 gives without going through HDF5; -1 when such
    // addresses are not offsets in the file (the file starts with a user
    // block). Valid while the file stays open.
    static int raw_descriptor(int64_t file_id);
};

}  // namespace quorbel::h5::journal
