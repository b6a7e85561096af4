// The File handle: one open factor file shared by every copy of the handle
// and every dataset opened from it, the calls that are inside it, and its
// closing.
//
// Threads share handles (a reader fans chunk reads out over every core, the
// binding hands one handle to many Python threads), and HDF5 pulls every
// dataset away with the file. So each call on a file is counted as one use
// of its shared state: reading calls go side by side, a change has the file
// alone, a writer waiting holds back new readers so that a stream of reads
// cannot starve it, and close() marks the file closing, waits for the calls
// in flight and only then closes. A call never meets a file closed half-way
// through; one that arrives later gets ValueError. A call made from inside
// another call on the same file (on the same thread) is part of it, so
// nothing waits for itself.
//
// Waiting happens inside a hook the binding installs (set_wait_hook), so
// that other Python threads run meanwhile; the use is taken before the
// library guard, so close() can never wait for a thread that waits for it.
//
// File's members are defined by job: this unit the use counts, closing and
// the handle's plain properties; file_opening.cpp the opens, pin() and
// holds(); datasets.cpp the datasets a file holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "datasets.hpp"
#include "factor_layout.hpp"
#include "file_locking.hpp"
#include "file_opening.hpp"

namespace quorbel::h5 {

struct FileState;
class FileUse;

// Which file on disk an open file is, to tell it from another one that may
// later stand at the same path.
struct DiskIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const DiskIdentity &o) const { return device == o.device && inode == o.inode; }
};

// Waiting for a factor file that another thread is using runs inside this
// hook, so that the binding can let other Python threads run meanwhile.
// `wait` never throws.
using WaitHook = void (*)(void (*wait)(void *context), void *context);
void set_wait_hook(WaitHook hook);

// An open HDF5 file. Copies share one handle; close() closes it for all of
// them and every dataset opened from it.
//
// Threads may share a handle. Each call on the file or its datasets is one
// use of it: reading calls run side by side, a change (and a whole
// WriteTransaction) has the file to itself. close() waits for the calls in
// flight and refuses later ones with ValueError, so no call ever meets a file
// closed half-way through.
class File {
public:
    File() = default;
    // Builds a new HDF5 file in the empty file the caller has just made at
    // `path` (so that the caller chooses its permissions and publishes it
    // under its final name when complete).
    static File create_in_empty(const std::string &path);
    // Mode "r" (writable false) or "r+" (writable true). Never truncates.
    // For writing, under HDF5's exclusive lock (where locks are used), so
    // writers exclude each other. For reading, without any lock: a reader
    // never keeps a writer waiting, and checks instead that what it reads
    // comes from one committed state (see settle_read in file_opening.cpp).
    static File open(const std::string &path, bool writable);
    static File open_for_reading(const std::string &path);
    // Read-only under HDF5's shared lock, which keeps writers out while the
    // file is open (a rewrite's source); without locks, as open_for_reading.
    static File open_keeping_writers_out(const std::string &path);

    bool is_open() const;
    bool writable() const;
    // ValueError-kind h5::Error when called by a thread that is inside a call
    // on this same file (it would wait for itself).
    void close();
    // Flushes and closes, raising when either fails, so that the caller knows
    // whether everything reached the file. On failure the file stays open.
    void close_checked();
    void flush();
    // The path the file was opened at or last published under.
    std::string name() const;
    // The file now stands at `path` (it was renamed there while open): its
    // name, its journal and its error texts follow.
    void published_as(const std::string &path);
    DiskIdentity disk_identity() const;
    std::string mode() const { return writable() ? "r+" : "r"; }
    // Moves whenever the handle is opened again; a read made of several calls
    // that sees it move met another process's write and is repeated.
    uint64_t generation() const;
    // See ReadPin. pin() waits out a write in progress and opens the file
    // again when another process has written it since.
    ReadPin pin() const;
    bool holds(const ReadPin &pin) const;
    // The locking the file was opened with, and its journal's path.
    locking::Mode locking_mode() const;
    std::string journal_path() const;

    bool has_dataset(const std::string &name) const;
    std::vector<std::string> member_names() const;
    Dataset open_dataset(const std::string &name, ChunkCache cache = {}) const;
    // Opened with the column writer's chunk cache (column_writer_cache), so a
    // column read, changed and written back is inflated and deflated once.
    Dataset open_dataset_for_columns(const std::string &name) const;
    // A little-endian float64 matrix stored as `storage` says (factor files
    // take factor_storage()).
    Dataset create_matrix(const std::string &name, Shape2 shape, const MatrixStorage &storage);
    // For writing without locks: the rule of one writer per file stands in
    // for them; a journal whose writer may still run keeps the open waiting.
    static File open_without_locks(const std::string &path, bool writable);

    // Closes a file whose writing failed without writing anything more, so
    // that the close itself cannot fail (HDF5 1.10.8 cannot recover from a
    // failed close). Used on a file about to be removed.
    void close_discarding() noexcept;

private:
    std::shared_ptr<FileState> state_;
    friend class Dataset;
    friend class ChangeScope;
    friend class WriteTransaction;
};

// Identifiers of files, datasets, groups, named types and attributes that are
// open in this process's HDF5 library; 0 once every handle has been closed.
size_t open_object_count();

}  // namespace quorbel::h5
