// Whole date columns of a factor matrix, moved chunk by chunk with direct
// chunk I/O and compressed here rather than in HDF5's filter pipeline.
//
// A date write dirties one column of chunks (about 64 at 6,000 rows); DEFLATE
// at level 9 dominates its cost, so the chunks are compressed with libdeflate
// on every core and written as they are. The stored format does not change:
// each chunk is the zlib stream HDF5's own DEFLATE filter would read.
// Everything here runs on plain C++ data, without the GIL.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "hdf5_store.hpp"

namespace quorbel::chunks {

class ColumnStore {
public:
    // `data` must stay open, at its current shape, while the store is used.
    explicit ColumnStore(h5::Dataset &data);

    uint64_t rows() const { return shape_.rows; }
    // The whole column, one value per matrix row.
    void read_column(uint64_t column, std::vector<double> &out);
    // Writes the whole column back: every chunk it crosses is compressed and
    // stored before this returns.
    void write_column(uint64_t column, const std::vector<double> &values);

private:
    using Chunk = std::vector<double>;  // chunk_rows x chunk_cols, row-major
    bool direct() const { return direct_; }
    // The chunks of one chunk column, inflated, kept while consecutive dates
    // fall into it (a batch of daily dates usually does).
    void load_chunk_column(uint64_t chunk_column);
    uint64_t stripes() const { return (shape_.rows + chunk_.rows - 1) / chunk_.rows; }

    h5::Dataset &data_;
    h5::Shape2 shape_;
    h5::Shape2 chunk_;
    double fill_ = 0;
    bool direct_ = false;
    bool loaded_ = false;
    uint64_t loaded_column_ = 0;
    std::vector<Chunk> chunks_;  // one per stripe of the loaded chunk column
};

}  // namespace quorbel::chunks
