// How a factor matrix is stored, in one place: the data type, DEFLATE level,
// fill value and maximum shape of a new `data`, its chunk shape, the chunk
// caches its readers and writers ask for, and what readers check a stored
// matrix for. Plain data and rules; hdf5_store does the HDF5 calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorbel::h5 {

constexpr uint64_t kUnlimited = UINT64_MAX;

struct Shape2 {
    uint64_t rows = 0;
    uint64_t cols = 0;
    bool operator==(const Shape2 &o) const { return rows == o.rows && cols == o.cols; }
    bool operator!=(const Shape2 &o) const { return !(*this == o); }
};

struct FilterInfo {
    int id = 0;
    std::string name;
    std::vector<unsigned> options;
};

// What a reader needs to know about how `data` is stored.
struct DatasetLayout {
    int rank = 0;
    std::vector<uint64_t> shape;
    std::vector<uint64_t> max_shape;  // kUnlimited for an unlimited axis
    std::vector<uint64_t> chunks;     // empty when not chunked
    std::vector<FilterInfo> filters;
    std::string dtype;                // NumPy-style text, "<f8" for factor matrices
    std::optional<double> fill_value; // set when the fill value is a float
};

struct ChunkCache {
    size_t bytes = 0;  // 0 keeps the library's default cache
    size_t slots = 0;
};

// ---- a new factor matrix -----------------------------------------------------

constexpr const char *kFactorDtype = "<f8";
constexpr int kDeflateFilterId = 1;  // HDF5's number for DEFLATE
constexpr int kFactorDeflateLevel = 9;

// How a new little-endian float64 matrix is stored.
struct MatrixStorage {
    Shape2 chunks;
    int deflate_level = 0;  // 0: no DEFLATE
    double fill = 0;
    bool unlimited = false;  // both axes may grow without bound
};

// Every factor file's `data`: chunked as automatic_chunk_shape says,
// DEFLATE 9, NaN where no value, free to grow along both axes.
MatrixStorage factor_storage(Shape2 shape);

// The chunk shape that common Python tooling picks for a dataset of `shape`
// with 8-byte elements and unlimited maximum shape, so that our files look
// like the ones researchers make by hand.
Shape2 automatic_chunk_shape(Shape2 shape, size_t element_size = 8);

// ---- what readers check ------------------------------------------------------

// The chunk shape of a chunked two-dimensional dataset; nullopt otherwise.
std::optional<Shape2> matrix_chunks(const DatasetLayout &layout);

// Chunked 2-D "<f8" with DEFLATE as its only filter: the engine moves such
// chunks itself (direct chunk I/O, libdeflate) instead of HDF5's pipeline.
bool chunks_inflated_by_engine(const DatasetLayout &layout);

// Whether DEFLATE is among the filters, and its level (nullopt without
// DEFLATE or when it was stored without a level).
bool uses_deflate(const DatasetLayout &layout);
std::optional<unsigned> deflate_level(const DatasetLayout &layout);

// ---- chunk caches ------------------------------------------------------------

// Upper bound of the chunk cache a column writer asks for.
constexpr size_t kMaxColumnCacheBytes = size_t(256) << 20;

// A cache that holds one stripe of chunks down a whole column of a matrix of
// `shape`, plus room for the rows a growth step may add in the same call.
ChunkCache column_writer_cache(Shape2 shape, Shape2 chunks);

// The cache of a block write through the dataset view: too small for any
// chunk, so HDF5 stores each chunk as the write reaches it and stops at the
// first that fails. Chunks held back for the close would be written in one
// go, where one failure frees a chunk's old place for the next chunk while
// the index still points there, and where the close cannot even report the
// failure.
constexpr ChunkCache kBlockWriterCache{1, 1};

// Memory bound of the chunk cache that a row-reading stream asks for. A full
// history row of a factor matrix crosses a few dozen chunks of at most 1 MiB,
// well below it; a section of pathological chunks is read through a cache of
// this size rather than taking the machine's memory.
constexpr size_t kSectionCacheLimitBytes = size_t(256) << 20;
// Bound on the hash slots of that cache, for matrices with tiny chunks.
constexpr size_t kSectionCacheSlotLimit = 1000003;

// A chunk cache that holds every chunk that one stripe of chunk rows crosses
// in columns [first_col, end_col), so that reading the rows of that stripe one
// after another decompresses each chunk once. Within kSectionCacheLimitBytes;
// the library's default for an empty section or an unchunked dataset.
ChunkCache chunk_cache_for_columns(Shape2 chunks, uint64_t first_col, uint64_t end_col,
                                   size_t element_size = 8);

}  // namespace quorbel::h5
