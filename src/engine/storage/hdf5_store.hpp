// The HDF5 side of the engine: factor files, their dataset and its attributes,
// on plain C++ data. No Python object is touched here, so every call may run
// with the GIL released. hdf5.h is included by hdf5_store.cpp alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "error.hpp"
#include "factor_layout.hpp"
#include "file_locking.hpp"

namespace quorbel::h5 {

// A rectangular block of cells: rows [row, row + rows), columns [col, col + cols).
struct Block {
    uint64_t row = 0, rows = 0;
    uint64_t col = 0, cols = 0;
};

// An attribute value held in plain C++ form. Numbers keep their element width
// and signedness; text is kept as UTF-8 strings.
struct AttrValue {
    enum class Kind { Signed, Unsigned, Float, Text };
    Kind kind = Kind::Signed;
    size_t element_size = 8;              // bytes per number
    std::vector<uint64_t> dims;           // empty for a scalar
    std::vector<unsigned char> numbers;   // native byte order, packed
    std::vector<std::string> texts;       // Kind::Text

    static AttrValue int64_scalar(int64_t v);
    size_t element_count() const;
};

// Which file on disk an open file is, to tell it from another one that may
// later stand at the same path.
struct DiskIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const DiskIdentity &o) const { return device == o.device && inode == o.inode; }
};

struct FileState;
class FileUse;
class Dataset;

// A read made of many calls, on many threads, from one committed state of a
// file: File::pin() brings a reader's handle to the file's current state,
// the reads use the pin, and File::holds() tells afterwards whether the file
// stood still meanwhile. Checking once per batch rather than once per call
// keeps a reader that takes no lock as fast as one that holds it. A read
// with a pin from before the handle was opened again raises StaleRead.
struct ReadPin {
    bool checked = false;  // a reader's handle without a lock; otherwise the pin holds trivially
    uint64_t generation = 0;
    locking::Marker marker;
};
class StaleRead : public Error {
public:
    StaleRead() : Error(ErrorKind::OS, "Unable to read data (the file was opened again during the read)") {}
};

// Waiting for a factor file that another thread is using runs inside this
// hook, so that the binding can let other Python threads run meanwhile.
// `wait` never throws.
using WaitHook = void (*)(void (*wait)(void *context), void *context);
void set_wait_hook(WaitHook hook);

// Every attribute of a dataset exactly as stored: its HDF5 type (width, sign,
// byte order, string kind, array shape), its dataspace and its raw bytes, so
// that it can be written onto another dataset unchanged. Owns its type and
// dataspace identifiers and any variable-length memory that reading made.
class AttributeSnapshot {
public:
    AttributeSnapshot();
    AttributeSnapshot(AttributeSnapshot &&) noexcept;
    AttributeSnapshot &operator=(AttributeSnapshot &&) noexcept;
    AttributeSnapshot(const AttributeSnapshot &) = delete;
    AttributeSnapshot &operator=(const AttributeSnapshot &) = delete;
    ~AttributeSnapshot();

    size_t size() const { return entries_.size(); }

private:
    friend class Dataset;
    struct Entry;
    std::vector<std::unique_ptr<Entry>> entries_;
};

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
    // comes from one committed state (see read_settled in hdf5_store.cpp).
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
class WriteTransaction {
public:
    explicit WriteTransaction(File &file);
    WriteTransaction(const WriteTransaction &) = delete;
    WriteTransaction &operator=(const WriteTransaction &) = delete;
    ~WriteTransaction();
    // Flushes HDF5, makes the file durable and drops the undo journal.
    void commit();

private:
    std::unique_ptr<FileUse> use_;
    File &file_;
    bool done_ = false;
};

class Dataset {
public:
    Dataset() = default;
    Dataset(Dataset &&) noexcept;
    Dataset &operator=(Dataset &&) noexcept;
    Dataset(const Dataset &) = delete;
    Dataset &operator=(const Dataset &) = delete;
    ~Dataset();

