// Factor files: the handle the caller owns, creation, opening, rewriting and
// removal.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "storage/chunk_io.hpp"
#include "storage/file_locking.hpp"
#include "detail.hpp"
#include "storage/journal.hpp"
#include "storage/posix_files.hpp"

using namespace nb::literals;

namespace quorbel {
namespace {

// ---------------------------------------------------------------------------
// The dataset view: h5["data"], small on purpose.

// The views open the dataset for each operation instead of holding it open:
// HDF5 gives every later open of an open dataset the chunk cache of the
// first, which would undo the caches the readers and writers size.
struct DatasetView {
    h5::File file;
    std::string name;
    h5::Dataset open() const { return file.open_dataset(name); }
    // A cache too small for any chunk: HDF5 then stores each chunk as the
    // write reaches it and stops at the first that fails. Chunks held back
    // for the close would be written in one go, where one failure frees a
    // chunk's old place for the next chunk while the index still points
    // there, and where the close cannot even report the failure.
    h5::Dataset open_for_writing() const { return file.open_dataset(name, h5::ChunkCache{1, 1}); }
};

struct AttributeView {
    h5::File file;
    std::string name;
    h5::Dataset open() const { return file.open_dataset(name); }
};

nb::object numpy() { return nb::module_::import_("numpy"); }

// Every change through the views is a write transaction of its own, as a
// writer's date is: it reaches the file and is synced before the call
// returns, so HDF5 holds nothing back for a later flush or close, which a
// full disk could stop half-way through the metadata and leave the file
// unreadable. A failed change is undone by the journal and the handle
// reopened. A handle that cannot be written is left to `change` to refuse,
// with the error it has always given. Runs without the GIL.
template <typename Change>
void change_in_transaction(h5::File &file, Change change) {
    if (!file.writable()) {
        change();
        return;
    }
    h5::WriteTransaction transaction(file);
    change();
    transaction.commit();
}

// HDF5 names and variable-length strings are C strings: a NUL would cut them
// short, so that "data\0x" would open "data" and "a\0b" overwrite "a".
const std::string &without_nul(const std::string &text, const char *what) {
    if (text.find('\0') != std::string::npos) {
        throw nb::value_error((std::string(what) + " cannot contain a NUL character").c_str());
    }
    return text;
}

const std::string &object_name(const std::string &name) {
    if (name.empty()) throw nb::value_error("HDF5 names cannot be empty");
    return without_nul(name, "HDF5 names");
}

// What `name in ...` may look up: a name object_name accepts; anything else
// is simply absent.
std::optional<std::string> lookup_name(nb::handle name) {
    if (!PyUnicode_Check(name.ptr())) return std::nullopt;
    std::string text = nb::cast<std::string>(name);
    if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
    return text;
}

// --- attribute values between Python and plain C++ -------------------------

nb::object attribute_to_python(const h5::AttrValue &value) {
    if (value.kind == h5::AttrValue::Kind::Text) {
        nb::list items;
        for (const auto &t : value.texts) items.append(nb::str(t.c_str(), t.size()));
        if (value.dims.empty()) return items[0];
        return numpy().attr("array")(items, "dtype"_a = "object").attr("reshape")(nb::cast(value.dims));
    }
    const char *code = value.kind == h5::AttrValue::Kind::Float      ? "f"
                       : value.kind == h5::AttrValue::Kind::Unsigned ? "u"
                                                                     : "i";
    std::string dtype = std::string("=") + code + std::to_string(value.element_size);
    nb::bytes raw(reinterpret_cast<const char *>(value.numbers.data()), value.numbers.size());
    nb::object array = numpy().attr("frombuffer")(raw, "dtype"_a = dtype).attr("copy")();
    if (value.dims.empty()) return array[nb::int_(0)];
    return array.attr("reshape")(nb::cast(value.dims));
}

h5::AttrValue attribute_from_python(nb::handle object) {
    nb::object np = numpy();
    h5::AttrValue value;
    if (PyUnicode_Check(object.ptr())) {
        value.kind = h5::AttrValue::Kind::Text;
        value.texts.push_back(without_nul(nb::cast<std::string>(object), "attribute text"));
        return value;
    }
    if (PyLong_Check(object.ptr()) && !PyBool_Check(object.ptr())) {
        // A Python int is stored as a signed 64-bit scalar.
        long long v = PyLong_AsLongLong(object.ptr());
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return h5::AttrValue::int64_scalar(v);
    }
    nb::object array = np.attr("asarray")(object);
    std::string kind = nb::cast<std::string>(array.attr("dtype").attr("kind"));
    size_t itemsize = nb::cast<size_t>(array.attr("dtype").attr("itemsize"));
    for (auto d : nb::cast<std::vector<uint64_t>>(array.attr("shape"))) value.dims.push_back(d);
    if (kind == "U" || kind == "O" || kind == "S") {
        value.kind = h5::AttrValue::Kind::Text;
        for (nb::handle item : array.attr("ravel")()) {
            if (PyBytes_Check(item.ptr())) {
                value.texts.push_back(without_nul(std::string(PyBytes_AsString(item.ptr()), PyBytes_Size(item.ptr())),
                                                  "attribute text"));
            } else if (PyUnicode_Check(item.ptr())) {
                value.texts.push_back(without_nul(nb::cast<std::string>(item), "attribute text"));
            } else {
                throw nb::type_error(("attribute text arrays hold str only, not " + python_type_name(item)).c_str());
            }
        }
        return value;
    }
    if (kind != "i" && kind != "u" && kind != "f" && kind != "b") {
        throw nb::type_error(("cannot store a value of type " + python_type_name(object) + " as an attribute").c_str());
    }
    if (kind == "b") {
        kind = "i";
        itemsize = 1;
        array = array.attr("astype")("int8");
    }
    if (kind == "f" && itemsize != 4) itemsize = 8;
    value.kind = kind == "f" ? h5::AttrValue::Kind::Float
                 : kind == "u" ? h5::AttrValue::Kind::Unsigned
                               : h5::AttrValue::Kind::Signed;
    value.element_size = itemsize;
    std::string dtype = std::string("=") + kind + std::to_string(itemsize);
    nb::bytes raw = nb::borrow<nb::bytes>(
        np.attr("ascontiguousarray")(array, "dtype"_a = dtype).attr("tobytes")());
    value.numbers.assign(reinterpret_cast<const unsigned char *>(raw.c_str()),
                         reinterpret_cast<const unsigned char *>(raw.c_str()) + raw.size());
    return value;
}

// --- NumPy-style basic indexing of a two-dimensional matrix ----------------

struct AxisPick {
    uint64_t start = 0;
    uint64_t count = 0;
    bool scalar = false;  // an integer index drops the axis from the result
};

AxisPick pick_axis(nb::handle key, uint64_t length, int axis) {
    AxisPick pick;
    if (PySlice_Check(key.ptr())) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key.ptr(), &start, &stop, &step) < 0) throw nb::python_error();
        if (step != 1) throw nb::value_error("only slices with step 1 are supported");
        Py_ssize_t n = PySlice_AdjustIndices(static_cast<Py_ssize_t>(length), &start, &stop, step);
        pick.start = static_cast<uint64_t>(start);
        pick.count = static_cast<uint64_t>(n);
        return pick;
    }
    if (const std::optional<Integer> index = integer_of(key)) {
        // Clamped beyond 64 bits, so it falls outside the axis below.
        const int64_t i = index->value;
        const int64_t n = static_cast<int64_t>(length);
        if (i < -n || i >= n) {
            throw nb::index_error(("index " + std::to_string(i) + " is out of range for axis " +
                                   std::to_string(axis) + " with size " + std::to_string(length))
                                      .c_str());
        }
        pick.start = static_cast<uint64_t>(i < 0 ? i + n : i);
        pick.count = 1;
        pick.scalar = true;
        return pick;
    }
    throw nb::type_error(("matrix indices must be integers, slices or ..., not " + python_type_name(key)).c_str());
}

