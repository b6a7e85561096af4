// Datasets of a factor file: opening and creating them, their layout and
// shape, and blocks of cells through HDF5's pipeline.
#include "datasets.hpp"

#include "file_state.hpp"
#include "hdf5_store_internal.hpp"

#include <hdf5.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace quorbel::h5 {
namespace {

std::string dtype_text(hid_t type) {
    H5T_class_t cls = H5Tget_class(type);
    size_t size = H5Tget_size(type);
    H5T_order_t order = H5Tget_order(type);
    char endian = order == H5T_ORDER_BE ? '>' : '<';
    if (size == 1) endian = '|';
    switch (cls) {
        case H5T_FLOAT: return std::string(1, endian) + "f" + std::to_string(size);
        case H5T_INTEGER:
            return std::string(1, endian) + (H5Tget_sign(type) == H5T_SGN_NONE ? "u" : "i") + std::to_string(size);
        case H5T_STRING: return "|O";
        default: return "|V" + std::to_string(size);
    }
}

void check_block(const Shape2 &shape, const Block &b) {
    if (b.row > shape.rows || b.rows > shape.rows - b.row || b.col > shape.cols || b.cols > shape.cols - b.col) {
        throw Error(ErrorKind::Index, "Block of " + std::to_string(b.rows) + " x " + std::to_string(b.cols) +
                                          " cells at (" + std::to_string(b.row) + ", " + std::to_string(b.col) +
                                          ") lies outside the matrix of shape (" + std::to_string(shape.rows) +
                                          ", " + std::to_string(shape.cols) + ")");
    }
}

Space select_block(hid_t dataset, const Block &b) {
    Space space(checked(H5Dget_space(dataset), "Unable to get dataspace"));
    const hsize_t start[2] = {b.row, b.col};
    const hsize_t count[2] = {b.rows, b.cols};
    checked(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr),
            "Unable to select cells");
    return space;
}

// A block's cells in the file and the same cells packed in memory.
struct BlockSpaces {
    Space file, memory;
};

BlockSpaces block_spaces(hid_t dataset, const Block &b) {
    const hsize_t mem_dims[2] = {b.rows, b.cols};
    Space memory(checked(H5Screate_simple(2, mem_dims, nullptr), "Unable to create dataspace"));
    return {select_block(dataset, b), std::move(memory)};
}

