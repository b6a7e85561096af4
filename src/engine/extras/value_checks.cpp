// The library's check of the values it is asked to write (FactorLibrary's
// write and write_packs): every value of every factor is read once and
// converted with the engine's own rule (float64_of) before any file is
// touched, so that a value the writers would refuse or skip is refused while
// nothing is written yet. The items handed on to the writers hold the floats
// themselves: the writers then convert nothing, and never read a value twice.
//
// A date of every instrument is thousands of values per factor, so the loop
// runs here rather than in Python.
#include <Python.h>

#include <cmath>

#include "extras.hpp"

using namespace nb::literals;

namespace quorbel {
namespace {

// The value as a float object (new reference), or null with the error set.
PyObject *float_of(PyObject *value) {
    if (PyFloat_CheckExact(value)) {
        Py_INCREF(value);
        return value;
    }
    double number;
    if (!float64_of(value, number)) return nullptr;
    return PyFloat_FromDouble(number);
}

// An instance of `item_type`, a tuple type of two fields (the library's value
// item), holding (order_book_id, value); steals `value`.
nb::object new_item(PyTypeObject *item_type, PyObject *order_book_id, PyObject *value) {
    PyObject *item = item_type->tp_alloc(item_type, 2);
    if (!item) {
        Py_DECREF(value);
        throw nb::python_error();
    }
    Py_INCREF(order_book_id);
    PyTuple_SET_ITEM(item, 0, order_book_id);
    PyTuple_SET_ITEM(item, 1, value);
    return nb::steal(item);
}

PyTypeObject *item_type_argument(nb::handle item_type) {
    if (!PyType_Check(item_type.ptr()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(item_type.ptr()), &PyTuple_Type) ||
        reinterpret_cast<PyTypeObject *>(item_type.ptr())->tp_basicsize != PyTuple_Type.tp_basicsize) {
        throw nb::type_error("item_type must be a tuple type without fields of its own, such as a namedtuple");
    }
    return reinterpret_cast<PyTypeObject *>(item_type.ptr());
}

// With the conversion's error pending: the same kind of error (ValueError,
// TypeError, OverflowError), chained to it, naming where the value was given,
// its instrument and the value. Any other error is the value's own and
// propagates unchanged.
[[noreturn]] void refuse_value(nb::handle where, PyObject *order_book_id, PyObject *value) {
    PyObject *kind = nullptr;
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        kind = PyExc_ValueError;
    } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        kind = PyExc_TypeError;
    } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        kind = PyExc_OverflowError;
    }
    if (!kind) throw nb::python_error();
    nb::python_error reason;  // takes the pending error: no Python call may run with it set
    const nb::str why = nb::str(reason.value());
    const std::string type = python_type_name(value);
    reason.restore();
    nb::chain_error(kind, "%U, instrument %R: value %.200R (%s) cannot be stored as float64: %U", where.ptr(),
                    order_book_id, value, type.c_str(), why.ptr());
    throw nb::python_error();
}

// A private copy of a list argument: the conversions below run the values'
// own code, which must not be able to change the list being walked.
nb::list own_copy(nb::handle list, const char *what) {
    if (!PyList_Check(list.ptr())) throw nb::type_error((std::string(what) + " must be a list").c_str());
    nb::list copy = nb::steal<nb::list>(PyList_GetSlice(list.ptr(), 0, PY_SSIZE_T_MAX));
    if (!copy.is_valid()) throw nb::python_error();
    return copy;
}

nb::list new_list(size_t size) {
    nb::list list = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list.is_valid()) throw nb::python_error();
    return list;
}

// Items of (id, float) from parallel lists of identifiers and values (a
// mapping's keys and values, a Series' index and values).
nb::list items_of_pairs(nb::handle item_type_arg, nb::handle ids_arg, nb::handle values_arg, nb::str where) {
    PyTypeObject *item_type = item_type_argument(item_type_arg);
    const nb::list ids = own_copy(ids_arg, "ids"), values = own_copy(values_arg, "values");
    const size_t count = nb::len(ids);
    if (nb::len(values) != count) throw nb::value_error("one value per identifier is needed");
    nb::list items = new_list(count);
    for (size_t i = 0; i < count; ++i) {
        PyObject *id = PyList_GET_ITEM(ids.ptr(), i), *value = PyList_GET_ITEM(values.ptr(), i);
        PyObject *number = float_of(value);
        if (!number) refuse_value(where, id, value);
        PyList_SET_ITEM(items.ptr(), i, new_item(item_type, id, number).release().ptr());
    }
    return items;
}