struct Selection {
    AxisPick rows, cols;
    h5::Block block() const { return {rows.start, rows.count, cols.start, cols.count}; }
    std::vector<size_t> result_shape() const {
        std::vector<size_t> shape;
        if (!rows.scalar) shape.push_back(rows.count);
        if (!cols.scalar) shape.push_back(cols.count);
        return shape;
    }
};

Selection select(nb::handle key, h5::Shape2 shape) {
    std::vector<nb::handle> parts;
    if (PyTuple_Check(key.ptr())) {
        for (nb::handle item : nb::borrow<nb::tuple>(key)) parts.push_back(item);
    } else {
        parts.push_back(key);
    }
    nb::handle full = PySlice_New(nullptr, nullptr, nullptr);
    nb::object owned_full = nb::steal(full);
    std::vector<nb::handle> axes;
    bool seen_ellipsis = false;
    for (auto part : parts) {
        if (part.ptr() == Py_Ellipsis) {
            if (seen_ellipsis) throw nb::index_error("an index can only have a single ellipsis ('...')");
            seen_ellipsis = true;
            size_t fill = 2 - (parts.size() - 1);
            if (parts.size() - 1 > 2) throw nb::index_error("too many indices for a two-dimensional matrix");
            for (size_t i = 0; i < fill; ++i) axes.push_back(full);
        } else {
            axes.push_back(part);
        }
    }
    if (axes.size() > 2) throw nb::index_error("too many indices for a two-dimensional matrix");
    while (axes.size() < 2) axes.push_back(full);
    return {pick_axis(axes[0], shape.rows, 0), pick_axis(axes[1], shape.cols, 1)};
}

nb::object dataset_read(DatasetView &view, nb::handle key) {
    h5::Dataset dataset = view.open();
    Selection sel = select(key, dataset.shape());
    double *data = nullptr;
    FloatArray out = new_float_array(sel.result_shape(), &data);
    {
        nb::gil_scoped_release release;
        dataset.read(sel.block(), data);
    }
    if (sel.rows.scalar && sel.cols.scalar) return nb::float_(data[0]);
    return nb::cast(out);
}