// HDF5 1.10.8 moves an unfiltered chunk by the size its index records; a
// malformed file whose record disagrees with the chunk shape makes it run
// past its buffers. Such chunks are refused before HDF5 touches them.
void check_unfiltered_chunks(hid_t dataset, const Block &b) {
    PropList dcpl(checked(H5Dget_create_plist(dataset), "Unable to get creation properties"));
    if (H5Pget_layout(dcpl.get()) != H5D_CHUNKED || checked(H5Pget_nfilters(dcpl.get()), "Unable to count filters") != 0) {
        return;
    }
    hsize_t chunk[2] = {0, 0};
    if (checked(H5Pget_chunk(dcpl.get(), 2, chunk), "Unable to get chunk shape") != 2 || !chunk[0] || !chunk[1]) return;
    Type type(checked(H5Dget_type(dataset), "Unable to get datatype"));
    const hsize_t chunk_bytes = chunk[0] * chunk[1] * H5Tget_size(type.get());
    for (hsize_t row = b.row / chunk[0] * chunk[0]; row < b.row + b.rows; row += chunk[0]) {
        for (hsize_t col = b.col / chunk[1] * chunk[1]; col < b.col + b.cols; col += chunk[1]) {
            const hsize_t offset[2] = {row, col};
            unsigned mask = 0;
            haddr_t address = HADDR_UNDEF;
            hsize_t size = 0;
            checked(H5Dget_chunk_info_by_coord(dataset, offset, &mask, &address, &size), "Unable to locate chunk");
            if (address != HADDR_UNDEF && size != chunk_bytes) {
                throw Error(ErrorKind::OS, "Unable to access data (the unfiltered chunk at (" + std::to_string(row) +
                                               ", " + std::to_string(col) + ") is recorded with " +
                                               std::to_string(size) + " bytes instead of " +
                                               std::to_string(chunk_bytes) + ")");
            }
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The datasets of a file

bool File::has_dataset(const std::string &name) const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    require_open(state_);
    return settled_value(state_.get(), [&] {
        htri_t exists = H5Lexists(state_->id, name.c_str(), H5P_DEFAULT);
        if (exists < 0) {
            H5Eclear2(H5E_DEFAULT);
            return false;
        }
        if (exists == 0) return false;
        H5O_info_t info;
        if (H5Oget_info_by_name(state_->id, name.c_str(), &info, H5P_DEFAULT) < 0) {
            H5Eclear2(H5E_DEFAULT);
            return false;
        }
        return info.type == H5O_TYPE_DATASET;
    });
}

std::vector<std::string> File::member_names() const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    require_open(state_);
    return settled_value(state_.get(), [&] {
        std::vector<std::string> names;
        auto visit = [](hid_t, const char *name, const H5L_info_t *, void *data) -> herr_t {
            static_cast<std::vector<std::string> *>(data)->emplace_back(name);
            return 0;
        };
        checked(H5Literate(state_->id, H5_INDEX_NAME, H5_ITER_INC, nullptr, visit, &names), "Unable to list members");
        return names;
    });
}

Dataset File::open_dataset(const std::string &name, ChunkCache cache) const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    require_open(state_);
    auto dapl = make_plist(H5P_DATASET_ACCESS);
    if (cache.bytes > 0) {
        checked(H5Pset_chunk_cache(dapl.get(), std::max<size_t>(cache.slots, 521), cache.bytes, 1.0),
                "Unable to set chunk cache");
    }
    // A reader looks the dataset up from one committed state: an object
    // header read while a writer commits may not show it. An identifier
    // from an attempt that is repeated went with the file's reopening.
    const hid_t id = settled_value(state_.get(), [&] {
        if (!has_dataset(name)) {
            throw Error(ErrorKind::Key, "Unable to open object (object '" + name + "' doesn't exist)");
        }
        return checked(H5Dopen2(state_->id, name.c_str(), dapl.get()), "Unable to open dataset");
    });
    return Dataset(state_, id, name);
}

Dataset File::open_dataset_for_columns(const std::string &name) const {
    FileUse use(state_.get(), Access::Read);
    LibraryGuard guard;
    ChunkCache cache;
    {
        Dataset probe = open_dataset(name);
        const DatasetLayout info = probe.layout();
        const std::optional<Shape2> chunks = matrix_chunks(info);
        if (!chunks) return probe;
        cache = column_writer_cache({info.shape[0], info.shape[1]}, *chunks);
    }
    // The library gives every open of a dataset the chunk cache of the open
    // that is already there, so the probe is gone first.
    return open_dataset(name, cache);
}

Dataset File::create_matrix(const std::string &name, Shape2 shape, const MatrixStorage &storage) {
    FileUse use(state_.get(), Access::Change);
    LibraryGuard guard;
    require_open(state_);
    const hsize_t dims[2] = {shape.rows, shape.cols};
    const hsize_t max_dims[2] = {storage.unlimited ? H5S_UNLIMITED : dims[0], storage.unlimited ? H5S_UNLIMITED : dims[1]};
    Space space(checked(H5Screate_simple(2, dims, max_dims), "Unable to create dataspace"));
    auto dcpl = make_plist(H5P_DATASET_CREATE);
    const hsize_t chunk_dims[2] = {storage.chunks.rows, storage.chunks.cols};
    checked(H5Pset_chunk(dcpl.get(), 2, chunk_dims), "Unable to set chunk shape");
    if (storage.deflate_level > 0) {
        checked(H5Pset_deflate(dcpl.get(), static_cast<unsigned>(storage.deflate_level)), "Unable to set DEFLATE filter");
    }
    checked(H5Pset_fill_value(dcpl.get(), H5T_NATIVE_DOUBLE, &storage.fill), "Unable to set fill value");
    hid_t id = checked(H5Dcreate2(state_->id, name.c_str(), H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, dcpl.get(),
                                  H5P_DEFAULT),
                       "Unable to create dataset");
    return Dataset(state_, id, name);
}