// Items of (id, float) from value items, objects with order_book_id and
// value; each is checked as the writers need it (both attributes, an
// identifier that can be looked up, a value that converts).
nb::list items_of_objects(nb::handle item_type_arg, nb::handle given_arg, nb::str where) {
    PyTypeObject *item_type = item_type_argument(item_type_arg);
    const nb::list given = own_copy(given_arg, "items");
    const size_t count = nb::len(given);
    nb::list items = new_list(count);
    // Interned once: a name made from C text at every item would cost about
    // as much as the conversion itself.
    static PyObject *const order_book_id_name = PyUnicode_InternFromString("order_book_id");
    static PyObject *const value_name = PyUnicode_InternFromString("value");
    if (!order_book_id_name || !value_name) throw nb::python_error();
    auto attribute = [&](size_t position, PyObject *item, PyObject *name) {
        nb::object found = nb::steal(PyObject_GetAttr(item, name));
        if (found.is_valid()) return found;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        throw nb::type_error(nb::str("{}: item {} ({}) has no order_book_id and value")
                                 .format(where, position, python_type_name(item))
                                 .c_str());
    };
    for (size_t i = 0; i < count; ++i) {
        PyObject *item = PyList_GET_ITEM(given.ptr(), i);
        nb::object order_book_id = attribute(i, item, order_book_id_name);
        nb::object value = attribute(i, item, value_name);
        if (PyObject_Hash(order_book_id.ptr()) == -1) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
            PyErr_Clear();
            throw nb::type_error(nb::str("{}: item {} has an unhashable order_book_id ({})")
                                     .format(where, i, python_type_name(order_book_id))
                                     .c_str());
        }
        PyObject *number = float_of(value.ptr());
        if (!number) refuse_value(where, order_book_id.ptr(), value.ptr());
        PyList_SET_ITEM(items.ptr(), i, new_item(item_type, order_book_id.ptr(), number).release().ptr());
    }
    return items;
}

// What a date of the library's value items, (order_book_id, float) tuples,
// holds for the write report: (numbers, listed, unlisted examples), the
// values that are not NaN, the items whose instrument `index` lists, and the
// first `examples` distinct unlisted identifiers. A backfill of packs counts
// millions of items, so the loop runs here rather than in Python.
nb::tuple count_items(nb::handle items_arg, nb::handle index, size_t examples) {
    const nb::list items = own_copy(items_arg, "items");
    const bool plain_dict = PyDict_CheckExact(index.ptr());
    size_t numbers = 0, listed = 0;
    nb::list unlisted;
    for (nb::handle item : items) {
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
            throw nb::type_error("items must be (order_book_id, float) tuples");
        }
        PyObject *order_book_id = PyTuple_GET_ITEM(item.ptr(), 0), *value = PyTuple_GET_ITEM(item.ptr(), 1);
        const double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) throw nb::python_error();
        numbers += !std::isnan(number);
        // As the writers ask the index (listed_row): one lookup for a plain dict, `in` otherwise.
        int found;
        if (plain_dict) {
            found = PyDict_GetItemWithError(index.ptr(), order_book_id) != nullptr;
            if (!found && PyErr_Occurred()) throw nb::python_error();
        } else {
            found = PySequence_Contains(index.ptr(), order_book_id);
            if (found < 0) throw nb::python_error();
        }
        if (found) {
            ++listed;
        } else if (nb::len(unlisted) < examples) {
            const int known = PySequence_Contains(unlisted.ptr(), order_book_id);
            if (known < 0) throw nb::python_error();
            if (!known) unlisted.append(nb::borrow(order_book_id));
        }
    }
    return nb::make_tuple(numbers, listed, unlisted);
}

}  // namespace

void define_value_checks(nb::module_ &m) {
    m.def("_count_items", &count_items, "items"_a, "index"_a, "examples"_a,
          "(numbers, listed, unlisted) of a list of (order_book_id, float) tuples: the values that are not NaN, "
          "the items whose order_book_id `index` lists, and the first `examples` distinct unlisted ids.");
    m.def("_items_of_pairs", &items_of_pairs, "item_type"_a, "ids"_a, "values"_a, "where"_a,
          "item_type(id, float) for each pair of the lists `ids` and `values`; a value that does not convert as "
          "the writers convert it raises its ValueError or TypeError, naming `where`, the instrument and the "
          "value.");
    m.def("_items_of_objects", &items_of_objects, "item_type"_a, "items"_a, "where"_a,
          "item_type(order_book_id, float) for each value item of the list `items`; TypeError for an item "
          "without order_book_id and value or with an unhashable order_book_id, and a value that does not "
          "convert raises as in _items_of_pairs.");
}

}  // namespace quorbel