void dataset_write(DatasetView &view, nb::handle key, nb::handle value) {
    h5::Dataset dataset = view.open_for_writing();
    Selection sel = select(key, dataset.shape());
    nb::object np = numpy();
    auto shape = sel.result_shape();
    nb::object array = np.attr("ascontiguousarray")(
        np.attr("broadcast_to")(np.attr("asarray")(value, "dtype"_a = "f8"), nb::cast(shape)), "dtype"_a = "f8");
    auto cells = nb::cast<nb::ndarray<const double, nb::c_contig>>(array);
    nb::gil_scoped_release release;
    change_in_transaction(view.file, [&] { dataset.write(sel.block(), cells.data()); });
}

h5::Shape2 shape_argument(nb::handle shape, const char *what);

// A factor matrix only grows. Shrinking would drop cells, and HDF5 prunes
// by walking the whole old chunk grid, which takes hours for a huge extent.
void refuse_shrinking(h5::Shape2 current, h5::Shape2 target) {
    if (target.rows < current.rows || target.cols < current.cols) {
        throw h5::Error(h5::ErrorKind::Value, "A factor matrix never shrinks: cannot resize " + shape_text(current) +
                                                  " to " + shape_text(target));
    }
}

nb::object dtype_object(const std::string &text) { return numpy().attr("dtype")(text); }

nb::object optional_tuple(const std::vector<uint64_t> &values, bool unlimited_as_none) {
    if (values.empty()) return nb::none();
    nb::list items;
    for (auto v : values) {
        if (unlimited_as_none && v == h5::kUnlimited) {
            items.append(nb::none());
        } else {
            items.append(nb::int_(v));
        }
    }
    return nb::tuple(items);
}

void bind_dataset_view(nb::module_ &m) {
    nb::class_<AttributeView>(m, "AttributeView", "The attributes of a dataset, as a mapping.")
        .def("__getitem__", [](AttributeView &a, const std::string &name) {
            return attribute_to_python(a.open().read_attribute(object_name(name)));
        })
        .def("get", [](AttributeView &a, const std::string &name, nb::object fallback) -> nb::object {
            if (!a.open().has_attribute(object_name(name))) return fallback;
            return attribute_to_python(a.open().read_attribute(name));
        }, nb::arg("name"), nb::arg("default") = nb::none())
        .def("__setitem__", [](AttributeView &a, const std::string &name, nb::handle value) {
            h5::Dataset dataset = a.open();
            const h5::AttrValue stored = attribute_from_python(value);
            object_name(name);
            nb::gil_scoped_release release;
            change_in_transaction(a.file, [&] { dataset.write_attribute(name, stored); });
        })
        .def("__delitem__", [](AttributeView &a, const std::string &name) {
            h5::Dataset dataset = a.open();
            object_name(name);
            nb::gil_scoped_release release;
            // A missing name is refused before the transaction: a KeyError
            // is no reason to undo and reopen the file.
            if (a.file.writable() && !dataset.has_attribute(name)) {
                throw h5::Error(h5::ErrorKind::Key, "Can't delete attribute (attribute '" + name + "' doesn't exist)");
            }
            change_in_transaction(a.file, [&] { dataset.delete_attribute(name); });
        })
        .def("__contains__", [](AttributeView &a, nb::handle name) {
            auto text = lookup_name(name);
            return text && a.open().has_attribute(*text);
        }, nb::arg().none())
        .def("keys", [](AttributeView &a) { return a.open().attribute_names(); })
        .def("__iter__", [](AttributeView &a) { return nb::iter(nb::cast(a.open().attribute_names())); })
        .def("__len__", [](AttributeView &a) { return a.open().attribute_names().size(); });

    nb::class_<DatasetView>(m, "DatasetView", "The factor matrix `data` of an open factor file.")
        .def_prop_ro("name", [](DatasetView &d) { return "/" + d.name; })
        .def_prop_ro("shape", [](DatasetView &d) { return optional_tuple(d.open().layout().shape, false); })
        .def_prop_ro("dtype", [](DatasetView &d) { return dtype_object(d.open().layout().dtype); })
        .def_prop_ro("chunks", [](DatasetView &d) { return optional_tuple(d.open().layout().chunks, false); })
        .def_prop_ro("maxshape", [](DatasetView &d) { return optional_tuple(d.open().layout().max_shape, true); })
        .def_prop_ro("compression", [](DatasetView &d) -> nb::object {
            for (const auto &f : d.open().layout().filters) {
                if (f.id == 1) return nb::str("gzip");
            }
            return nb::none();
        })
        .def_prop_ro("compression_opts", [](DatasetView &d) -> nb::object {
            for (const auto &f : d.open().layout().filters) {
                if (f.id == 1 && !f.options.empty()) return nb::int_(f.options[0]);
            }
            return nb::none();
        })
        .def_prop_ro("fillvalue", [](DatasetView &d) {
            auto fill = d.open().layout().fill_value;
            return fill ? *fill : 0.0;
        })
        .def_prop_ro("attrs", [](DatasetView &d) { return AttributeView{d.file, d.name}; })
        .def("resize", [](DatasetView &d, nb::handle shape) {
            h5::Shape2 target = shape_argument(shape, "shape");
            nb::gil_scoped_release release;
            h5::ChangeScope alone(d.file);  // no other writer between the check and the resize
            h5::Dataset dataset = d.open();
            refuse_shrinking(dataset.shape(), target);
            change_in_transaction(d.file, [&] { dataset.resize(target); });
        }, nb::arg("shape"))
        .def("__len__", [](DatasetView &d) { return d.open().shape().rows; })
        .def("__getitem__", &dataset_read)
        .def("__setitem__", &dataset_write);
}