// ---------------------------------------------------------------------------
// Dataset

Dataset::Dataset(std::shared_ptr<FileState> file, int64_t id, std::string name)
    : file_(std::move(file)), id_(id), name_(std::move(name)) {
    generation_ = file_->generation;
}

Dataset::Dataset(Dataset &&o) noexcept
    : file_(std::move(o.file_)), id_(std::exchange(o.id_, -1)), generation_(o.generation_), name_(std::move(o.name_)) {}

Dataset &Dataset::operator=(Dataset &&o) noexcept {
    if (this != &o) {
        // Only the identifier is closed here: the members stay alive and are
        // moved into (ending their lifetime first would free them twice).
        close_identifier();
        file_ = std::move(o.file_);
        id_ = std::exchange(o.id_, -1);
        generation_ = o.generation_;
        name_ = std::move(o.name_);
    }
    return *this;
}

Dataset::~Dataset() { close_identifier(); }

void Dataset::close_identifier() noexcept {
    // Once the file is closed its strong close degree has closed this dataset too.
    if (id_ >= 0 && file_) {
        FileUse use(file_.get(), Access::Read, std::nothrow);
        if (use.admitted() && file_->open() && file_->generation == generation_) {
            LibraryGuard guard;
            H5Dclose(id_);
        }
    }
    id_ = -1;
}

void Dataset::check_open() const {
    if (file_) revive(*file_);
    if (id_ < 0 || !file_ || !file_->open()) {
        throw Error(ErrorKind::Value, kDatasetClosed);
    }
    if (file_->generation != generation_ && file_->checked_reads) {
        // Reopened because another process wrote the file: follow it.
        id_ = checked(H5Dopen2(file_->id, name_.c_str(), H5P_DEFAULT), "Unable to open dataset");
        generation_ = file_->generation;
    }
    if (file_->generation != generation_) {
        throw Error(ErrorKind::Value, "Invalid dataset handle: the factor file was reopened after a failed write");
    }
}

// HDF5 1.10.8 can be left unable to close a read-only file after a refused
// direct chunk write, and then crashes at exit; refuse every change up front.
void Dataset::check_writable() const {
    check_open();
    if (!file_->writable) throw Error(ErrorKind::OS, "Unable to write data (no write intent on file)");
    if (file_->change_failed) {
        throw Error(ErrorKind::OS, "Unable to write data (an earlier change to this file failed; "
                                   "close it and open it again before writing)");
    }
}

uint64_t Dataset::change_count() const { return file_ ? file_->changes.load() : 0; }

locking::Mode Dataset::locking_mode() const { return file_ ? file_->locking : locking::mode(); }

Error Dataset::kept_changing(const char *what) const {
    if (!file_) return Error(ErrorKind::Value, kDatasetClosed);
    return locking::kept_changing(file_->path, file_->journal, file_->locking, what);
}

