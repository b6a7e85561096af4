// Attributes of a dataset: values in plain C++ form, and exact snapshots for
// copying them onto another dataset.
#include "attributes.hpp"

#include "datasets.hpp"
#include "hdf5_store_internal.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace quorbel::h5 {
namespace {

// The memory HDF5 allocated for the variable-length data read into a buffer,
// given back however the scope ends.
class VariableLengthMemory {
public:
    VariableLengthMemory(hid_t type, hid_t space, void *buffer) : type_(type), space_(space), buffer_(buffer) {}
    VariableLengthMemory(const VariableLengthMemory &) = delete;
    VariableLengthMemory &operator=(const VariableLengthMemory &) = delete;
    ~VariableLengthMemory() { H5Dvlen_reclaim(type_, space_, H5P_DEFAULT, buffer_); }

private:
    hid_t type_, space_;
    void *buffer_;
};

hid_t native_integer(bool is_signed, size_t size) {
    switch (size) {
        case 1: return is_signed ? H5T_NATIVE_INT8 : H5T_NATIVE_UINT8;
        case 2: return is_signed ? H5T_NATIVE_INT16 : H5T_NATIVE_UINT16;
        case 4: return is_signed ? H5T_NATIVE_INT32 : H5T_NATIVE_UINT32;
        default: return is_signed ? H5T_NATIVE_INT64 : H5T_NATIVE_UINT64;
    }
}

hid_t little_endian_integer(bool is_signed, size_t size) {
    switch (size) {
        case 1: return is_signed ? H5T_STD_I8LE : H5T_STD_U8LE;
        case 2: return is_signed ? H5T_STD_I16LE : H5T_STD_U16LE;
        case 4: return is_signed ? H5T_STD_I32LE : H5T_STD_U32LE;
        default: return is_signed ? H5T_STD_I64LE : H5T_STD_U64LE;
    }
}

}  // namespace

std::vector<std::string> Dataset::attribute_names() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    return settled_value(file_.get(), [&] {
        check_open();
        std::vector<std::string> names;
        auto visit = [](hid_t, const char *name, const H5A_info_t *, void *data) -> herr_t {
            static_cast<std::vector<std::string> *>(data)->emplace_back(name);
            return 0;
        };
        checked(H5Aiterate2(id_, H5_INDEX_CRT_ORDER, H5_ITER_INC, nullptr, visit, &names), "Unable to list attributes");
        return names;
    });
}

bool Dataset::has_attribute(const std::string &name) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    return settled_value(file_.get(), [&] {
        check_open();
        return checked(H5Aexists(id_, name.c_str()), "Unable to test attribute") > 0;
    });
}

void Dataset::delete_attribute(const std::string &name) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    if (!has_attribute(name)) throw Error(ErrorKind::Key, "Can't delete attribute (attribute '" + name + "' doesn't exist)");
    changed(*file_, H5Adelete(id_, name.c_str()), "Unable to delete attribute");
}

size_t AttrValue::element_count() const {
    size_t n = 1;
    for (auto d : dims) n *= static_cast<size_t>(d);
    return n;
}

AttrValue AttrValue::int64_scalar(int64_t v) {
    AttrValue value;
    value.kind = Kind::Signed;
    value.element_size = 8;
    value.numbers.resize(8);
    std::memcpy(value.numbers.data(), &v, 8);
    return value;
}

AttrValue Dataset::read_attribute(const std::string &name) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    return settled_value(file_.get(), [&] {
        check_open();
        if (!has_attribute(name)) throw Error(ErrorKind::Key, "Can't open attribute (attribute '" + name + "' doesn't exist)");
        Attribute attr(checked(H5Aopen(id_, name.c_str(), H5P_DEFAULT), "Unable to open attribute"));
        Type type(checked(H5Aget_type(attr.get()), "Unable to get attribute type"));
        Space space(checked(H5Aget_space(attr.get()), "Unable to get attribute space"));
        AttrValue value;
        int rank = checked(H5Sget_simple_extent_ndims(space.get()), "Unable to get attribute rank");
        if (rank > 0) {
            std::vector<hsize_t> dims(rank);
            checked(H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr), "Unable to get attribute extent");
            value.dims.assign(dims.begin(), dims.end());
        }
        const size_t count = value.element_count();
        switch (H5Tget_class(type.get())) {
            case H5T_INTEGER: {
                bool is_signed = H5Tget_sign(type.get()) != H5T_SGN_NONE;
                value.kind = is_signed ? AttrValue::Kind::Signed : AttrValue::Kind::Unsigned;
                value.element_size = std::min<size_t>(H5Tget_size(type.get()), 8);
                value.numbers.resize(count * value.element_size);
                if (count == 0) return value;  // H5Aread refuses the null buffer of an empty array
                checked(H5Aread(attr.get(), native_integer(is_signed, value.element_size), value.numbers.data()),
                        "Unable to read attribute");
                return value;
            }
            case H5T_FLOAT: {
                value.kind = AttrValue::Kind::Float;
                value.element_size = H5Tget_size(type.get()) <= 4 ? 4 : 8;
                value.numbers.resize(count * value.element_size);
                if (count == 0) return value;
                checked(H5Aread(attr.get(), value.element_size == 4 ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE,
                                value.numbers.data()),
                        "Unable to read attribute");
                return value;
            }
            case H5T_STRING: {
                value.kind = AttrValue::Kind::Text;
                if (count == 0) return value;
                if (H5Tis_variable_str(type.get()) > 0) {
                    std::vector<char *> pointers(count, nullptr);
                    Type mem(checked(H5Tcopy(H5T_C_S1), "Unable to copy type"));
                    checked(H5Tset_size(mem.get(), H5T_VARIABLE), "Unable to set string size");
                    checked(H5Tset_cset(mem.get(), H5Tget_cset(type.get())), "Unable to set character set");
                    checked(H5Aread(attr.get(), mem.get(), pointers.data()), "Unable to read attribute");
                    const VariableLengthMemory strings(mem.get(), space.get(), pointers.data());
                    for (auto *p : pointers) value.texts.emplace_back(p ? p : "");
                } else {
                    size_t size = H5Tget_size(type.get());
                    std::vector<char> buffer(count * size);
                    checked(H5Aread(attr.get(), type.get(), buffer.data()), "Unable to read attribute");
                    for (size_t i = 0; i < count; ++i) {
                        const char *start = buffer.data() + i * size;
                        value.texts.emplace_back(start, strnlen(start, size));
                    }
                }
                return value;
            }
            default:
                throw Error(ErrorKind::OS, "Attribute '" + name + "' has a type this engine does not read");
        }
    });
}