void bind_factor_file(nb::module_ &m) {
    nb::class_<FactorFile>(m, "FactorFile",
                           "An open factor file. The caller owns it and closes it (or uses it in a with block).")
        .def("close", [](FactorFile &f) {
            nb::gil_scoped_release release;
            f.file.close();
        })
        .def("flush", [](FactorFile &f) {
            nb::gil_scoped_release release;
            f.file.flush();
        })
        .def_prop_ro("filename", [](FactorFile &f) { return f.file.name(); })
        .def_prop_ro("mode", [](FactorFile &f) {
            if (!f.file.is_open()) throw nb::value_error("Invalid file handle: the factor file is closed");
            return f.file.mode();
        })
        .def("__bool__", [](FactorFile &f) { return f.file.is_open(); })
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__exit__", [](FactorFile &f, nb::args) {
            nb::gil_scoped_release release;
            f.file.close();
        })
        .def("__contains__", [](FactorFile &f, nb::handle name) {
            auto text = lookup_name(name);
            return text && f.file.has_dataset(*text);
        }, nb::arg().none())
        .def("keys", [](FactorFile &f) { return f.file.member_names(); })
        .def("__getitem__", [](FactorFile &f, const std::string &name) {
            f.file.open_dataset(object_name(name));  // KeyError now for a missing name
            return DatasetView{f.file, name};
        })
        .def("__repr__", [](FactorFile &f) {
            std::string state = f.file.is_open() ? "mode '" + f.file.mode() + "'" : "closed";
            return "<FactorFile '" + f.file.name() + "' (" + state + ")>";
        });
}

// ---------------------------------------------------------------------------
// Creation

h5::Shape2 shape_argument(nb::handle shape, const char *what) {
    if (!PyTuple_Check(shape.ptr()) && !PyList_Check(shape.ptr())) {
        throw nb::type_error((std::string(what) + " must be a pair (rows, columns) of integers, not " +
                              python_type_name(shape))
                                 .c_str());
    }
    nb::sequence items = nb::borrow<nb::sequence>(shape);
    if (nb::len(items) != 2) {
        throw nb::value_error((std::string(what) + " must have exactly two entries (rows, columns), not " +
                               std::to_string(nb::len(items)))
                                  .c_str());
    }
    uint64_t sizes[2];
    for (size_t i = 0; i < 2; ++i) {
        nb::object item = items[i];
        const std::optional<Integer> number = integer_of(item);
        if (!number) {
            throw nb::type_error((std::string(what) + " entries must be integers, not " + python_type_name(item)).c_str());
        }
        if (number->overflow > 0) throw nb::value_error((std::string(what) + " entries must be below 2**63").c_str());
        if (number->overflow < 0) throw nb::value_error((std::string(what) + " entries must not be negative").c_str());
        if (number->value < 0) {
            throw nb::value_error((std::string(what) + " entries must not be negative, got " +
                                   std::to_string(number->value))
                                      .c_str());
        }
        sizes[i] = static_cast<uint64_t>(number->value);
    }
    return {sizes[0], sizes[1]};
}

int errno_of(int result) { return result == 0 ? 0 : errno; }

// The text an exclusive create at `path` fails with, as HDF5's own would be,
// naming the path the caller gave and not the temporary one.
h5::Error creation_error(const std::string &path, int error) {
    return h5::Error(h5::ErrorKind::OS,
                     "Unable to create file (unable to open file: name = '" + path + "', errno = " +
                         std::to_string(error) + ", error message = '" + std::strerror(error) +
                         "', flags = 15, o_flags = c2)",
                     error);
}

// A failed system call on the file at `path`, as an OSError-kind error.
h5::Error system_error(const std::string &what, const std::string &path, int error) {
    return h5::Error(h5::ErrorKind::OS,
                     what + " (name = '" + path + "', errno = " + std::to_string(error) + ", error message = '" +
                         std::strerror(error) + "')",
                     error);
}

// An error met while building under `temporary`, as it reads at `path`.
h5::Error renamed_error(const h5::Error &e, const std::string &temporary, const std::string &path) {
    std::string text = e.what();
    for (auto at = text.find(temporary); at != std::string::npos; at = text.find(temporary, at + path.size())) {
        text.replace(at, temporary.size(), path);
    }
    return h5::Error(e.kind(), text, e.error_number());
}

// A new factor file being built under a hidden temporary name beside its
// path; nobody else knows the name, so nobody sees the file half-made.
struct AsideFile {
    h5::File file;
    std::string temporary;
    posix::Fd fd;  // the same file: syncs it without a lookup by name

    // Drops the file and its name; for a failure before it is published.
    void discard() noexcept {
        file.close_discarding();
        fd.reset();
        ::unlink(temporary.c_str());
    }
};

