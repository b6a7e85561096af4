#include "history_cells.hpp"

#include <libdeflate.h>

#include <cstring>
#include <memory>
#include <new>

#include "error.hpp"

namespace quorbel::history {

namespace {

// Below this many cells an entry stays plain.
constexpr uint32_t kDeflateFrom = 64;
// Old values are read back rarely: a middle level keeps a revision's commit
// cheap and loses little to the factor file's own level.
constexpr int kHistoryDeflateLevel = 6;

size_t padded(size_t bytes) { return (bytes + 7) / 8 * 8; }

struct CompressorDeleter {
    void operator()(libdeflate_compressor *c) const noexcept { libdeflate_free_compressor(c); }
};
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor *d) const noexcept { libdeflate_free_decompressor(d); }
};

// The rows as four byte planes, then the values as eight: the high bytes of
// neighbouring rows and the exponents of neighbouring values line up, which
// is what lets deflate find them.
std::vector<unsigned char> shuffled(const ColumnChange &change) {
    const size_t n = change.rows.size();
    std::vector<unsigned char> out(n * (sizeof(uint32_t) + sizeof(double)));
    const auto *rows = reinterpret_cast<const unsigned char *>(change.rows.data());
    const auto *values = reinterpret_cast<const unsigned char *>(change.old_values.data());
    for (size_t i = 0; i < n; ++i) {
        for (size_t b = 0; b < sizeof(uint32_t); ++b) out[b * n + i] = rows[i * sizeof(uint32_t) + b];
    }
    unsigned char *value_planes = out.data() + n * sizeof(uint32_t);
    for (size_t i = 0; i < n; ++i) {
        for (size_t b = 0; b < sizeof(double); ++b) value_planes[b * n + i] = values[i * sizeof(double) + b];
    }
    return out;
}

void unshuffle(const unsigned char *planes, size_t n, ColumnChange &change) {
    change.rows.resize(n);
    change.old_values.resize(n);
    auto *rows = reinterpret_cast<unsigned char *>(change.rows.data());
    auto *values = reinterpret_cast<unsigned char *>(change.old_values.data());
    for (size_t i = 0; i < n; ++i) {
        for (size_t b = 0; b < sizeof(uint32_t); ++b) rows[i * sizeof(uint32_t) + b] = planes[b * n + i];
    }
    const unsigned char *value_planes = planes + n * sizeof(uint32_t);
    for (size_t i = 0; i < n; ++i) {
        for (size_t b = 0; b < sizeof(double); ++b) values[i * sizeof(double) + b] = value_planes[b * n + i];
    }
}

// The zlib stream of `change`'s shuffled cells, or nothing when it would not
// be smaller than the plain layout.
std::vector<unsigned char> deflated(const ColumnChange &change) {
    if (change.cells < kDeflateFrom) return {};
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(kHistoryDeflateLevel));
    if (!compressor) throw std::bad_alloc();
    const std::vector<unsigned char> in = shuffled(change);
    const size_t plain = padded(change.rows.size() * sizeof(uint32_t)) + change.old_values.size() * sizeof(double);
    std::vector<unsigned char> out(plain);
    // 0 when the stream would not fit in the plain layout's room.
    const size_t size = libdeflate_zlib_compress(compressor.get(), in.data(), in.size(), out.data(), out.size());
    if (size == 0 || padded(size) >= plain) return {};
    out.resize(size);
    return out;
}

template <typename T>
void append_bytes(std::vector<unsigned char> &out, const T &value) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

}  // namespace

[[noreturn]] void damaged_record(const std::string &path, uint64_t offset, const std::string &what) {
    throw h5::Error(h5::ErrorKind::Value, "the history file " + path + " is damaged: " + what + " in the record at byte " +
                                              std::to_string(offset));
}

void append_cells_entry(std::vector<unsigned char> &out, const ColumnChange &change) {
    const std::vector<unsigned char> stream = deflated(change);
    if (!stream.empty()) {
        append_bytes(out, EntryHead{change.column, kCellsDeflated, change.cells, uint32_t(stream.size())});
        out.insert(out.end(), stream.begin(), stream.end());
        out.resize(out.size() + padded(stream.size()) - stream.size(), 0);
        return;
    }
    append_bytes(out, EntryHead{change.column, kCells, change.cells, 0});
    const size_t rows_start = out.size();
    for (uint32_t row : change.rows) append_bytes(out, row);
    out.resize(rows_start + padded(out.size() - rows_start), 0);
    for (double value : change.old_values) append_bytes(out, value);
}

size_t read_cells_entry(const unsigned char *payload, size_t at, uint64_t payload_bytes, const EntryHead &entry,
                        bool want, ColumnChange &change, const std::string &path, uint64_t offset) {
    const std::string column = "column " + std::to_string(entry.column);
    if (entry.state == kCells) {
        const size_t row_bytes = padded(size_t(entry.cells) * sizeof(uint32_t));
        const size_t value_bytes = size_t(entry.cells) * sizeof(double);
        if (at + row_bytes + value_bytes > payload_bytes) {
            damaged_record(path, offset, "the cells of " + column + " run past the payload");
        }
        if (want) {
            change.rows.resize(entry.cells);
            change.old_values.resize(entry.cells);
            std::memcpy(change.rows.data(), payload + at, size_t(entry.cells) * sizeof(uint32_t));
            std::memcpy(change.old_values.data(), payload + at + row_bytes, value_bytes);
        }
        return at + row_bytes + value_bytes;
    }
    // Deflated: the entry's last field is the stream's length.
    const size_t stream_bytes = entry.zero;
    if (stream_bytes == 0 || at + padded(stream_bytes) > payload_bytes) {
        damaged_record(path, offset, "the deflated cells of " + column + " run past the payload");
    }
    if (want) {
        thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
            libdeflate_alloc_decompressor());
        if (!decompressor) throw std::bad_alloc();
        std::vector<unsigned char> planes(size_t(entry.cells) * (sizeof(uint32_t) + sizeof(double)));
        size_t inflated = 0;
        if (libdeflate_zlib_decompress(decompressor.get(), payload + at, stream_bytes, planes.data(), planes.size(),
                                       &inflated) != LIBDEFLATE_SUCCESS ||
            inflated != planes.size()) {
            damaged_record(path, offset, "the deflated cells of " + column + " do not inflate to " +
                                             std::to_string(entry.cells) + " cells");
        }
        unshuffle(planes.data(), entry.cells, change);
    }
    return at + padded(stream_bytes);
}

}  // namespace quorbel::history
