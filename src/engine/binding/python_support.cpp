// The Python side's shared services: the module namespace, logging, errors.
#include <Python.h>

#include <cstring>
#include <limits>
#include <string>

#include "detail.hpp"
#include "storage/file_damage.hpp"
#include "storage/journal.hpp"

namespace quorbel {
namespace {

// Borrowed for the life of the process: the module is never unloaded, and
// keeping no owning reference avoids a decref after interpreter shutdown.
PyObject *g_module = nullptr;

nb::handle logging_module() {
    static PyObject *logging = nb::module_::import_("logging").release().ptr();
    return logging;
}

nb::handle os_module() {
    static PyObject *os = nb::module_::import_("os").release().ptr();
    return os;
}

}  // namespace

std::string python_type_name(nb::handle value) {
    return nb::cast<std::string>(nb::type_name(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())))));
}

void set_engine_module(nb::handle module) { g_module = module.ptr(); }

nb::object module_attr(const char *name) { return nb::getattr(nb::handle(g_module), name); }

void set_module_attr(const char *name, nb::handle value) { nb::setattr(nb::handle(g_module), name, value); }

std::optional<Integer> integer_of(nb::handle value) {
    if (PyLong_CheckExact(value.ptr())) {  // the common case, without a conversion
        Integer result;
        const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &result.overflow);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        result.value = result.overflow > 0 ? INT64_MAX : result.overflow < 0 ? INT64_MIN : v;
        return result;
    }
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) return std::nullopt;
    nb::object number = nb::steal(PyNumber_Index(value.ptr()));
    if (!number.is_valid()) throw nb::python_error();
    Integer result;
    const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &result.overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    result.value = result.overflow > 0 ? INT64_MAX : result.overflow < 0 ? INT64_MIN : v;
    return result;
}

int64_t int64_of(nb::handle value, const std::string &what) {
    const std::optional<Integer> number = integer_of(value);
    if (!number) throw nb::type_error((what + " must be an integer, not " + python_type_name(value)).c_str());
    if (number->overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, (what + " does not fit in a 64-bit integer").c_str());
        throw nb::python_error();
    }
    return number->value;
}