// What a rewrite asks of the creation that it calls through the module: build
// the new file aside, with the old file's owner and permission bits, and hand
// it over unpublished; the rewrite publishes it over the old one.
struct AsideRequest {
    std::string path;
    posix::Owner like;
    bool taken = false;
    std::optional<AsideFile> built;
};

// The request lives in the thread's state dictionary, not in a C++
// thread_local: the command line's copy of the engine runs the rewrite and
// calls the module's create_new_factor_h5, which is the other copy's.
constexpr const char *kAsideKey = "quorbel.rewrite_aside";

AsideRequest *pending_aside() {
    PyObject *state = PyThreadState_GetDict();
    PyObject *capsule = state ? PyDict_GetItemString(state, kAsideKey) : nullptr;
    if (!capsule) return nullptr;
    return static_cast<AsideRequest *>(PyCapsule_GetPointer(capsule, kAsideKey));
}

// Offers the request to the creation called within its lifetime, on this
// thread only.
class PendingAside {
public:
    explicit PendingAside(AsideRequest &request) : state_(PyThreadState_GetDict()) {
        if (!state_) throw std::runtime_error("no thread state dictionary for the rewrite");
        previous_ = nb::borrow(PyDict_GetItemString(state_, kAsideKey));
        nb::object capsule = nb::steal(PyCapsule_New(&request, kAsideKey, nullptr));
        if (!capsule.is_valid() || PyDict_SetItemString(state_, kAsideKey, capsule.ptr()) != 0) {
            throw nb::python_error();
        }
    }
    PendingAside(const PendingAside &) = delete;
    PendingAside &operator=(const PendingAside &) = delete;
    ~PendingAside() {
        const int result = previous_.is_valid() ? PyDict_SetItemString(state_, kAsideKey, previous_.ptr())
                                                : PyDict_DelItemString(state_, kAsideKey);
        if (result != 0) PyErr_Clear();
    }

private:
    PyObject *state_;  // borrowed: lives as long as the thread
    nb::object previous_;
};

// Creates the temporary and the empty matrix in it. Sets `made` once the
// temporary exists; on failure it is gone again.
AsideFile build_aside(const std::string &path, h5::Shape2 shape, const posix::Owner *like, bool &made) {
    AsideFile aside;
    aside.temporary = posix::temporary_sibling(path);
    aside.fd = posix::create_empty(aside.temporary, like);
    if (!aside.fd) {
        const int error = errno;
        throw creation_error(path, error);
    }
    made = true;
    try {
        aside.file = h5::File::create_in_empty(aside.temporary);
        aside.file.create_factor_dataset("data", shape, h5::automatic_chunk_shape(shape));
        aside.file.flush();
    } catch (const h5::Error &e) {
        aside.discard();
        throw renamed_error(e, aside.temporary, path);
    } catch (...) {
        aside.discard();
        throw;
    }
    return aside;
}

// Syncs the new file, puts it at `path` unless something is there already
// (`lost_race` then), and syncs the directory, so that a power loss after
// this returns still finds the whole file. The handle stays open throughout
// and names `path` afterwards.
void publish_created(AsideFile &aside, const std::string &path, bool &lost_race) {
    bool published = false;
    try {
        const int sync_error = errno_of(::fsync(aside.fd.get()));
        if (sync_error != 0) throw system_error("Unable to sync the new file", path, sync_error);
        const int error = posix::publish_new(aside.temporary, path);
        if (error == EEXIST) lost_race = true;
        if (error != 0) throw creation_error(path, error);
        published = true;
        aside.file.published_as(path);
        const int directory_error = posix::sync_directory_of(path);
        if (directory_error != 0) {
            throw system_error("Unable to sync the directory of the new file", path, directory_error);
        }
    } catch (...) {
        if (published) {
            // Withdrawn while this call still holds its lock: nobody has it open.
            struct stat at_path, ours;
            if (::lstat(path.c_str(), &at_path) == 0 && ::fstat(aside.fd.get(), &ours) == 0 &&
                at_path.st_dev == ours.st_dev && at_path.st_ino == ours.st_ino) {
                ::unlink(path.c_str());
            }
        }
        aside.discard();
        throw;
    }
}

nb::object create_new_factor_h5(nb::handle path, nb::handle shape) {
    const std::string file_path = path_argument(path);
    const h5::Shape2 matrix_shape = shape_argument(shape, "shape");
    use_file_locking_setting();
    log_info("create factor %s", path);
    AsideRequest *request = pending_aside();
    if (request && (request->taken || request->path != file_path)) request = nullptr;
    if (request) request->taken = true;
    bool made = false, lost_race = false;
    h5::File file;
    try {
        nb::gil_scoped_release release;
        if (!request) {
            posix::remove_dead_temporaries(file_path);
            // Building a whole file only to find the path taken is wasted work.
            struct stat st;
            if (::lstat(file_path.c_str(), &st) == 0) throw creation_error(file_path, EEXIST);
        }
        AsideFile aside = build_aside(file_path, matrix_shape, request ? &request->like : nullptr, made);
        file = aside.file;
        if (request) {
            request->built = std::move(aside);
        } else {
            publish_created(aside, file_path, lost_race);
        }
    } catch (const std::exception &) {
        // Another process creating the same path first is no failure of this
        // file's making, as an exclusive create that finds the path taken.
        if (made && !lost_race) log_error("create factor %s failed", path);
        throw;
    }
    log_info("finish create factor %s", path);
    return nb::cast(FactorFile{std::move(file)});
}