void Dataset::write_attribute(const std::string &name, const AttrValue &value) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    const size_t count = value.element_count();
    std::vector<hsize_t> dims(value.dims.begin(), value.dims.end());
    Space space(value.dims.empty() ? checked(H5Screate(H5S_SCALAR), "Unable to create dataspace")
                                   : checked(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
                                             "Unable to create dataspace"));
    Type file_type;
    hid_t mem_type = H5I_INVALID_HID;
    Type mem_owned;
    std::vector<const char *> pointers;
    const void *buffer = value.numbers.data();
    switch (value.kind) {
        case AttrValue::Kind::Signed:
        case AttrValue::Kind::Unsigned: {
            bool is_signed = value.kind == AttrValue::Kind::Signed;
            file_type = Type(checked(H5Tcopy(little_endian_integer(is_signed, value.element_size)), "Unable to copy type"));
            mem_type = native_integer(is_signed, value.element_size);
            break;
        }
        case AttrValue::Kind::Float:
            file_type = Type(checked(H5Tcopy(value.element_size == 4 ? H5T_IEEE_F32LE : H5T_IEEE_F64LE), "Unable to copy type"));
            mem_type = value.element_size == 4 ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE;
            break;
        case AttrValue::Kind::Text: {
            file_type = Type(checked(H5Tcopy(H5T_C_S1), "Unable to copy type"));
            checked(H5Tset_size(file_type.get(), H5T_VARIABLE), "Unable to set string size");
            checked(H5Tset_cset(file_type.get(), H5T_CSET_UTF8), "Unable to set character set");
            mem_type = file_type.get();
            for (const auto &t : value.texts) pointers.push_back(t.c_str());
            buffer = pointers.data();
            break;
        }
    }
    if ((value.kind == AttrValue::Kind::Text ? value.texts.size() : value.numbers.size() / value.element_size) != count) {
        throw Error(ErrorKind::Value, "Attribute value has the wrong number of elements");
    }
    // Replacing keeps the semantics of a plain assignment: the new value may
    // have another type or shape than the old one.
    if (checked(H5Aexists(id_, name.c_str()), "Unable to test attribute") > 0) {
        changed(*file_, H5Adelete(id_, name.c_str()), "Unable to replace attribute");
    }
    Attribute attr(changed(*file_, H5Acreate2(id_, name.c_str(), file_type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                           "Unable to create attribute"));
    // An empty array has nothing to write, and H5Awrite refuses its null buffer.
    if (count > 0) changed(*file_, H5Awrite(attr.get(), mem_type, buffer), "Unable to write attribute");
}

std::optional<int64_t> Dataset::read_int64_attribute(const std::string &name) const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    return settled_value(file_.get(), [&]() -> std::optional<int64_t> {
        check_open();
        if (!has_attribute(name)) return std::nullopt;
        Attribute attr(checked(H5Aopen(id_, name.c_str(), H5P_DEFAULT), "Unable to open attribute"));
        Space space(checked(H5Aget_space(attr.get()), "Unable to get attribute space"));
        Type type(checked(H5Aget_type(attr.get()), "Unable to get attribute type"));
        if (H5Sget_simple_extent_npoints(space.get()) != 1 || H5Tget_class(type.get()) != H5T_INTEGER) {
            throw Error(ErrorKind::Value, "Attribute '" + name + "' is not a scalar integer");
        }
        int64_t v = 0;
        checked(H5Aread(attr.get(), H5T_NATIVE_INT64, &v), "Unable to read attribute");
        return v;
    });
}

