#include "factor_layout.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorbel::h5 {

MatrixStorage factor_storage(Shape2 shape) {
    MatrixStorage storage;
    storage.chunks = automatic_chunk_shape(shape);
    storage.deflate_level = kFactorDeflateLevel;
    storage.fill = std::numeric_limits<double>::quiet_NaN();
    storage.unlimited = true;
    return storage;
}

Shape2 automatic_chunk_shape(Shape2 shape, size_t element_size) {
    // Halve the axes in turn until a chunk is near a target size that grows
    // with the dataset (8 KiB to 1 MiB); an empty axis is sized as 1024.
    constexpr double kBase = 16.0 * 1024, kMin = 8.0 * 1024, kMax = 1024.0 * 1024;
    double chunks[2] = {shape.rows ? double(shape.rows) : 1024.0, shape.cols ? double(shape.cols) : 1024.0};
    const double dataset_bytes = chunks[0] * chunks[1] * double(element_size);
    double target = kBase * std::pow(2.0, std::log10(dataset_bytes / (1024.0 * 1024.0)));
    target = std::clamp(target, kMin, kMax);
    for (unsigned axis = 0;; ++axis) {
        const double chunk_bytes = chunks[0] * chunks[1] * double(element_size);
        const bool near_target = chunk_bytes < target || std::fabs(chunk_bytes - target) / target < 0.5;
        if (near_target && chunk_bytes < kMax) break;
        if (chunks[0] * chunks[1] == 1) break;
        chunks[axis % 2] = std::ceil(chunks[axis % 2] / 2.0);
    }
    return {static_cast<uint64_t>(chunks[0]), static_cast<uint64_t>(chunks[1])};
}

namespace {

bool is_prime(size_t n) {
    if (n < 2) return false;
    for (size_t d = 2; d * d <= n; ++d) {
        if (n % d == 0) return false;
    }
    return true;
}

}  // namespace

ChunkCache chunk_cache_for_columns(Shape2 chunks, uint64_t first_col, uint64_t end_col, size_t element_size) {
    if (chunks.rows == 0 || chunks.cols == 0 || end_col <= first_col) return {};
    // A section that does not start on a chunk boundary crosses one chunk more.
    const uint64_t crossed = (end_col - first_col + chunks.cols - 1) / chunks.cols + 1;
    const long double chunk_bytes = static_cast<long double>(chunks.rows) * chunks.cols * element_size;
    const long double wanted = chunk_bytes * crossed;
    ChunkCache cache;
    cache.bytes = wanted < kSectionCacheLimitBytes ? static_cast<size_t>(wanted) : kSectionCacheLimitBytes;
    // The library advises a prime slot count well above the number of cached
    // chunks, to keep hash collisions (which evict chunks) rare.
    const long double held = std::min<long double>(crossed, cache.bytes / chunk_bytes + 1);
    size_t slots = static_cast<size_t>(std::min<long double>(held * 10, kSectionCacheSlotLimit));
    while (!is_prime(slots)) ++slots;
    cache.slots = slots;
    return cache;
}

std::optional<Shape2> matrix_chunks(const DatasetLayout &layout) {
    if (layout.rank != 2 || layout.chunks.size() != 2) return std::nullopt;
    return Shape2{layout.chunks[0], layout.chunks[1]};
}

bool chunks_inflated_by_engine(const DatasetLayout &layout) {
    return matrix_chunks(layout) && layout.dtype == kFactorDtype && layout.filters.size() == 1 &&
           layout.filters[0].id == kDeflateFilterId;
}

bool uses_deflate(const DatasetLayout &layout) {
    for (const auto &f : layout.filters) {
        if (f.id == kDeflateFilterId) return true;
    }
    return false;
}

std::optional<unsigned> deflate_level(const DatasetLayout &layout) {
    for (const auto &f : layout.filters) {
        if (f.id == kDeflateFilterId && !f.options.empty()) return f.options[0];
    }
    return std::nullopt;
}

ChunkCache column_writer_cache(Shape2 shape, Shape2 chunks) {
    if (chunks.rows == 0 || chunks.cols == 0) return {};
    const uint64_t stripe = (shape.rows + chunks.rows - 1) / chunks.rows + 8;
    const uint64_t chunk_bytes = chunks.rows * chunks.cols * sizeof(double);
    ChunkCache cache;
    cache.bytes = static_cast<size_t>(std::min<uint64_t>(stripe * chunk_bytes, kMaxColumnCacheBytes));
    cache.slots = static_cast<size_t>(stripe * 10 + 1);
    return cache;
}

}  // namespace quorbel::h5