// ---------------------------------------------------------------------------
// Opening

// A reader waiting for a file gives up on failures that are not lock
// contention after this many attempts: a file that is not HDF5, a directory
// or one without permission never starts to open by waiting.
constexpr int kMaxUnlockedOpenFailures = 5;
// The pause between read attempts grows by `rate` but never beyond this, so
// that a reader notices a released lock within half a minute.
constexpr double kMaxReadPauseSeconds = 30.0;

bool path_exists(const std::string &path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;  // follows links: a dangling one is missing
}

// Lock contention is EAGAIN: errno 11 on Linux, 35 on BSD systems, whose
// error texts a shared file system may pass on; the holder will release it.
bool is_lock_contention(const h5::Error &failure) {
    const int error = failure.error_number();
    return error == EAGAIN || error == 35;
}

double seconds_argument(nb::handle value, const char *name) {
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) {
        // Other failures (an int too large for a float) keep their own kind.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        throw nb::type_error((std::string(name) + " must be a number of seconds, not " + python_type_name(value)).c_str());
    }
    if (!(seconds >= 0)) throw nb::value_error((std::string(name) + " must be a non-negative number").c_str());
    return seconds;
}

bool is_dangling_link(const std::string &path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && !path_exists(path);
}

// Opens the file (undoing an unfinished write first) and logs any journal
// that the open set aside, whether the open succeeds or not.
h5::File open_logging_set_aside(const std::string &file_path, bool writable) {
    h5::File file;
    try {
        nb::gil_scoped_release release;
        file = h5::File::open(file_path, writable);
    } catch (...) {
        log_set_aside_journals();
        throw;
    }
    log_set_aside_journals();
    return file;
}

nb::object open_for_writing(nb::handle path, const std::string &file_path) {
    if (is_dangling_link(file_path)) {
        // Exclusive creation never follows a link, so creating here could only
        // fail with "file exists", which the retry wrapper would not count.
        PyErr_SetObject(PyExc_FileNotFoundError,
                        nb::make_tuple(ENOENT, "Unable to create file (the path is a symbolic link to a file "
                                               "that does not exist; create the target or remove the link)",
                                       path)
                            .ptr());
        throw nb::python_error();
    }
    if (!path_exists(file_path)) {
        const size_t instruments = nb::len(module_attr("_get_all_instrument_index")());
        const size_t dates = nb::len(module_attr("get_all_trading_dates")());
        const uint64_t rows = grown_length(instruments, "EXPAND_INSTRUMENT_LENGTH");
        const uint64_t cols = grown_length(dates, "EXPAND_TRADING_DATE_LENGTH");
        return module_attr("create_new_factor_h5")(path, nb::make_tuple(rows, cols));
    }
    return nb::cast(FactorFile{open_logging_set_aside(file_path, true)});
}

nb::object open_for_reading(const std::string &file_path, nb::handle read_wait, nb::handle rate) {
    if (!path_exists(file_path)) return nb::none();
    double seconds = std::min(seconds_argument(read_wait, "read_wait"), kMaxReadPauseSeconds);
    const double growth = seconds_argument(rate, "rate");
    nb::object sleep = nb::module_::import_("time").attr("sleep");
    int unlocked_failures = 0;
    while (true) {
        try {
            return nb::cast(FactorFile{open_logging_set_aside(file_path, false)});
        } catch (const h5::Error &failure) {
            if (failure.kind() != h5::ErrorKind::OS) throw;
            nb::object error = exception_object(failure);
            log_record(kError, error, nb::tuple());
            // A file removed meanwhile will not come back by waiting.
            if (!path_exists(file_path)) return nb::none();
            if (!is_lock_contention(failure) && ++unlocked_failures >= kMaxUnlockedOpenFailures) {
                raise_python(failure);
            }
        }
        sleep(seconds);  // time.sleep releases the GIL
        // A pause of 0 stays 0, also for an infinite rate (0 * inf is NaN).
        seconds = seconds > 0 ? std::min(seconds * growth, kMaxReadPauseSeconds) : 0.0;
    }
}

nb::object get_h5(nb::handle path, nb::handle write, nb::handle read_wait, nb::handle rate) {
    const std::string file_path = path_argument(path);
    use_file_locking_setting();
    int wants_write = PyObject_IsTrue(write.ptr());
    if (wants_write < 0) throw nb::python_error();
    if (wants_write) return open_for_writing(path, file_path);
    return open_for_reading(file_path, read_wait, rate);
}

// ---------------------------------------------------------------------------
// Rewriting and removal

// A failed system call as the OSError kind its errno names, like os.remove's.
[[noreturn]] void raise_os_error(int error, nb::handle filename, nb::handle filename2 = nb::handle()) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, filename.ptr(), filename2.ptr());
    throw nb::python_error();
}

// Runs `call` (returning 0 or an errno) without the GIL; raises its failure.
template <typename Call>
void system_call(Call call, nb::handle filename, nb::handle filename2 = nb::handle()) {
    int error = 0;
    {
        nb::gil_scoped_release release;
        error = call();
    }
    if (error != 0) raise_os_error(error, filename, filename2);
}

