// Factor files made and opened: exclusive creation built aside and published
// whole, and opening for writing or for reading with waits and retries.
#include <nanobind/stl/string.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>

#include "factor_files.hpp"
#include "storage/file_damage.hpp"
#include "function_docs.hpp"
#include "storage/factor_layout.hpp"
#include "storage/history_files.hpp"
#include "storage/file_locking.hpp"
#include "storage/journal.hpp"

using namespace nb::literals;

namespace quorbel {

int errno_of(int result) { return result == 0 ? 0 : errno; }

// A failed system call on the file at `path`, as an OSError-kind error.
h5::Error system_error(const std::string &what, const std::string &path, int error) {
    return h5::Error(h5::ErrorKind::OS,
                     what + " (name = '" + path + "', errno = " + std::to_string(error) + ", error message = '" +
                         std::strerror(error) + "')",
                     error);
}

namespace {

// The text an exclusive create at `path` fails with, as HDF5's own would be,
// naming the path the caller gave and not the temporary one.
h5::Error creation_error(const std::string &path, int error) {
    return h5::Error(h5::ErrorKind::OS,
                     "Unable to create file (unable to open file: name = '" + path + "', errno = " +
                         std::to_string(error) + ", error message = '" + std::strerror(error) +
                         "', flags = 15, o_flags = c2)",
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

}  // namespace

PendingAside::PendingAside(AsideRequest &request) : state_(PyThreadState_GetDict()) {
    if (!state_) throw std::runtime_error("no thread state dictionary for the rewrite");
    previous_ = nb::borrow(PyDict_GetItemString(state_, kAsideKey));
    nb::object capsule = nb::steal(PyCapsule_New(&request, kAsideKey, nullptr));
    if (!capsule.is_valid() || PyDict_SetItemString(state_, kAsideKey, capsule.ptr()) != 0) {
        throw nb::python_error();
    }
}

PendingAside::~PendingAside() {
    const int result = previous_.is_valid() ? PyDict_SetItemString(state_, kAsideKey, previous_.ptr())
                                            : PyDict_DelItemString(state_, kAsideKey);
    if (result != 0) PyErr_Clear();
}

namespace {

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
        aside.file.create_matrix("data", shape, h5::factor_storage(shape));
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
        // A journal beside the path now was written for a file that stood
        // there before: the new file's writer sets it aside, as its first
        // write would.
        const std::string journal = h5::journal::journal_path(path);
        struct stat left;
        if (::lstat(journal.c_str(), &left) == 0) {
            h5::journal::set_aside(journal, path, "it was written for a file that stood at the path before this one "
                                                  "was made");
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

void log_orphan_history(nb::handle path, const std::string &moved_to) {
    if (moved_to.empty()) return;
    log_warning("the history of a factor removed from %s was still there; it was moved to %s, and the new factor "
                "does not append to it", path, moved_to);
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
    std::string orphan_history;
    h5::File file;
    try {
        nb::gil_scoped_release release;
        if (!request) {
            posix::remove_dead_temporaries(file_path);
            // Building a whole file only to find the path taken is wasted work.
            struct stat st;
            if (::lstat(file_path.c_str(), &st) == 0) throw creation_error(file_path, EEXIST);
            orphan_history = history::set_aside_orphan(file_path);
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
        log_orphan_history(path, orphan_history);
        throw;
    }
    log_orphan_history(path, orphan_history);
    log_set_aside_journals();
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
        raise_python(h5::Error(h5::ErrorKind::OS,
                               "Unable to create file (the path is a symbolic link to a file that does not exist; "
                               "create the target or remove the link)",
                               ENOENT),
                     path);
    }
    if (!path_exists(file_path)) {
        const size_t instruments = nb::len(module_attr("_get_all_instrument_index")());
        const size_t dates = nb::len(module_attr("get_all_trading_dates")());
        const uint64_t rows = grown_length(instruments, "EXPAND_INSTRUMENT_LENGTH");
        const uint64_t cols = grown_length(dates, "EXPAND_TRADING_DATE_LENGTH");
        return module_attr("create_new_factor_h5")(path, nb::make_tuple(rows, cols));
    }
    try {
        return nb::cast(FactorFile{open_logging_set_aside(file_path, true)});
    } catch (const h5::Error &failure) {
        if (!is_lock_contention(failure)) throw;
        // Writers exclude each other; a writer that waits says for what. The
        // retry wrapper waits and tries again.
        struct stat st;
        const std::string holders =
            ::stat(file_path.c_str(), &st) == 0 ? h5::locking::describe_holders(h5::locking::lock_holders(st.st_dev, st.st_ino))
                                                : std::string();
        const std::string why = holders.empty() ? "another process holds its lock" : holders;
        log_info("waiting for %s: %s", path, nb::str(why.c_str()));
        throw h5::Error(failure.kind(), std::string(failure.what()) + " (" + why + ")", failure.error_number());
    }
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
                if (dynamic_cast<const h5::DamagedFile *>(&failure)) {
                    // This loop gave a file still being put in place its
                    // time; the retry wrapper repeating it would only wait.
                    if (PyObject_SetAttrString(error.ptr(), "retry_cannot_help", Py_True) != 0) throw nb::python_error();
                    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
                    throw nb::python_error();
                }
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

}  // namespace

void define_file_creation(nb::module_ &m) {
    m.def("do_not_decrease_when_temporarily_unavailable", [](nb::handle e) {
        // A text whose first line names errno 17 or 35 is a temporary
        // unavailability: it must not use up the retry budget.
        nb::object match = module_attr("_error_regex").attr("match")(nb::str(e));
        return match.is_none();
    }, nb::arg().none(), nb::sig("def do_not_decrease_when_temporarily_unavailable(e: BaseException, /) -> bool"),
          docs::kDoNotDecrease);
    m.def("create_new_factor_h5", &create_new_factor_h5, nb::arg("path").none(), nb::arg("shape").none(),
          docs::kCreateNewFactorH5);
}

void define_file_opening(nb::module_ &m) {
    nb::object body = nb::cpp_function(&get_h5, nb::scope(m), nb::name("get_h5"), nb::arg("path").none(),
                                       nb::arg("write").none() = false, nb::arg("read_wait").none() = 0.1,
                                       nb::arg("rate").none() = 2, docs::kGetH5);
    nb::object decorator = module_attr("retry")(5, nb::handle(PyExc_OSError), 1,
                                                "error_func"_a = module_attr("do_not_decrease_when_temporarily_unavailable"));
    nb::object retried = decorator(body);
    // functools.wraps copied nanobind's __doc__, which starts with the
    // signature; the wrapper documents itself with the docstring alone.
    retried.attr("__doc__") = docs::kGetH5;
    m.attr("get_h5") = retried;
}

}  // namespace quorbel