// ---------------------------------------------------------------------------
// Attribute snapshots

struct AttributeSnapshot::Entry {
    std::string name;
    Type type;          // a transient copy of the stored type
    Space space;        // scalar, simple or null, with its extent
    PropList creation;  // keeps the name's character set
    std::vector<unsigned char> bytes;
    bool owns_variable_length_memory = false;

    Entry() = default;
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
    ~Entry() {
        if (owns_variable_length_memory) H5Dvlen_reclaim(type.get(), space.get(), H5P_DEFAULT, bytes.data());
    }
};

AttributeSnapshot::AttributeSnapshot() = default;
AttributeSnapshot::AttributeSnapshot(AttributeSnapshot &&) noexcept = default;

AttributeSnapshot &AttributeSnapshot::operator=(AttributeSnapshot &&o) noexcept {
    if (this != &o) {
        LibraryGuard guard;
        entries_ = std::move(o.entries_);
    }
    return *this;
}

AttributeSnapshot::~AttributeSnapshot() {
    LibraryGuard guard;
    entries_.clear();
}

namespace {

std::string attribute_name(hid_t attr) {
    ssize_t size = checked(H5Aget_name(attr, 0, nullptr), "Unable to get attribute name");
    std::string name(static_cast<size_t>(size) + 1, '\0');
    checked(H5Aget_name(attr, name.size(), name.data()), "Unable to get attribute name");
    name.resize(static_cast<size_t>(size));
    return name;
}

// Variable-length strings count as strings, not as VLEN, in H5Tdetect_class;
// reclaiming a buffer without variable-length parts does nothing.
bool may_hold_variable_length(hid_t type) {
    return checked(H5Tdetect_class(type, H5T_VLEN), "Unable to inspect type") > 0 ||
           checked(H5Tdetect_class(type, H5T_STRING), "Unable to inspect type") > 0;
}

}  // namespace

AttributeSnapshot Dataset::read_all_attributes() const {
    FileUse use(file_.get(), Access::Read, kDatasetClosed);
    LibraryGuard guard;
    return settled_value(file_.get(), [&] {
        check_open();
        H5O_info_t info;
        checked(H5Oget_info2(id_, &info, H5O_INFO_NUM_ATTRS), "Unable to count attributes");
        AttributeSnapshot snapshot;
        for (hsize_t i = 0; i < info.num_attrs; ++i) {
            Attribute attr(checked(H5Aopen_by_idx(id_, ".", H5_INDEX_NAME, H5_ITER_INC, i, H5P_DEFAULT, H5P_DEFAULT),
                                   "Unable to open attribute"));
            auto entry = std::make_unique<AttributeSnapshot::Entry>();
            entry->name = attribute_name(attr.get());
            Type stored(checked(H5Aget_type(attr.get()), "Unable to get attribute type"));
            if (checked(H5Tdetect_class(stored.get(), H5T_REFERENCE), "Unable to inspect type") > 0) {
                throw Error(ErrorKind::Value, "Attribute '" + entry->name +
                                                  "' holds references into its own file, which cannot be copied");
            }
            // A copy is transient even when the stored type is a named one of this file.
            entry->type = Type(checked(H5Tcopy(stored.get()), "Unable to copy attribute type"));
            entry->space = Space(checked(H5Aget_space(attr.get()), "Unable to get attribute space"));
            entry->creation = PropList(checked(H5Aget_create_plist(attr.get()), "Unable to get attribute properties"));
            const auto points = checked(H5Sget_simple_extent_npoints(entry->space.get()), "Unable to size attribute");
            const size_t element_size = H5Tget_size(entry->type.get());
            if (element_size == 0) raise_from_stack("Unable to size attribute type");
            entry->bytes.resize(static_cast<size_t>(points) * element_size);
            if (points > 0) {
                // Known before the read, so that nothing can throw between the
                // read and the entry taking charge of what it allocated.
                const bool variable_length = may_hold_variable_length(entry->type.get());
                checked(H5Aread(attr.get(), entry->type.get(), entry->bytes.data()), "Unable to read attribute");
                entry->owns_variable_length_memory = variable_length;
            }
            snapshot.entries_.push_back(std::move(entry));
        }
        return snapshot;
    });
}

void Dataset::write_all_attributes(const AttributeSnapshot &snapshot) {
    FileUse use(file_.get(), Access::Change, kDatasetClosed);
    LibraryGuard guard;
    check_writable();
    for (const auto &entry : snapshot.entries_) {
        const char *name = entry->name.c_str();
        if (checked(H5Aexists(id_, name), "Unable to test attribute") > 0) {
            changed(*file_, H5Adelete(id_, name), "Unable to replace attribute");
        }
        Attribute attr(changed(*file_, H5Acreate2(id_, name, entry->type.get(), entry->space.get(), entry->creation.get(),
                                          H5P_DEFAULT),
                               "Unable to create attribute"));
        if (!entry->bytes.empty()) {
            changed(*file_, H5Awrite(attr.get(), entry->type.get(), entry->bytes.data()), "Unable to write attribute");
        }
    }
}

}  // namespace quorbel::h5