// What a rewrite carries from the old file to the new one.
struct FactorCopy {
    h5::Shape2 shape;
    std::unique_ptr<double[]> cells;  // row-major, shape.rows x shape.cols
    h5::AttributeSnapshot attributes;
    std::optional<uint64_t> frontier;  // cursor_col, when it is a column
};

size_t cell_count(h5::Shape2 shape) {
    if (shape.cols != 0 && shape.rows > std::numeric_limits<size_t>::max() / sizeof(double) / shape.cols) {
        throw std::bad_alloc();
    }
    return static_cast<size_t>(shape.rows * shape.cols);
}

// The old file, kept open read-only until its replacement is published: its
// shared lock keeps writers out, so no date written meanwhile is lost.
struct OldFactor {
    h5::File file;
    h5::DiskIdentity identity;
    posix::Owner owner;
    FactorCopy copy;
};

// Which file `path` names now (following a link, as opening does).
std::optional<h5::DiskIdentity> identity_at(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return h5::DiskIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// The path no longer holds the file being rewritten: another process removed
// or replaced it, and its doing stands.
h5::Error path_changed(const std::string &path) {
    const bool gone = !identity_at(path) && errno == ENOENT;
    return h5::Error(h5::ErrorKind::OS,
                     "Rewriting " + path + " failed: " +
                         (gone ? std::string("the file was removed meanwhile")
                               : std::string("another file now stands at that path")) +
                         "; the new copy was dropped",
                     gone ? ENOENT : EEXIST);
}

void read_old_factor(const std::string &path, OldFactor &old) {
    old.file = h5::File::open(path, false);
    old.identity = old.file.disk_identity();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw path_changed(path);
    if (!(old.identity == h5::DiskIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)})) {
        throw path_changed(path);
    }
    old.owner = {static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
    FactorCopy &copy = old.copy;
    h5::Dataset data = old.file.open_dataset("data");
    copy.shape = data.shape();
    // A chunk whose index entry is damaged would read as never written
    // and be missing, unnoticed, from the fresh copy.
    data.check_chunk_index();
    copy.cells.reset(new double[std::max<size_t>(cell_count(copy.shape), 1)]);
    chunks::read_matrix(data, copy.cells.get());
    copy.attributes = data.read_all_attributes();
    try {
        const auto cursor = data.read_int64_attribute("cursor_col");
        if (cursor && *cursor >= 0) copy.frontier = static_cast<uint64_t>(*cursor);
    } catch (const h5::Error &) {
        // A cursor_col of another kind is copied as it is; it only sizes slots.
    }
}

void fill_new_factor(h5::File &file, const FactorCopy &copy) {
    h5::Dataset data = file.open_dataset("data");
    const h5::Shape2 shape = data.shape();
    if (shape != copy.shape) {
        throw h5::Error(h5::ErrorKind::Value,
                        "The new factor file's matrix has shape (" + std::to_string(shape.rows) + ", " +
                            std::to_string(shape.cols) + "), not the old one's (" + std::to_string(copy.shape.rows) +
                            ", " + std::to_string(copy.shape.cols) + ")");
    }
    chunks::write_matrix(data, copy.cells.get(), copy.frontier);
    data.write_all_attributes(copy.attributes);
    // Chunks still cached would be written by the dataset's close, which
    // cannot report a failure: write them now, while one can be seen.
    file.flush();
}

// Completes the new file and puts it over the old one. Until the rename the
// path holds the whole old file; after it, the whole new one.
void publish_rewritten(const std::string &path, OldFactor &old, AsideFile &aside) {
    aside.file.close_checked();
    const posix::Owner &owner = old.owner;
    if (owner.mode != posix::writable_mode(owner)) {
        const int error = errno_of(::fchmod(aside.fd.get(), owner.mode));
        if (error != 0) throw system_error("Unable to set the permissions of the new file", path, error);
    }
    const int sync_error = errno_of(::fsync(aside.fd.get()));
    if (sync_error != 0) throw system_error("Unable to sync the new file", path, sync_error);
    // Only a removal or replacement by name gets past the old file's lock; a
    // rename would undo it.
    const auto present = identity_at(path);
    if (!present || !(*present == old.identity)) throw path_changed(path);
    const int rename_error = errno_of(::rename(aside.temporary.c_str(), path.c_str()));
    if (rename_error != 0) throw system_error("Unable to replace the file", path, rename_error);
    const int error = posix::sync_directory_of(path);
    if (error != 0) throw system_error("Replaced the file but unable to sync its directory", path, error);
}

}  // namespace