bool float64_of(PyObject *value, double &out) {
    if (PyFloat_Check(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (value == Py_None) {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    PyObject *converted = nullptr;
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
        converted = PyFloat_FromString(value);
    } else if (PyComplex_Check(value)) {
        // NumPy refuses every complex, even a subclass that defines
        // __float__, so the engine does too.
        PyErr_Format(PyExc_TypeError, "float() argument must be a string or a real number, not '%s'",
                     Py_TYPE(value)->tp_name);
    } else {
        converted = PyNumber_Float(value);
    }
    if (!converted) return false;
    out = PyFloat_AS_DOUBLE(converted);
    Py_DECREF(converted);
    return true;
}

double to_float64(nb::handle value) {
    double out;
    if (!float64_of(value.ptr(), out)) throw nb::python_error();
    return out;
}

int64_t int_setting(const char *name) { return int64_of(module_attr(name), "quorbel.detail." + std::string(name)); }

uint64_t grown_length(uint64_t length, const char *setting) {
    const int64_t step = int_setting(setting);
    // A negative step would shrink the matrix and drop the cells beyond it.
    if (step < 0) {
        throw nb::value_error(("quorbel.detail." + std::string(setting) + " must not be negative, got " +
                               std::to_string(step))
                                  .c_str());
    }
    if (static_cast<uint64_t>(step) > static_cast<uint64_t>(INT64_MAX) - length) {
        PyErr_SetString(PyExc_OverflowError, ("growing an axis of " + std::to_string(length) + " by quorbel.detail." +
                                              setting + " would pass 2**63 - 1")
                                                 .c_str());
        throw nb::python_error();
    }
    return length + static_cast<uint64_t>(step);
}

void log_record(int level, nb::handle message, nb::handle args_tuple) {
    // The root logger, never the module-level logging.log(), which would
    // configure logging on the caller's behalf.
    nb::object root = logging_module().attr("getLogger")();
    nb::object log = root.attr("log");
    nb::tuple args = nb::borrow<nb::tuple>(args_tuple);
    PyObject *call_args = PyTuple_New(static_cast<Py_ssize_t>(args.size() + 2));
    if (!call_args) throw nb::python_error();
    nb::object owned = nb::steal(call_args);
    PyTuple_SET_ITEM(call_args, 0, PyLong_FromLong(level));
    PyTuple_SET_ITEM(call_args, 1, nb::borrow(message).release().ptr());
    for (size_t i = 0; i < args.size(); ++i) {
        PyTuple_SET_ITEM(call_args, static_cast<Py_ssize_t>(i + 2), nb::borrow(args[i]).release().ptr());
    }
    PyObject *result = PyObject_Call(log.ptr(), call_args, nullptr);
    if (!result) throw nb::python_error();
    Py_DECREF(result);
}

void log_set_aside_journals() {
    for (const h5::journal::SetAside &event : h5::journal::take_set_aside()) {
        if (event.moved_to.empty()) {
            log_error("the journal %s beside factor file %s was not applied: %s", event.journal, event.data_path,
                      event.reason);
        } else {
            log_error("the journal %s beside factor file %s was not applied (%s); it was set aside as %s",
                      event.journal, event.data_path, event.reason, event.moved_to);
        }
    }
}

FloatArray new_float_array(const std::vector<size_t> &shape, double **data) {
    size_t n = 1;
    for (auto d : shape) n *= d;
    auto *buffer = new double[n > 0 ? n : 1];
    nb::capsule owner(buffer, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    *data = buffer;
    return FloatArray(buffer, shape.size(), shape.data(), owner);
}

nb::object numpy() { return nb::module_::import_("numpy"); }

// HDF5 names and variable-length strings are C strings: a NUL would cut them
// short, so that "data\0x" would open "data" and "a\0b" overwrite "a".
const std::string &without_nul(const std::string &text, const char *what) {
    if (text.find('\0') != std::string::npos) {
        throw nb::value_error((std::string(what) + " cannot contain a NUL character").c_str());
    }
    return text;
}

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

std::string path_argument(nb::handle path) {
    if (!PyUnicode_Check(path.ptr()) && !PyObject_HasAttrString(path.ptr(), "__fspath__") &&
        !PyBytes_Check(path.ptr())) {
        throw nb::type_error(("path must be a str or an os.PathLike object, not " + python_type_name(path)).c_str());
    }
    nb::object text = os_module().attr("fsdecode")(os_module().attr("fspath")(path));
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) throw nb::python_error();
    if (std::memchr(utf8, '\0', static_cast<size_t>(size))) throw nb::value_error("path contains a NUL character");
    if (size == 0) throw nb::value_error("path is empty");
    return std::string(utf8, static_cast<size_t>(size));
}

nb::object exception_object(const h5::Error &error, nb::handle filename) {
    PyObject *kind = PyExc_OSError;
    switch (error.kind()) {
        case h5::ErrorKind::Key: kind = PyExc_KeyError; break;
        case h5::ErrorKind::Value: kind = PyExc_ValueError; break;
        case h5::ErrorKind::Index: kind = PyExc_IndexError; break;
        case h5::ErrorKind::OS: kind = PyExc_OSError; break;
    }
    PyObject *exc = nullptr;
    const auto *damaged = dynamic_cast<const h5::DamagedFile *>(&error);
    nb::object damaged_path;
    if (damaged && !filename.is_valid()) {
        damaged_path = nb::str(damaged->path().c_str());
        filename = damaged_path;
    }
    if (kind == PyExc_OSError && error.error_number() != 0) {
        // OSError(errno, text) picks the matching subclass, FileExistsError for 17.
        exc = filename.is_valid()
                  ? PyObject_CallFunction(PyExc_OSError, "isO", error.error_number(), error.what(), filename.ptr())
                  : PyObject_CallFunction(PyExc_OSError, "is", error.error_number(), error.what());
    } else {
        exc = PyObject_CallFunction(kind, "s", error.what());
    }
    if (!exc) throw nb::python_error();
    return nb::steal(exc);
}

void raise_python(const h5::Error &error, nb::handle filename) {
    nb::object exc = exception_object(error, filename);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

void raise_os_error(int error, nb::handle filename) {
    raise_python(h5::Error(h5::ErrorKind::OS, std::strerror(error), error), filename);
}

void register_wait_hook() {
    h5::set_wait_hook([](void (*wait)(void *), void *context) {
        // The waiting thread may hold the GIL (a call made without releasing
        // it); the thread it waits for may need the GIL to finish.
        if (Py_IsInitialized() && PyGILState_Check()) {
            nb::gil_scoped_release release;
            wait(context);
        } else {
            wait(context);
        }
    });
}

void register_error_translation() {
    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const h5::Error &e) {
            try {
                // A failed write's rollback may have met a journal to set aside.
                log_set_aside_journals();
            } catch (nb::python_error &pe) {
                pe.discard_as_unraisable("logging a journal set aside");
            }
            try {
                raise_python(e);
            } catch (nb::python_error &pe) {
                pe.restore();
            }
        }
    });
}

}  // namespace quorbel
