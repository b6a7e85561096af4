// Attribute values between Python and plain C++ (h5::AttrValue).
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <vector>

#include "detail.hpp"

using namespace nb::literals;

namespace quorbel {

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
        const std::optional<Integer> number = integer_of(object);
        if (number->overflow != 0) {
            // The text Python's own conversion to a C integer gives.
            PyErr_SetString(PyExc_OverflowError, "int too big to convert");
            throw nb::python_error();
        }
        return h5::AttrValue::int64_scalar(number->value);
    }
    nb::object array = np.attr("asarray")(object);
    std::string kind = nb::cast<std::string>(array.attr("dtype").attr("kind"));
    size_t itemsize = static_cast<size_t>(int64_of(array.attr("dtype").attr("itemsize"), "a NumPy itemsize"));
    for (nb::handle d : array.attr("shape")) value.dims.push_back(static_cast<uint64_t>(int64_of(d, "a NumPy extent")));
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

}  // namespace quorbel