    const std::string &name() const { return name_; }
    DatasetLayout layout() const;
    Shape2 shape() const;          // rank-2 datasets only
    Shape2 chunk_shape() const;    // rank-2 chunked datasets only
    void resize(Shape2 shape);
    // IndexError-kind h5::Error when `block` reaches outside the matrix.
    void check_inside(const Block &block) const;
    // Grows with every change of cells or shape made through this file
    // handle, from any thread: a reader or writer that keeps inflated chunks
    // drops them when it moves.
    uint64_t change_count() const;
    locking::Mode locking_mode() const;
    // The error of a read that met writes throughout its attempts.
    Error kept_changing(const char *what) const;
    void read(const Block &block, double *out) const;
    void write(const Block &block, const double *in);

    // Direct chunk access, bypassing HDF5's filter pipeline and chunk cache.
    // Offsets are cell coordinates of the chunk's first cell. A chunk that
    // was never written reads as absent.
    struct RawChunk {
        bool exists = false;
        uint32_t filter_mask = 0;  // bit 0 set: stored without DEFLATE
        uint64_t address = 0;      // where its bytes lie in the file
        std::vector<unsigned char> bytes;
    };
    RawChunk read_raw_chunk(uint64_t row, uint64_t col) const;
    // The same, as part of a pinned read (see ReadPin): threads read side by
    // side, the bytes outside the HDF5 library lock, and the file is checked
    // by the caller once for the whole batch.
    RawChunk read_raw_chunk(uint64_t row, uint64_t col, const ReadPin &pin) const;
    // Where a chunk's bytes lie: (address, stored size), nullopt when the
    // chunk was never written.
    std::optional<std::pair<uint64_t, uint64_t>> chunk_place(uint64_t row, uint64_t col) const;
    // OSError-kind h5::Error unless every chunk the index lists lies on the
    // chunk grid, inside the matrix and inside the file, once. HDF5 1.10.8
    // does not check this, and a chunk whose key is damaged is simply not
    // found, so it reads as never written. Costs a walk of the whole index.
    void check_chunk_index() const;
    void write_raw_chunk(uint64_t row, uint64_t col, const unsigned char *bytes, size_t size);
    // Within a write transaction: journals these file regions (offset, end)
    // in one go, ahead of the writes that overwrite them.
    void save_ahead(const std::vector<std::pair<uint64_t, uint64_t>> &regions);

    std::vector<std::string> attribute_names() const;
    bool has_attribute(const std::string &name) const;
    AttrValue read_attribute(const std::string &name) const;
    void write_attribute(const std::string &name, const AttrValue &value);
    void delete_attribute(const std::string &name);
    // A scalar integer attribute as int64, nullopt when absent.
    std::optional<int64_t> read_int64_attribute(const std::string &name) const;
    // Every attribute with its exact type. Refuses (ValueError) attributes that
    // hold references, which point into this file and mean nothing elsewhere.
    AttributeSnapshot read_all_attributes() const;
    // Sets every attribute of `snapshot` on this dataset, replacing any of the
    // same name.
    void write_all_attributes(const AttributeSnapshot &snapshot);

private:
    friend class File;
    Dataset(std::shared_ptr<FileState> file, int64_t id, std::string name);
    void check_open() const;
    void check_writable() const;
    void close_identifier() noexcept;
    RawChunk read_raw_chunk_once(uint64_t row, uint64_t col) const;
    // The chunk's place, size and filter mask, checked to lie inside the
    // file, with room for its bytes (not read yet); absent if never written.
    RawChunk stored_chunk(uint64_t row, uint64_t col) const;
    Error corrupt_chunk_index(uint64_t row, uint64_t col) const;
    std::shared_ptr<FileState> file_;
    // Mutable: a read follows a file that another process changed (reopened).
    mutable int64_t id_ = -1;
    mutable uint64_t generation_ = 0;  // of the file's open; a rollback reopens it
    std::string name_;
};

// Identifiers of files, datasets, groups, named types and attributes that are
// open in this process's HDF5 library; 0 once every handle has been closed.
size_t open_object_count();

}  // namespace quorbel::h5
