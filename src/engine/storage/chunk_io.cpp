#include "chunk_io.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <memory>
#include <optional>
#include <mutex>
#include <thread>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "chunks are stored as little-endian float64");

namespace quorbel::chunks {
namespace {

struct CompressorDeleter {
    void operator()(libdeflate_compressor *c) const noexcept { libdeflate_free_compressor(c); }
};
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor *d) const noexcept { libdeflate_free_decompressor(d); }
};

libdeflate_compressor *thread_compressor() {
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(h5::kFactorDeflateLevel));
    if (!compressor) throw std::bad_alloc();
    return compressor.get();
}

libdeflate_decompressor *thread_decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    if (!decompressor) throw std::bad_alloc();
    return decompressor.get();
}

std::vector<unsigned char> compress(const Cells &chunk) {
    libdeflate_compressor *compressor = thread_compressor();
    const size_t in_size = chunk.size() * sizeof(double);
    // Room for the worst case, kept by the thread: the stream itself is
    // usually a fraction of it.
    thread_local std::unique_ptr<unsigned char[]> room;
    thread_local size_t room_size = 0;
    const size_t bound = libdeflate_zlib_compress_bound(compressor, in_size);
    if (room_size < bound) {
        room.reset(new unsigned char[bound]);
        room_size = bound;
    }
    const size_t size = libdeflate_zlib_compress(compressor, chunk.data(), in_size, room.get(), bound);
    if (size == 0) throw h5::Error(h5::ErrorKind::OS, "Unable to compress a chunk");
    return std::vector<unsigned char>(room.get(), room.get() + size);
}

void inflate_into(const h5::Dataset::RawChunk &raw, Cells &chunk, uint64_t row, uint64_t col) {
    const size_t expected = chunk.size() * sizeof(double);
    auto corrupt = [&](const char *why) {
        return h5::Error(h5::ErrorKind::OS, "Unable to read chunk at (" + std::to_string(row) + ", " +
                                                std::to_string(col) + ") (" + why + ")");
    };
    if (raw.filter_mask & 1u) {  // stored without DEFLATE
        if (raw.bytes.size() != expected) throw corrupt("unfiltered chunk has the wrong size");
        std::memcpy(chunk.data(), raw.bytes.data(), expected);
        return;
    }
    size_t consumed = 0, produced = 0;
    // Chunks are stored in slots: the zlib stream may be followed by padding.
    auto result = libdeflate_zlib_decompress_ex(thread_decompressor(), raw.bytes.data(), raw.bytes.size(),
                                                chunk.data(), expected, &consumed, &produced);
    if (result != LIBDEFLATE_SUCCESS || produced != expected) throw corrupt("inflate failed");
}

// `raw` as `size` cells: inflated, or the fill value for a chunk never
// written. An existing chunk is not filled first: every cell is inflated
// into, or the chunk is refused.
void inflate_or_fill(const h5::Dataset::RawChunk &raw, size_t size, double fill, uint64_t row, uint64_t col,
                     Cells &cells) {
    if (!raw.exists) {
        cells.assign(size, fill);
        return;
    }
    cells.resize(size);
    inflate_into(raw, cells, row, col);
}