void rewrite_factor_file(nb::handle path) {
    const std::string file_path = path_argument(path);
    use_file_locking_setting();
    log_info("rewrite factor, %s", path);
    OldFactor old;
    AsideRequest request;
    try {
        {
            nb::gil_scoped_release release;
            read_old_factor(file_path, old);
            posix::remove_dead_temporaries(file_path);
        }
        log_set_aside_journals();
        request.path = file_path;
        request.like = old.owner;
        nb::object handle;
        {
            PendingAside pending(request);
            handle = module_attr("create_new_factor_h5")(path, nb::make_tuple(old.copy.shape.rows, old.copy.shape.cols));
        }
        h5::File file = file_of(handle);
        nb::gil_scoped_release release;
        if (!request.built || !file.is_open() || !(file.disk_identity() == request.built->file.disk_identity())) {
            throw h5::Error(h5::ErrorKind::Value,
                            "create_new_factor_h5 did not return the file it built for " + file_path);
        }
        fill_new_factor(file, old.copy);
        publish_rewritten(file_path, old, *request.built);
        old.file.close();
    } catch (...) {
        // The old file stays at the path as it was; the copy goes.
        nb::gil_scoped_release release;
        if (request.built) request.built->discard();
        old.file.close();
        throw;
    }
    log_info("rewrite factor success, %s", path);
}

namespace {

// What remove_factor failed at: the errno and the path it names.
struct Removal {
    int error = 0;
    std::string failed_path;
};

// Unlinks the file, then the undo journal beside it when that journal was
// written for this very file and no live writer holds the file (a writer's
// journal is its own to delete), then syncs the directory. A link is removed
// as a link: the journal then belongs to its target, which stays.
Removal remove_file_and_own_journal(const std::string &file_path) {
    const posix::Fd data(::open(file_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    bool own_journal = false;
    struct stat st;
    // Without locks a live writer cannot be told from a dead one: its journal stays.
    if (data && ::fstat(data.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        h5::locking::mode() != h5::locking::Mode::Off && ::flock(data.get(), LOCK_SH | LOCK_NB) == 0) {
        own_journal = h5::journal::journal_is_own(file_path, data.get());
    }
    // The file stays open until the journal is gone, so its inode cannot be
    // taken by a new file meanwhile.
    if (::unlink(file_path.c_str()) != 0) return {errno, file_path};
    const std::string journal = h5::journal::journal_path(file_path);
    if (own_journal && ::unlink(journal.c_str()) != 0 && errno != ENOENT) return {errno, journal};
    if (const int error = posix::sync_directory_of(file_path)) return {error, posix::directory_of(file_path)};
    return {};
}

void remove_factor(nb::handle path) {
    const std::string file_path = path_argument(path);
    use_file_locking_setting();
    Removal removal;
    {
        nb::gil_scoped_release release;
        removal = remove_file_and_own_journal(file_path);
    }
    if (removal.error == 0) return;
    if (removal.failed_path == file_path) raise_os_error(removal.error, path);
    raise_os_error(removal.error, nb::str(removal.failed_path.c_str()));
}

}  // namespace

h5::File &file_of(nb::handle h5_handle) {
    FactorFile *f = nullptr;
    if (!nb::try_cast<FactorFile *>(h5_handle, f) || f == nullptr) {
        throw nb::type_error(("h5 must be an open factor file as get_h5 returns it, not " + python_type_name(h5_handle)).c_str());
    }
    // A failed write's rollback reopens the file; what it set aside is told here at the latest.
    log_set_aside_journals();
    return f->file;
}

void bind_file_handle_types(nb::module_ &m) {
    bind_dataset_view(m);
    bind_factor_file(m);
}

void define_file_creation(nb::module_ &m) {
    m.def("do_not_decrease_when_temporarily_unavailable", [](nb::handle e) {
        // A text whose first line names errno 17 or 35 is a temporary
        // unavailability: it must not use up the retry budget.
        nb::object match = module_attr("_error_regex").attr("match")(nb::str(e));
        return match.is_none();
    }, nb::arg().none(),
          "True when the error counts against the retry budget, False for errno 17 or 35 on the first line.");
    m.def("create_new_factor_h5", &create_new_factor_h5, nb::arg("path").none(), nb::arg("shape").none(),
          "Create a factor file exclusively, with an empty matrix `data` of `shape`, and return it open.");
}

void define_file_opening(nb::module_ &m) {
    nb::object body = nb::cpp_function(&get_h5, nb::scope(m), nb::name("get_h5"), nb::arg("path").none(),
                                       nb::arg("write").none() = false, nb::arg("read_wait").none() = 0.1,
                                       nb::arg("rate").none() = 2,
                                       "Open the factor file at `path`: for writing (created when missing) or "
                                       "for reading (None when missing, waiting while it is locked).");
    nb::object decorator = module_attr("retry")(5, nb::handle(PyExc_OSError), 1,
                                                "error_func"_a = module_attr("do_not_decrease_when_temporarily_unavailable"));
    m.attr("get_h5") = decorator(body);
}

void define_file_maintenance(nb::module_ &m) {
    // One unnamed parameter: positional only, as the published table says. It
    // takes None too, so that path_argument can say what is wrong with it.
    m.def("rewrite_factor", &rewrite_factor_file, nb::arg().none(), nb::sig("def rewrite_factor(path, /) -> None"),
          "Replace the factor file at `path` by a fresh copy with the same matrix and attributes of `data`.");
    m.def("remove_factor", &remove_factor, nb::arg().none(), nb::sig("def remove_factor(path, /) -> None"),
          "Delete the factor file at `path`.");
}

}  // namespace quorbel