DatasetLayout Dataset::layout() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    return settled_value(file_.get(), [&] {
        check_open();
        DatasetLayout out;
        Space space(checked(H5Dget_space(id_), "Unable to get dataspace"));
        int rank = checked(H5Sget_simple_extent_ndims(space.get()), "Unable to get rank");
        out.rank = rank;
        std::vector<hsize_t> dims(rank), max_dims(rank);
        checked(H5Sget_simple_extent_dims(space.get(), dims.data(), max_dims.data()), "Unable to get extent");
        for (int i = 0; i < rank; ++i) {
            out.shape.push_back(dims[i]);
            out.max_shape.push_back(max_dims[i] == H5S_UNLIMITED ? kUnlimited : max_dims[i]);
        }
        Type type(checked(H5Dget_type(id_), "Unable to get datatype"));
        out.dtype = dtype_text(type.get());
        PropList dcpl(checked(H5Dget_create_plist(id_), "Unable to get creation properties"));
        if (H5Pget_layout(dcpl.get()) == H5D_CHUNKED) {
            std::vector<hsize_t> chunk(std::max(rank, 1));
            checked(H5Pget_chunk(dcpl.get(), rank, chunk.data()), "Unable to get chunk shape");
            out.chunks.assign(chunk.begin(), chunk.begin() + rank);
        }
        int nfilters = checked(H5Pget_nfilters(dcpl.get()), "Unable to count filters");
        for (int i = 0; i < nfilters; ++i) {
            unsigned flags = 0;
            size_t n_values = 16;
            unsigned values[16];
            char name[256] = {0};
            unsigned config = 0;
            H5Z_filter_t id = H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &n_values, values,
                                             sizeof(name), name, &config);
            if (id < 0) raise_from_stack("Unable to read filter");
            FilterInfo info;
            info.id = static_cast<int>(id);
            info.name = name;
            info.options.assign(values, values + std::min<size_t>(n_values, 16));
            out.filters.push_back(std::move(info));
        }
        H5D_fill_value_t status;
        if (H5Pfill_value_defined(dcpl.get(), &status) >= 0 && status != H5D_FILL_VALUE_UNDEFINED &&
            H5Tget_class(type.get()) == H5T_FLOAT) {
            double fill = 0;
            if (H5Pget_fill_value(dcpl.get(), H5T_NATIVE_DOUBLE, &fill) >= 0) out.fill_value = fill;
        }
        H5Eclear2(H5E_DEFAULT);
        return out;
    });
}

Shape2 Dataset::shape() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    return settled_value(file_.get(), [&]() -> Shape2 {
        check_open();
        Space space(checked(H5Dget_space(id_), "Unable to get dataspace"));
        if (H5Sget_simple_extent_ndims(space.get()) != 2) {
            throw Error(ErrorKind::Value, "Dataset '" + name_ + "' is not a two-dimensional matrix");
        }
        hsize_t dims[2];
        checked(H5Sget_simple_extent_dims(space.get(), dims, nullptr), "Unable to get extent");
        return {dims[0], dims[1]};
    });
}

Shape2 Dataset::chunk_shape() const {
    const std::optional<Shape2> chunks = matrix_chunks(layout());
    if (!chunks) throw Error(ErrorKind::Value, "Dataset '" + name_ + "' is not a chunked two-dimensional matrix");
    return *chunks;
}

void Dataset::resize(Shape2 shape) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    const hsize_t dims[2] = {shape.rows, shape.cols};
    ++file_->changes;
    changed(*file_, H5Dset_extent(id_, dims), "Unable to resize dataset");
}

void Dataset::check_inside(const Block &block) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    read_settled(file_.get(), [&] {
        check_open();
        check_block(shape(), block);
    });
}

void Dataset::read(const Block &block, double *out) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    read_settled(file_.get(), [&] {
        check_open();
        check_block(shape(), block);
        if (block.rows == 0 || block.cols == 0) return;
        check_unfiltered_chunks(id_, block);
        const BlockSpaces spaces = block_spaces(id_, block);
        checked(H5Dread(id_, H5T_NATIVE_DOUBLE, spaces.memory.get(), spaces.file.get(), H5P_DEFAULT, out),
                "Unable to read data");
    });
}

void Dataset::write(const Block &block, const double *in) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    check_block(shape(), block);
    if (block.rows == 0 || block.cols == 0) return;
    check_unfiltered_chunks(id_, block);
    const BlockSpaces spaces = block_spaces(id_, block);
    ++file_->changes;
    changed(*file_, H5Dwrite(id_, H5T_NATIVE_DOUBLE, spaces.memory.get(), spaces.file.get(), H5P_DEFAULT, in),
            "Unable to write data");
}

}  // namespace quorbel::h5
