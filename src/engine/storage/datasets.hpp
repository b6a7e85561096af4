// A dataset of an open factor file: its layout, its shape, and blocks of its
// cells read and written as float64 through HDF5's own pipeline.
//
// Dataset is the one handle on a dataset, so every operation on one is its
// member; the members are defined by job: this unit the handle itself, its
// layout and its blocks, raw_chunks.cpp the direct chunk access, and
// attributes.cpp the attributes. What shapes the handle:
// - it shares its file's state (file_state.hpp), and every call is one use
//   of the file, so a close never pulls the file from under a call;
// - a reader's handle without a lock may be opened again under it when
//   another process commits; the dataset follows such a reopen by itself,
//   while after a failed write's rollback it is stale and says so;
// - blocks are checked against the matrix before HDF5 sees them, and an
//   unfiltered chunk whose recorded size disagrees with its shape is refused
//   first, since HDF5 1.10.8 would run past its buffers on it.
// change_count() lets a reader or writer that keeps inflated chunks know
// when to drop them without asking the file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "attributes.hpp"
#include "error.hpp"
#include "factor_layout.hpp"
#include "file_locking.hpp"
#include "file_opening.hpp"
#include "raw_chunks.hpp"

namespace quorbel::h5 {

struct FileState;
class File;

// A rectangular block of cells: rows [row, row + rows), columns [col, col + cols).
struct Block {
    uint64_t row = 0, rows = 0;
    uint64_t col = 0, cols = 0;
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

    // Direct chunk access (raw_chunks.cpp), bypassing HDF5's filter pipeline
    // and chunk cache. Offsets are cell coordinates of the chunk's first
    // cell. A chunk that was never written reads as absent.
    using RawChunk = h5::RawChunk;
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
    // The first columns of the chunk columns holding at least one written
    // chunk, ascending; nullopt when more than `most` chunks are written
    // (HDF5 1.10 finds the i-th chunk by walking the index from the start,
    // so listing them costs the square of their number).
    std::optional<std::vector<uint64_t>> written_chunk_columns(uint64_t most) const;
    void write_raw_chunk(uint64_t row, uint64_t col, const unsigned char *bytes, size_t size);
    // Within a write transaction: journals these file regions (offset, end)
    // in one go, ahead of the writes that overwrite them.
    void save_ahead(const std::vector<std::pair<uint64_t, uint64_t>> &regions);

    // Attributes (attributes.cpp).
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

}  // namespace quorbel::h5
