// The factor file handle and its view of `data`: NumPy-style indexing of the
// matrix and its attributes as a mapping.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <string>
#include <vector>

#include "detail.hpp"
#include "handle_docs.hpp"
#include "storage/factor_layout.hpp"
#include "storage/history_commits.hpp"

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
    h5::Dataset open_for_writing() const { return file.open_dataset(name, h5::kBlockWriterCache); }
};

struct AttributeView {
    h5::File file;
    std::string name;
    h5::Dataset open() const { return file.open_dataset(name); }
};

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
    if (view.name != "data") {
        change_in_transaction(view.file, [&] { dataset.write(sel.block(), cells.data()); });
        return;
    }
    if (!view.file.writable()) {
        dataset.write(sel.block(), cells.data());  // refused, with the error it has always given
        return;
    }
    h5::WriteTransaction transaction(view.file);
    const h5::Block block = sel.block();
    history::CommitBuilder *changes = transaction.history_changes();
    if (!changes || block.rows == 0 || block.cols == 0) {
        dataset.write(block, cells.data());
        transaction.commit();
        return;
    }
    // The history records whole columns: the touched ones are read whole
    // before the write, and what it leaves is worked out from them.
    const uint64_t rows = dataset.shape().rows;
    std::vector<double> before(rows * block.cols);
    dataset.read({0, rows, block.col, block.cols}, before.data());
    dataset.write(block, cells.data());
    std::vector<double> was(rows), is(rows);
    for (uint64_t c = 0; c < block.cols; ++c) {
        for (uint64_t r = 0; r < rows; ++r) was[r] = is[r] = before[r * block.cols + c];
        for (uint64_t r = 0; r < block.rows; ++r) is[block.row + r] = cells.data()[r * block.cols + c];
        changes->column(static_cast<uint32_t>(block.col + c), was.data(), is.data(), rows);
    }
    transaction.commit();
}

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
    nb::class_<AttributeView>(m, "AttributeView", docs::kAttributeView)
        .def("__getitem__", [](AttributeView &a, const std::string &name) {
            return attribute_to_python(a.open().read_attribute(object_name(name)));
        })
        .def("get", [](AttributeView &a, const std::string &name, nb::object fallback) -> nb::object {
            if (!a.open().has_attribute(object_name(name))) return fallback;
            return attribute_to_python(a.open().read_attribute(name));
        }, nb::arg("name"), nb::arg("default") = nb::none(), docs::kAttributeGet)
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
        .def("keys", [](AttributeView &a) { return a.open().attribute_names(); }, docs::kAttributeKeys)
        .def("__iter__", [](AttributeView &a) { return nb::iter(nb::cast(a.open().attribute_names())); })
        .def("__len__", [](AttributeView &a) { return a.open().attribute_names().size(); });

    nb::class_<DatasetView>(m, "DatasetView", docs::kDatasetView)
        .def_prop_ro("name", [](DatasetView &d) { return "/" + d.name; }, docs::kDatasetName)
        .def_prop_ro("shape", [](DatasetView &d) { return optional_tuple(d.open().layout().shape, false); },
                     docs::kDatasetShape)
        .def_prop_ro("dtype", [](DatasetView &d) { return dtype_object(d.open().layout().dtype); }, docs::kDatasetDtype)
        .def_prop_ro("chunks", [](DatasetView &d) { return optional_tuple(d.open().layout().chunks, false); },
                     docs::kDatasetChunks)
        .def_prop_ro("maxshape", [](DatasetView &d) { return optional_tuple(d.open().layout().max_shape, true); },
                     docs::kDatasetMaxshape)
        .def_prop_ro("compression", [](DatasetView &d) -> nb::object {
            return h5::uses_deflate(d.open().layout()) ? nb::object(nb::str("gzip")) : nb::none();
        }, docs::kDatasetCompression)
        .def_prop_ro("compression_opts", [](DatasetView &d) -> nb::object {
            const std::optional<unsigned> level = h5::deflate_level(d.open().layout());
            return level ? nb::object(nb::int_(*level)) : nb::none();
        }, docs::kDatasetCompressionOpts)
        .def_prop_ro("fillvalue", [](DatasetView &d) {
            auto fill = d.open().layout().fill_value;
            return fill ? *fill : 0.0;
        }, docs::kDatasetFillvalue)
        .def_prop_ro("attrs", [](DatasetView &d) { return AttributeView{d.file, d.name}; }, docs::kDatasetAttrs)
        .def("resize", [](DatasetView &d, nb::handle shape) {
            h5::Shape2 target = shape_argument(shape, "shape");
            nb::gil_scoped_release release;
            h5::ChangeScope alone(d.file);  // no other writer between the check and the resize
            h5::Dataset dataset = d.open();
            refuse_shrinking(dataset.shape(), target);
            change_in_transaction(d.file, [&] { dataset.resize(target); });
        }, nb::arg("shape"), docs::kDatasetResize)
        .def("__len__", [](DatasetView &d) { return d.open().shape().rows; })
        .def("__getitem__", &dataset_read)
        .def("__setitem__", &dataset_write);
}

void bind_factor_file(nb::module_ &m) {
    nb::class_<FactorFile>(m, "FactorFile", docs::kFactorFile)
        .def("close", [](FactorFile &f) {
            nb::gil_scoped_release release;
            f.file.close();
        }, docs::kFactorFileClose)
        .def("flush", [](FactorFile &f) {
            nb::gil_scoped_release release;
            f.file.flush();
        }, docs::kFactorFileFlush)
        .def_prop_ro("filename", [](FactorFile &f) { return f.file.name(); }, docs::kFactorFileFilename)
        .def_prop_ro("mode", [](FactorFile &f) {
            if (!f.file.is_open()) throw nb::value_error("Invalid file handle: the factor file is closed");
            return f.file.mode();
        }, docs::kFactorFileMode)
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
        .def("keys", [](FactorFile &f) { return f.file.member_names(); }, docs::kFactorFileKeys)
        .def("__getitem__", [](FactorFile &f, const std::string &name) {
            f.file.open_dataset(object_name(name));  // KeyError now for a missing name
            return DatasetView{f.file, name};
        })
        .def("__repr__", [](FactorFile &f) {
            std::string state = f.file.is_open() ? "mode '" + f.file.mode() + "'" : "closed";
            return "<FactorFile '" + f.file.name() + "' (" + state + ")>";
        });
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

}  // namespace quorbel
