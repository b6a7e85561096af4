// Direct chunk access: stored bytes read and written past HDF5's pipeline,
// pinned reads outside the library lock, and the chunk index checked.
#include "raw_chunks.hpp"

#include "datasets.hpp"
#include "hdf5_store_internal.hpp"
#include "journal.hpp"
#include "posix_files.hpp"

#include <hdf5.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace quorbel::h5 {

Dataset::RawChunk Dataset::read_raw_chunk(uint64_t row, uint64_t col) const {
    if (!file_->writable && !file_->checked_reads) return read_raw_chunk(row, col, ReadPin{});
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    RawChunk chunk;
    read_settled(file_.get(), [&] { chunk = read_raw_chunk_once(row, col); });
    return chunk;
}

Dataset::RawChunk Dataset::read_raw_chunk(uint64_t row, uint64_t col, const ReadPin &pin) const {
    if (file_->writable) return read_raw_chunk(row, col);
    FileUse use(file_.get(), Access::Pinned, kDatasetClosed);
    // A file open read-only under a lock cannot change while it is read, nor
    // a pinned reader's (as far as the pin's reads go: the caller checks it),
    // and HDF5 holds none of its chunks unwritten: the chunk is found under
    // the library lock and its bytes are read outside it, so that other
    // threads' HDF5 calls go on meanwhile.
    RawChunk chunk;
    int fd = -1;
    {
        LibraryGuard guard;
        if (pin.checked != file_->checked_reads || (pin.checked && file_->generation != pin.generation)) {
            throw StaleRead();
        }
        check_open();
        fd = journal::Driver::raw_descriptor(file_->id);
        if (fd < 0) return read_raw_chunk_once(row, col);
        chunk = stored_chunk(row, col);
    }
    if (!chunk.exists) return chunk;
    // The descriptor stays open meanwhile: closing the file (to open it
    // again, or for good) waits for this use to end.
    if (!posix::read_all(fd, chunk.bytes.data(), chunk.bytes.size(), chunk.address)) {
        const int error = errno;
        throw Error(ErrorKind::OS,
                    "Unable to read chunk (file read failed: filename = '" + file_->path + "', errno = " +
                        std::to_string(error) + ", error message = '" + std::strerror(error) + "')",
                    error);
    }
    return chunk;
}

Dataset::RawChunk Dataset::stored_chunk(uint64_t row, uint64_t col) const {
    const hsize_t offset[2] = {row, col};
    RawChunk chunk;
    unsigned mask = 0;
    haddr_t address = HADDR_UNDEF;
    hsize_t size = 0;
    checked(H5Dget_chunk_info_by_coord(id_, offset, &mask, &address, &size), "Unable to locate chunk");
    if (address == HADDR_UNDEF || size == 0) return chunk;
    hsize_t file_size = 0;
    checked(H5Fget_filesize(file_->id, &file_size), "Unable to get file size");
    if (size > file_size || address > file_size - size) throw corrupt_chunk_index(row, col);
    chunk.exists = true;
    chunk.address = address;
    chunk.filter_mask = mask;
    chunk.bytes.resize(static_cast<size_t>(size));
    return chunk;
}

Error Dataset::corrupt_chunk_index(uint64_t row, uint64_t col) const {
    return Error(ErrorKind::OS, "Unable to read chunk (the chunk index of '" + name_ + "' is corrupt at (" +
                                    std::to_string(row) + ", " + std::to_string(col) + "))");
}

Dataset::RawChunk Dataset::read_raw_chunk_once(uint64_t row, uint64_t col) const {
    check_open();
    RawChunk chunk = stored_chunk(row, col);
    if (!chunk.exists) return chunk;
    // H5Dread_chunk reads as many bytes as its own index lookup finds, which a
    // malformed chunk index can make differ from the size found above; a
    // buffer of the wrong size would then be overrun.
    const hsize_t offset[2] = {row, col};
    hsize_t read_size = 0;
    checked(H5Dget_chunk_storage_size(id_, offset, &read_size), "Unable to size chunk");
    if (read_size != chunk.bytes.size()) throw corrupt_chunk_index(row, col);
    uint32_t filters = 0;
    checked(H5Dread_chunk(id_, H5P_DEFAULT, offset, &filters, chunk.bytes.data()), "Unable to read chunk");
    chunk.filter_mask = filters;
    return chunk;
}

