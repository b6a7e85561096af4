// A minimal PNG encoder: 8-bit RGB, one IDAT chunk, no scanline filters.
// The zlib stream and the CRCs come from libdeflate, which the engine links.
#include <libdeflate.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "extras.hpp"

namespace quorbel {
namespace {

void put_u32(std::vector<uint8_t> &out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// Length, type, data, then the CRC of type and data.
void append_chunk(std::vector<uint8_t> &png, const char type[4], const std::vector<uint8_t> &data) {
    put_u32(png, static_cast<uint32_t>(data.size()));
    const size_t type_at = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put_u32(png, libdeflate_crc32(0, png.data() + type_at, 4 + data.size()));
}

std::vector<uint8_t> zlib_compressed(const std::vector<uint8_t> &raw) {
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor *)> compressor(
        libdeflate_alloc_compressor(9), libdeflate_free_compressor);
    if (!compressor) throw std::runtime_error("out of memory for the PNG compressor");
    std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor.get(), raw.size()));
    const size_t size = libdeflate_zlib_compress(compressor.get(), raw.data(), raw.size(), out.data(), out.size());
    if (size == 0) throw std::runtime_error("the PNG image did not compress");
    out.resize(size);
    return out;
}

}  // namespace

void write_png_rgb(const std::string &path, uint32_t width, uint32_t height, const std::vector<uint8_t> &rgb) {
    if (width == 0 || height == 0 || rgb.size() != size_t(width) * height * 3) {
        throw std::invalid_argument("a PNG image needs at least one pixel and 3 bytes for each");
    }
    std::vector<uint8_t> scanlines;
    scanlines.reserve(size_t(height) * (1 + size_t(width) * 3));
    for (uint32_t y = 0; y < height; ++y) {
        scanlines.push_back(0);  // filter type: none
        const auto row = rgb.begin() + static_cast<std::ptrdiff_t>(size_t(y) * width * 3);
        scanlines.insert(scanlines.end(), row, row + static_cast<std::ptrdiff_t>(width) * 3);
    }
    std::vector<uint8_t> header;
    put_u32(header, width);
    put_u32(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // depth 8, RGB, deflate, adaptive filters, no interlace

    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<uint8_t> png(signature, signature + 8);
    append_chunk(png, "IHDR", header);
    append_chunk(png, "IDAT", zlib_compressed(scanlines));
    append_chunk(png, "IEND", {});

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(png.data()), static_cast<std::streamsize>(png.size()));
    file.close();
    if (!file) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace quorbel