uint64_t mix(uint64_t x) {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A value shaped like `v` (same sign and exponent, so it compresses about as
// well) with the low 40 bits of its mantissa scrambled, so that projected
// cells do not repeat real ones.
double like(double v, uint64_t seed) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    constexpr uint64_t low = (uint64_t(1) << 40) - 1;
    bits = (bits & ~low) | (mix(seed) & low);
    double out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

size_t slot_size(const Cells &chunk, h5::Shape2 shape, size_t size, uint64_t reached);

// How a matrix is cut into chunks, and whether this unit handles them itself.
struct Grid {
    h5::Shape2 shape, chunk;
    double fill = 0;
    bool direct = false;
    uint64_t stripes() const { return (shape.rows + chunk.rows - 1) / chunk.rows; }
    uint64_t chunk_columns() const { return (shape.cols + chunk.cols - 1) / chunk.cols; }
};

Grid grid_of(const h5::DatasetLayout &layout, h5::Shape2 shape) {
    Grid grid;
    grid.shape = shape;
    grid.direct = h5::chunks_inflated_by_engine(layout);
    if (grid.direct) {
        grid.chunk = *h5::matrix_chunks(layout);
        grid.fill = layout.fill_value.value_or(0.0);
    }
    return grid;
}

Grid grid_of(h5::Dataset &data) { return grid_of(data.layout(), data.shape()); }

// The first cell of a chunk.
struct Origin {
    uint64_t row, col;
};

// Where read_chunks reads the raw chunks.
enum class RawReads {
    // One after another on the calling thread, which may hold the HDF5
    // library lock (a write transaction does): worker threads would wait for
    // it while it waits for them.
    OnCaller,
    // On the inflating threads, each read taking the library lock for as
    // long as it needs it, so that one thread's inflating overlaps another's
    // read. Only for a caller that holds no library lock.
    OnWorkers,
};

// Reads the chunks at `origins` and inflates them on every core, outside the
// library lock: chunk i into cells[i] (the fill value where never written),
// reusing the buffers cells already holds, then hands it to use(i, cells[i])
// on the inflating thread.
// `pin`: the reads are part of a pinned read (see h5::ReadPin).
template <typename Use>
void read_chunks(const h5::Dataset &data, h5::Shape2 chunk, double fill, const std::vector<Origin> &origins,
                 RawReads reads, std::vector<Cells> &cells, Use use, const h5::ReadPin *pin = nullptr) {
    std::vector<h5::Dataset::RawChunk> raw(origins.size());
    auto read_one = [&](size_t i) {
        return pin ? data.read_raw_chunk(origins[i].row, origins[i].col, *pin)
                   : data.read_raw_chunk(origins[i].row, origins[i].col);
    };
    if (reads == RawReads::OnCaller) {
        for (size_t i = 0; i < raw.size(); ++i) raw[i] = read_one(i);
    }
    cells.resize(origins.size());
    parallel_for(raw.size(), [&](size_t i) {
        if (reads == RawReads::OnWorkers) raw[i] = read_one(i);
        inflate_or_fill(raw[i], chunk.rows * chunk.cols, fill, origins[i].row, origins[i].col, cells[i]);
        raw[i] = {};  // its bytes are not needed any more
        use(i, cells[i]);
    });
}

void read_chunks(const h5::Dataset &data, h5::Shape2 chunk, double fill, const std::vector<Origin> &origins,
                 RawReads reads, std::vector<Cells> &cells, const h5::ReadPin *pin = nullptr) {
    read_chunks(data, chunk, fill, origins, reads, cells, [](size_t, const Cells &) {}, pin);
}

}  // namespace

ColumnStore::ColumnStore(h5::Dataset &data) : data_(data) {
    const Grid grid = grid_of(data);
    shape_ = grid.shape;
    chunk_ = grid.chunk;
    fill_ = grid.fill;
    direct_ = grid.direct;
}

void ColumnStore::load_chunk_column(uint64_t chunk_column) {
    // Another thread writing through the same handle makes the loaded chunks stale.
    if (loaded_ && loaded_column_ == chunk_column && data_.change_count() == changes_seen_) return;
    if (staged_) {
        // Reloading would silently drop the staged dates.
        throw std::logic_error("staged dates of chunk column " + std::to_string(loaded_column_) +
                               " must be written before chunk column " + std::to_string(chunk_column) + " is loaded");
    }
    loaded_ = false;
    changes_seen_ = data_.change_count();
    const uint64_t col = chunk_column * chunk_.cols;
    std::vector<Origin> origins(stripes());
    for (uint64_t s = 0; s < origins.size(); ++s) origins[s] = {s * chunk_.rows, col};
    read_chunks(data_, chunk_, fill_, origins, RawReads::OnCaller, chunks_);
    loaded_ = true;
    loaded_column_ = chunk_column;
}

void ColumnStore::read_column(uint64_t column, std::vector<double> &out) {
    const h5::Block whole{0, shape_.rows, column, 1};
    out.assign(shape_.rows, fill_);
    if (!direct()) {
        data_.read(whole, out.data());
        return;
    }
    data_.check_inside(whole);
    load_chunk_column(column / chunk_.cols);
    const uint64_t local = column % chunk_.cols;
    for (uint64_t r = 0; r < shape_.rows; ++r) {
        out[r] = chunks_[r / chunk_.rows][(r % chunk_.rows) * chunk_.cols + local];
    }
}

void ColumnStore::write_column(uint64_t column, const std::vector<double> &values, uint64_t frontier) {
    if (!direct()) {
        data_.write({0, shape_.rows, column, 1}, values.data());
        return;
    }
    stage_column(column, values);
    write_staged(frontier);
}

void ColumnStore::stage_column(uint64_t column, const std::vector<double> &values) {
    if (!direct()) throw std::logic_error("a matrix inflated by HDF5 cannot stage columns");
    data_.check_inside({0, shape_.rows, column, 1});
    load_chunk_column(column / chunk_.cols);
    staged_stripes_.resize(chunks_.size(), false);
    const uint64_t local = column % chunk_.cols;
    // Only cells inside the matrix change; the rest of an edge chunk keeps
    // its fill value for the day the matrix grows over it. A chunk whose
    // cells all keep their bytes (rows beyond the listed instruments, most
    // often) is stored already and is not written again.
    for (uint64_t r = 0; r < shape_.rows; ++r) {
        double &cell = chunks_[r / chunk_.rows][(r % chunk_.rows) * chunk_.cols + local];
        if (std::memcmp(&cell, &values[r], sizeof cell) == 0) continue;
        cell = values[r];
        staged_stripes_[r / chunk_.rows] = true;
    }
    staged_ = true;
}

void ColumnStore::drop_staged() {
    staged_ = false;
    loaded_ = false;
    staged_stripes_.clear();
}

void ColumnStore::write_staged(uint64_t frontier) {
    if (!staged_) return;
    std::vector<uint64_t> stripes;
    for (uint64_t s = 0; s < staged_stripes_.size(); ++s) {
        if (staged_stripes_[s]) stripes.push_back(s);
    }
    const uint64_t col = loaded_column_ * chunk_.cols;
    std::vector<std::optional<std::pair<uint64_t, uint64_t>>> places(stripes.size());
    for (size_t i = 0; i < stripes.size(); ++i) places[i] = data_.chunk_place(stripes[i] * chunk_.rows, col);
    // How many columns of this chunk column writes have reached.
    const uint64_t reached = frontier < col ? 0 : std::min<uint64_t>(frontier - col + 1, chunk_.cols);

    std::vector<std::vector<unsigned char>> compressed(stripes.size());
    parallel_for(stripes.size(), [&](size_t i) {
        const Cells &chunk = chunks_[stripes[i]];
        compressed[i] = compress(chunk);
        const auto &place = places[i];
        const size_t slot = place && compressed[i].size() <= place->second
                                ? static_cast<size_t>(place->second)  // fits: rewritten in place
                                : slot_size(chunk, chunk_, compressed[i].size(), reached);
        compressed[i].resize(slot, 0);
    });
    std::vector<std::pair<uint64_t, uint64_t>> old_slots;
    for (const auto &place : places) {
        if (place) old_slots.emplace_back(place->first, place->first + place->second);
    }
    // Whatever happens below, the staged changes are spent: a failed write
    // is undone on disk, and the loaded chunks must then be read again.
    drop_staged();
    data_.save_ahead(old_slots);  // one journal sync for the whole chunk column
    for (size_t i = 0; i < stripes.size(); ++i) {
        data_.write_raw_chunk(stripes[i] * chunk_.rows, col, compressed[i].data(), compressed[i].size());
    }
    // These changes are the loaded chunks themselves (the caller holds the
    // file alone from read to write).
    loaded_ = true;
    changes_seen_ = data_.change_count();
}

namespace {

// The slot for a chunk that compresses to `size` bytes now and whose first
// `reached` columns writes have reached. The columns still to come are
// projected from the chunk itself: a row that holds a value in its last few
// reached columns is assumed to go on holding values like the chunk's, a row
// without one to stay empty. The projection is compressed and given 3% more room,
// plus room for up to three empty rows to start holding values (instruments
// listed later), since a chunk that outgrows its slot moves and its old slot
// is lost to the file. No slot needs more than the largest size DEFLATE can
// produce for a chunk.
size_t slot_size(const Cells &chunk, h5::Shape2 shape, size_t size, uint64_t reached) {
    const size_t largest = libdeflate_zlib_compress_bound(thread_compressor(), chunk.size() * sizeof(double));
    double expected = double(size);
    if (reached > 0 && reached < shape.cols) {
        // Values already written, so that projected cells spread over signs
        // and exponents as the real ones do.
        std::vector<double> seen;
        for (uint64_t r = 0; r < shape.rows; ++r) {
            for (uint64_t c = 0; c < reached; ++c) {
                const double v = chunk[r * shape.cols + c];
                if (!std::isnan(v)) seen.push_back(v);
            }
        }
        Cells projected(chunk);
        uint64_t empty_rows = 0;
        for (uint64_t r = 0; r < shape.rows; ++r) {
            // A row with a value among its last few reached columns is taken
            // as listed; a single NaN among values is a gap, not a delisting.
            bool listed = false;
            for (uint64_t c = reached - std::min<uint64_t>(reached, 8); c < reached && !listed; ++c) {
                listed = !std::isnan(chunk[r * shape.cols + c]);
            }
            empty_rows += !listed;
            for (uint64_t c = reached; c < shape.cols; ++c) {
                const uint64_t seed = r * shape.cols + c;
                projected[r * shape.cols + c] = listed ? like(seen[mix(seed) % seen.size()], seed) : chunk[r * shape.cols + reached - 1];
            }
        }
        const double listings = double(std::min<uint64_t>(empty_rows, 3) * (shape.cols - reached) * sizeof(double));
        expected = std::max(expected, double(compress(projected).size())) + listings * 0.6;
    }
    const size_t slot = std::min(static_cast<size_t>(expected * 1.03) + 64, largest);
    return std::max(size, (slot + 63) / 64 * 64);
}

// Copies between a row-major matrix and one chunk of it, cells inside the
// matrix only.
struct ChunkWindow {
    uint64_t row, col, rows, cols;  // the part of the chunk inside the matrix
};

ChunkWindow window_of(h5::Shape2 shape, h5::Shape2 chunk, uint64_t stripe, uint64_t chunk_column) {
    const uint64_t row = stripe * chunk.rows, col = chunk_column * chunk.cols;
    return {row, col, std::min(chunk.rows, shape.rows - row), std::min(chunk.cols, shape.cols - col)};
}

bool all_fill(const Cells &chunk, double fill) {
    const bool nan_fill = std::isnan(fill);
    for (double v : chunk) {
        if (nan_fill ? !std::isnan(v) : v != fill) return false;
    }
    return true;
}

}  // namespace

namespace {
thread_local ProgressReport current_progress = nullptr;

void report_progress(const char *phase, uint64_t done, uint64_t total) {
    if (current_progress && total > 0) current_progress(phase, double(done) / double(total));
}
}  // namespace

ProgressScope::ProgressScope(ProgressReport report) : previous_(current_progress) { current_progress = report; }
ProgressScope::~ProgressScope() { current_progress = previous_; }

void read_matrix(h5::Dataset &data, double *out) {
    const Grid g = grid_of(data);
    if (!g.direct) {
        data.read(h5::Block{0, g.shape.rows, 0, g.shape.cols}, out);
        return;
    }
    std::vector<Cells> stripe;
    for (uint64_t s = 0; s < g.stripes(); ++s) {
        std::vector<Origin> origins(g.chunk_columns());
        for (uint64_t c = 0; c < origins.size(); ++c) origins[c] = {s * g.chunk.rows, c * g.chunk.cols};
        read_chunks(data, g.chunk, g.fill, origins, RawReads::OnCaller, stripe, [&](size_t c, const Cells &cells) {
            const ChunkWindow w = window_of(g.shape, g.chunk, s, c);
            for (uint64_t r = 0; r < w.rows; ++r) {
                const double *from = cells.data() + r * g.chunk.cols;
                std::copy(from, from + w.cols, out + (w.row + r) * g.shape.cols + w.col);
            }
        });
        report_progress("reading", s + 1, g.stripes());
    }
}

void write_matrix(h5::Dataset &data, const double *in, std::optional<uint64_t> frontier) {
    const Grid g = grid_of(data);
    if (!g.direct) {
        data.write(h5::Block{0, g.shape.rows, 0, g.shape.cols}, in);
        return;
    }
    for (uint64_t s = 0; s < g.stripes(); ++s) {
        std::vector<std::vector<unsigned char>> compressed(g.chunk_columns());
        parallel_for(compressed.size(), [&](size_t c) {
            Cells cells(g.chunk.rows * g.chunk.cols, g.fill);
            const ChunkWindow w = window_of(g.shape, g.chunk, s, c);
            for (uint64_t r = 0; r < w.rows; ++r) {
                const double *from = in + (w.row + r) * g.shape.cols + w.col;
                std::copy(from, from + w.cols, cells.data() + r * g.chunk.cols);
            }
            if (all_fill(cells, g.fill)) return;
            compressed[c] = compress(cells);
            // The chunk column writes are filling gets slots, as a date write
            // would give it, so the next dates do not move its chunks.
            const uint64_t first = c * g.chunk.cols;
            if (frontier && *frontier >= first && *frontier < first + g.chunk.cols) {
                compressed[c].resize(slot_size(cells, g.chunk, compressed[c].size(), *frontier - first + 1), 0);
            }
        });
        for (uint64_t c = 0; c < compressed.size(); ++c) {
            if (compressed[c].empty()) continue;
            data.write_raw_chunk(s * g.chunk.rows, c * g.chunk.cols, compressed[c].data(), compressed[c].size());
        }
        report_progress("writing", s + 1, g.stripes());
    }
}

ChunkGrid chunk_grid(h5::Dataset &data) {
    const Grid g = grid_of(data);
    return ChunkGrid{g.shape, g.chunk, g.fill, g.direct};
}

void inflate_chunk(const h5::Dataset::RawChunk &raw, const ChunkGrid &grid, uint64_t row, uint64_t col,
                   Cells &cells) {
    inflate_or_fill(raw, grid.chunk.rows * grid.chunk.cols, grid.fill, row, col, cells);
}

RowReader::RowReader(const h5::File &file, const std::string &name, uint64_t first_column, uint64_t end_column)
    : file_(file) {
    h5::DatasetLayout layout;
    h5::Shape2 shape;
    {
        const h5::Dataset probe = file.open_dataset(name);
        layout = probe.layout();
        shape = probe.shape();
    }
    const Grid grid = grid_of(layout, shape);
    shape_ = grid.shape;
    chunk_ = grid.chunk;
    fill_ = grid.fill;
    direct_ = grid.direct;
    first_ = std::min(first_column, shape_.cols);
    end_ = std::max(first_, std::min(end_column, shape_.cols));
    if (direct_) {
        const uint64_t chunk_columns = end_ > first_ ? (end_ - 1) / chunk_.cols - first_ / chunk_.cols + 1 : 0;
        const uint64_t stripe_bytes = std::max<uint64_t>(1, chunk_columns * chunk_.rows * chunk_.cols * sizeof(double));
        max_stripes_ = static_cast<size_t>(std::max<uint64_t>(1, kRowStripeCacheBytes / stripe_bytes));
    }
    // Through HDF5's pipeline (a matrix not stored as DEFLATE chunks), a cache
    // that holds a stripe's chunks of the section keeps each inflated once.
    // The library gives a second open the cache of the first: the probe is
    // gone by now.
    const std::optional<h5::Shape2> chunks = h5::matrix_chunks(layout);
    data_ = file.open_dataset(name, chunks ? h5::chunk_cache_for_columns(*chunks, first_, end_) : h5::ChunkCache{});
}

const RowReader::Stripe &RowReader::stripe_of(uint64_t row) {
    const uint64_t index = row / chunk_.rows;
    for (size_t i = 0; i < stripes_.size(); ++i) {
        if (stripes_[i].index == index) {
            std::rotate(stripes_.begin() + i, stripes_.begin() + i + 1, stripes_.end());
            return stripes_.back();
        }
    }
    Stripe stripe;
    if (stripes_.size() >= max_stripes_) {
        stripe = std::move(stripes_.front());  // its buffers take the new stripe's chunks
        stripes_.erase(stripes_.begin());
    }
    stripe.index = index;
    stripe.first_chunk_column = first_ / chunk_.cols;
    const uint64_t count = (end_ - 1) / chunk_.cols - stripe.first_chunk_column + 1;
    std::vector<Origin> origins(count);
    for (uint64_t c = 0; c < count; ++c) origins[c] = {index * chunk_.rows, (stripe.first_chunk_column + c) * chunk_.cols};
    // A row stream runs outside any write transaction. The stripe is read
    // as one pinned read, from one committed state of the file, so that its
    // rows show one state, not dates of two; one that met another
    // process's write is read again.
    h5::locking::Patience patience(data_.locking_mode());
    for (;;) {
        if (!patience.next_attempt()) throw data_.kept_changing("Unable to read data");
        const h5::ReadPin pin = file_.pin();
        try {
            read_chunks(data_, chunk_, fill_, origins, RawReads::OnWorkers, stripe.chunks, &pin);
        } catch (const h5::Error &) {
            // A failure of a file that stood still is the file's own.
            if (file_.holds(pin)) throw;
            patience.writer_at_work();
            continue;
        }
        if (file_.holds(pin)) break;
        patience.writer_at_work();
    }
    stripes_.push_back(std::move(stripe));
    return stripes_.back();
}

void RowReader::read_row(uint64_t row, double *out) {
    if (end_ == first_) return;
    if (!direct_) {
        data_.read(h5::Block{row, 1, first_, end_ - first_}, out);
        return;
    }
    // A matrix never shrinks: a row inside the shape the reader was made
    // with is inside still, and needs no look at the file (a settled read
    // of its shape, per row, costs a stream more than the rows themselves).
    // A closed file is still asked, so that it says so.
    if (row >= shape_.rows || !file_.is_open()) data_.check_inside(h5::Block{row, 1, first_, end_ - first_});
    // A write through this handle since the stripes were inflated (the caller
    // paused the stream and wrote) makes them stale.
    if (data_.change_count() != changes_seen_) {
        stripes_.clear();
        changes_seen_ = data_.change_count();
    }
    const Stripe &stripe = stripe_of(row);
    const uint64_t local_row = row % chunk_.rows;
    for (uint64_t col = first_; col < end_;) {
        const uint64_t chunk_column = col / chunk_.cols;
        const uint64_t stop = std::min(end_, (chunk_column + 1) * chunk_.cols);
        const double *cells = stripe.chunks[chunk_column - stripe.first_chunk_column].data() +
                              local_row * chunk_.cols + (col - chunk_column * chunk_.cols);
        std::copy(cells, cells + (stop - col), out + (col - first_));
        col = stop;
    }
}

}  // namespace quorbel::chunks