std::optional<std::pair<uint64_t, uint64_t>> Dataset::chunk_place(uint64_t row, uint64_t col) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    const hsize_t offset[2] = {row, col};
    unsigned mask = 0;
    haddr_t address = HADDR_UNDEF;
    hsize_t size = 0;
    checked(H5Dget_chunk_info_by_coord(id_, offset, &mask, &address, &size), "Unable to locate chunk");
    if (address == HADDR_UNDEF || size == 0) return std::nullopt;
    return std::make_pair(static_cast<uint64_t>(address), static_cast<uint64_t>(size));
}

void Dataset::check_chunk_index() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    check_open();
    const DatasetLayout info = layout();
    const std::optional<Shape2> chunks = matrix_chunks(info);
    if (!chunks) return;
    const hsize_t dims[2] = {info.shape[0], info.shape[1]};
    const hsize_t chunk[2] = {chunks->rows, chunks->cols};
    Space space(checked(H5Dget_space(id_), "Unable to get dataspace"));
    hsize_t count = 0, file_size = 0;
    checked(H5Dget_num_chunks(id_, space.get(), &count), "Unable to count chunks");
    checked(H5Fget_filesize(file_->id, &file_size), "Unable to get file size");
    std::set<std::pair<hsize_t, hsize_t>> seen;
    for (hsize_t i = 0; i < count; ++i) {
        hsize_t offset[2];
        unsigned mask = 0;
        haddr_t address = HADDR_UNDEF;
        hsize_t size = 0;
        checked(H5Dget_chunk_info(id_, space.get(), i, offset, &mask, &address, &size), "Unable to read chunk index");
        const bool on_grid = chunk[0] && chunk[1] && offset[0] % chunk[0] == 0 && offset[1] % chunk[1] == 0 &&
                             offset[0] < dims[0] && offset[1] < dims[1];
        const bool in_file = address != HADDR_UNDEF && size <= file_size && address <= file_size - size;
        if (!on_grid || !in_file || !seen.emplace(offset[0], offset[1]).second) {
            throw Error(ErrorKind::OS, "Unable to read data (the chunk index of '" + name_ + "' is damaged at entry " +
                                           std::to_string(i) + ")");
        }
    }
}

std::optional<std::vector<uint64_t>> Dataset::written_chunk_columns(uint64_t most) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    return settled_value(file_.get(), [&]() -> std::optional<std::vector<uint64_t>> {
        check_open();
        Space space(checked(H5Dget_space(id_), "Unable to get dataspace"));
        hsize_t count = 0;
        checked(H5Dget_num_chunks(id_, space.get(), &count), "Unable to count chunks");
        if (count > most) return std::nullopt;
        std::set<uint64_t> columns;
        for (hsize_t i = 0; i < count; ++i) {
            hsize_t offset[2];
            unsigned mask = 0;
            haddr_t address = HADDR_UNDEF;
            hsize_t size = 0;
            checked(H5Dget_chunk_info(id_, space.get(), i, offset, &mask, &address, &size),
                    "Unable to read chunk index");
            columns.insert(offset[1]);
        }
        return std::vector<uint64_t>(columns.begin(), columns.end());
    });
}

void Dataset::write_raw_chunk(uint64_t row, uint64_t col, const unsigned char *bytes, size_t size) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    const hsize_t offset[2] = {row, col};
    ++file_->changes;
    // Always mask 0 (filtered): a chunk rewritten with another mask keeps the
    // stale one in HDF5 1.10.8 until the file is reopened.
    changed(*file_, H5Dwrite_chunk(id_, H5P_DEFAULT, 0, offset, size, bytes), "Unable to write chunk");
}

void Dataset::save_ahead(const std::vector<std::pair<uint64_t, uint64_t>> &regions) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    journal::Driver::save_ahead(file_->id, regions);
}

}  // namespace quorbel::h5
