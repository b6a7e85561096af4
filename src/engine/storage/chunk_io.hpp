// Chunks of a factor matrix moved with direct chunk I/O and (de)compressed
// here rather than in HDF5's filter pipeline.
//
// A date write dirties one column of chunks (about 64 at 6,000 rows); DEFLATE
// at level 9 dominates its cost, so the chunks are compressed with libdeflate
// on every core and written as they are. Reads inflate a stripe of chunks
// once and serve every row of it. The stored format does not change: each
// chunk is the zlib stream HDF5's own DEFLATE filter would read. Matrices
// stored otherwise (other filters or types) go through HDF5's pipeline.
// Everything here runs on plain C++ data, without the GIL.
//
// Chunks are stored in slots: the zlib stream is padded to a size chosen for
// what the chunk will hold once its columns are filled, so that most rewrites
// of a chunk fit its slot and HDF5 writes it in place. In-place rewrites keep
// the file from growing with every date and leave the chunk index untouched,
// and the undo journal (journal.hpp) only has to keep the old slots.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "hdf5_store.hpp"

namespace quorbel::chunks {

// An allocator whose vectors do not zero the cells they grow by. Every chunk
// buffer is inflated into or filled whole before it is read, and zeroing it
// first costs a pass over its memory for nothing: at 6,000 x 5,000 cells a
// full read zeroed 260 MB that way.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() noexcept = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U> &) noexcept {}
    template <typename U>
    void construct(U *p) noexcept(std::is_nothrow_default_constructible<U>::value) {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

// A chunk's cells, chunk rows x chunk columns, row-major.
using Cells = std::vector<double, UninitializedAllocator<double>>;

// How many threads work through `tasks` independent pieces: one per core, at
// most 8, never more than the pieces.
inline size_t worker_count(size_t tasks) {
    return std::min<size_t>(tasks, std::max(1u, std::min(std::thread::hardware_concurrency(), 8u)));
}

// Runs task(i) for i in [0, n) on up to all cores; the first failure is
// rethrown on the calling thread after every worker has stopped.
template <typename Task>
void parallel_for(size_t n, Task task) {
    const size_t workers = worker_count(n);
    if (workers <= 1) {
        for (size_t i = 0; i < n; ++i) task(i);
        return;
    }
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto run = [&] {
        try {
            for (size_t i; (i = next.fetch_add(1)) < n;) task(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(failure_mutex);
            if (!failure) failure = std::current_exception();
            next = n;
        }
    };
    std::vector<std::thread> threads;
    for (size_t w = 1; w < workers; ++w) threads.emplace_back(run);
    run();
    for (auto &t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
}

class ColumnStore {
public:
    // `data` must stay open, at its current shape, while the store is used.
    explicit ColumnStore(h5::Dataset &data);

    uint64_t rows() const { return shape_.rows; }
    // The whole column, one value per matrix row.
    void read_column(uint64_t column, std::vector<double> &out);
    // Writes the whole column back: every chunk it crosses is compressed and
    // stored before this returns. `frontier` is the highest column writes
    // have reached (cursor_col, or this column when higher); it tells how
    // full the chunks will become, which sizes their slots.
    void write_column(uint64_t column, const std::vector<double> &values, uint64_t frontier);

    // A batch of dates that fall in one chunk column changes the loaded
    // chunks date after date and stores each changed chunk once, instead of
    // inflating and deflating the band for every date. stage_column changes
    // the loaded chunks only (read_column sees the change); write_staged
    // compresses and stores every chunk a staged date changed. A column of
    // another chunk column cannot be staged until those are written or
    // dropped. Only for matrices whose chunks the engine inflates itself.
    bool stages() const { return direct_; }
    void stage_column(uint64_t column, const std::vector<double> &values);
    bool has_staged() const { return staged_; }
    uint64_t chunk_column_of(uint64_t column) const { return column / chunk_.cols; }
    void write_staged(uint64_t frontier);
    // Forgets staged changes: the chunks are loaded again on the next use.
    void drop_staged();

private:
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
    uint64_t changes_seen_ = 0;  // the file's change count that the loaded chunks match
    std::vector<Cells> chunks_;  // one per stripe of the loaded chunk column
    std::vector<bool> staged_stripes_;  // the loaded chunks a staged date changed
    bool staged_ = false;
};

// Rows over a fixed column section. The chunks of the stripe a row lies in
// are inflated together (on every core) and kept, so the rows of one stripe
// cost one decompression of each chunk; a few stripes are kept, up to
// kRowStripeCacheBytes. Opens the dataset `name` of `file` itself, with the
// chunk cache that suits the section; no other open of that dataset may be
// alive meanwhile (the library would hand this one the other's cache).
// Worker threads read the stripe's raw chunks, each under the HDF5 library
// lock: never call it while this thread holds that lock.
class RowReader {
public:
    RowReader(const h5::File &file, const std::string &name, uint64_t first_column, uint64_t end_column);
    // The dataset it reads, for its shape and attributes.
    const h5::Dataset &data() const { return data_; }
    // Columns [first, end) of `row`, clipped to the matrix's column count as
    // it was when the reader was made; `row` must lie inside the matrix.
    void read_row(uint64_t row, double *out);
    uint64_t width() const { return end_ - first_; }
    // The matrix's rows when the reader was made: every row below is inside
    // it still, since a matrix never shrinks.
    uint64_t rows_known() const { return shape_.rows; }

private:
    struct Stripe {
        uint64_t index = 0;
        uint64_t first_chunk_column = 0;
        std::vector<Cells> chunks;  // one per chunk column
    };
    const Stripe &stripe_of(uint64_t row);

    h5::File file_;
    h5::Dataset data_;
    h5::Shape2 shape_, chunk_;
    uint64_t first_ = 0, end_ = 0;
    double fill_ = 0;
    bool direct_ = false;
    size_t max_stripes_ = 1;
    std::vector<Stripe> stripes_;  // most recently used last
    uint64_t changes_seen_ = 0;    // the file's change count when they were read
};

constexpr size_t kRowStripeCacheBytes = size_t(64) << 20;

// The pieces of a reader that schedules chunks itself (many files at once):
// the grid, and one chunk inflated without the HDF5 library lock.
struct ChunkGrid {
    h5::Shape2 shape, chunk;  // chunk is {0, 0} unless direct
    double fill = 0;
    bool direct = false;      // float64 with DEFLATE alone: inflated here
};
ChunkGrid chunk_grid(h5::Dataset &data);
// `raw` from read_raw_chunk at cell (row, col), as chunk rows x chunk columns
// (row-major) into `cells`; a chunk never written is the fill value.
void inflate_chunk(const h5::Dataset::RawChunk &raw, const ChunkGrid &grid, uint64_t row, uint64_t col,
                   Cells &cells);

// Progress of the whole-matrix passes below, for a command-line bar: while a
// scope lives, its function hears (phase, fraction done) on this thread.
using ProgressReport = void (*)(const char *phase, double fraction);
class ProgressScope {
public:
    explicit ProgressScope(ProgressReport report);
    ~ProgressScope();
    ProgressScope(const ProgressScope &) = delete;
    ProgressScope &operator=(const ProgressScope &) = delete;

private:
    ProgressReport previous_;
};

// The whole matrix, row-major, in one pass over its chunks (a rewrite).
// write_matrix leaves chunks that hold nothing but the fill value unwritten:
// they read back as the fill value all the same.
void read_matrix(h5::Dataset &data, double *out);
// `frontier` is cursor_col: the chunks of its chunk column get slots.
void write_matrix(h5::Dataset &data, const double *in, std::optional<uint64_t> frontier = std::nullopt);

}  // namespace quorbel::chunks
