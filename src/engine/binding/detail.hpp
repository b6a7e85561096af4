// quorbel.detail: the storage engine for quantitative factors.
//
// One factor lives in one HDF5 file as the matrix `data` (rows = instruments,
// columns = trading dates, NaN where no value). This header is the map of the
// engine; each unit below adds its published functions to the module in the
// order that module start-up fixes.
//
// The engine has two sides, and includes run one way, binding -> storage:
//
//   storage/            plain C++ on HDF5 and POSIX; no Python, no GIL
//     error.*           h5::Error, the HDF5 library lock, the error stack
//                       walked into one message with its system error number
//     factor_layout.*   how a factor matrix is stored: type, DEFLATE level,
//                       fill, chunk shape, chunk caches, what readers check
//     hdf5_store.hpp    files, the dataset, write transactions, attributes:
//                       the header gathering file_state, file_opening,
//                       datasets, raw_chunks, attributes, transactions
//     journal.*         the file driver with the undo journal: a date is
//                       written wholly or not at all, whatever kills the writer
//     chunk_io.*        chunks moved with direct chunk I/O and compressed on
//                       every core: date columns, row stripes, whole matrices
//     date_writes.*     the cursor rule; a batch's dates committed chunk
//                       column by chunk column (the band writer)
//     history_log.*     the bytes of the history beside a factor file
//     history_commits.* a transaction's record appended to it, the clock
//     history_files.*   a history started (baseline) or pruned, published whole
//     column_restore.*  columns and cursor_col put back as given
//     posix_files.*     hidden sibling names beside a path (journal and
//                       temporaries), publishing a finished file whole,
//                       directory syncs, owned fds
//     file_locking.*    QUORBEL_FILE_LOCKING's modes on HDF5 and the driver,
//                       and what keeps a reader whole without locks
//   Within storage, includes run one way too: file_locking uses error and
//   posix_files; journal uses those three; hdf5_store uses error,
//   factor_layout, file_locking, journal and history_commits (which uses
//   history_log); chunk_io uses hdf5_store; date_writes uses chunk_io;
//   history_files and column_restore use those.
//   binding/            quorbel.detail; these units hold the GIL
//     module.cpp        module entry: start-up order, settings, function table
//     python_support.cpp  reading the module namespace, root-logger logging,
//                       the one table from engine errors to Python exceptions,
//                       the one integer reading (integer_of), the one value
//                       reading as float64 (float64_of), argument checks
//     reference_data.cpp  trading calendar (date code <-> column) and the
//                       instrument index (order_book_id -> row) from MongoDB
//     file_handles.cpp  the factor file handle and its view of `data`:
//                       NumPy-style indexing, attributes as a mapping
//     attributes.cpp    attribute values between Python and h5::AttrValue
//     factor_files.cpp  creation built aside and published whole; opening
//                       with waits and retries (get_h5)
//     file_locking_setting.cpp  QUORBEL_FILE_LOCKING read before each open
//     file_maintenance.cpp  rewrite_factor and remove_factor: a fresh copy
//                       published over the old file, removal with its journal
//     factor_files.hpp  what creation and rewriting share: the file built aside
//     range_reads.cpp   get_factor_value: rows over a date range, lazily
//     writers.cpp       put_factor_value, put_factor_packs and get_iter
//     block_writes.cpp  _put_factor_block: many dates of one factor from
//                       arrays (the library's write_frame and write_cube)
//     date_clearing.cpp _clear_factor_date: a date's column written as NaN
//                       on purpose (the library's clear)
//     history_ops.cpp   a file's history: starting and pruning it, the commit
//                       clock, cursor_col set either way, columns restored
//     write_steps.hpp   growth, the stored type and rows, which both share
//     diagnostics.cpp   quorbel._diagnostics, a module of its own: the leak
//                       counts the test suite checks at its end
//   extras/             quorbel._extras, on storage and this header (extras.hpp)
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/hdf5_store.hpp"

namespace nb = nanobind;

namespace quorbel {

// ---- module namespace (python_support.cpp) --------------------------------
// Settings and sibling functions are looked up on the module at the moment of
// use, so that rebinding `quorbel.detail.X` changes later calls.
void set_engine_module(nb::handle module);
nb::object module_attr(const char *name);
void set_module_attr(const char *name, nb::handle value);
// A module setting that must be an int (for example BOOK_COUNT_THRESHOLD).
int64_t int_setting(const char *name);

// The one reading of integers from Python: whatever operator.index accepts
// (int, NumPy integers, ...) except bool, which is a flag and never a count,
// row or column. nullopt for anything else; each caller words that error.
// A value beyond 64 bits is clamped to INT64_MIN/INT64_MAX with `overflow`
// set to -1/1. Errors raised by the value's own __index__ propagate.
struct Integer {
    int64_t value = 0;
    int overflow = 0;
};
std::optional<Integer> integer_of(nb::handle value);
// integer_of for a value that must fit in 64 bits: TypeError "<what> must be
// an integer, not T", OverflowError "<what> does not fit in a 64-bit integer".
int64_t int64_of(nb::handle value, const std::string &what);
// The one reading of values as float64, as NumPy converts an object: None
// is NaN, numeric text (str, bytes) is parsed, bool is 0 or 1, a complex
// is refused (TypeError), anything else goes through float(). float64_of
// returns false with the Python error set (ValueError for text that is no
// number, TypeError for a type without a float form); to_float64 raises it.
bool float64_of(PyObject *value, double &out);
double to_float64(nb::handle value);
// `length` grown by the non-negative module setting `setting` (one growth
// step); ValueError for a negative setting, OverflowError past 2**63 - 1.
uint64_t grown_length(uint64_t length, const char *setting);

// ---- logging through the root logger, template and arguments apart --------
template <typename... Args>
void log_info(const char *message, Args &&...args);
template <typename... Args>
void log_warning(const char *message, Args &&...args);
template <typename... Args>
void log_error(const char *message, Args &&...args);
void log_record(int level, nb::handle message, nb::handle args_tuple);
// Logs at ERROR, with both paths, every undo journal that the storage side
// found beside a factor file but did not apply because it was not that file's.
void log_set_aside_journals();
constexpr int kInfo = 20;
constexpr int kWarning = 30;
constexpr int kError = 40;

template <typename... Args>
void log_info(const char *message, Args &&...args) {
    log_record(kInfo, nb::str(message), nb::make_tuple(std::forward<Args>(args)...));
}
template <typename... Args>
void log_warning(const char *message, Args &&...args) {
    log_record(kWarning, nb::str(message), nb::make_tuple(std::forward<Args>(args)...));
}
template <typename... Args>
void log_error(const char *message, Args &&...args) {
    log_record(kError, nb::str(message), nb::make_tuple(std::forward<Args>(args)...));
}

// ---- conversions and errors -----------------------------------------------
// A matrix shape as the log lines and messages write it: "(rows, cols)".
inline std::string shape_text(h5::Shape2 s) {
    return "(" + std::to_string(s.rows) + ", " + std::to_string(s.cols) + ")";
}
// The name of a value's Python type, for error messages.
std::string python_type_name(nb::handle value);
// A fresh NumPy float64 array of `shape` that owns its buffer; *data points
// at the buffer, which may be filled with the GIL released.
using FloatArray = nb::ndarray<nb::numpy, double>;
FloatArray new_float_array(const std::vector<size_t> &shape, double **data);
// A file-system path from str or os.PathLike (TypeError otherwise).
std::string path_argument(nb::handle path);
// A matrix shape argument: a pair (rows, columns) of non-negative integers;
// `what` names it in the errors.
h5::Shape2 shape_argument(nb::handle shape, const char *what);
// HDF5 names and variable-length strings are C strings: a NUL would cut them
// short. Returns `text`, or raises ValueError naming `what`.
const std::string &without_nul(const std::string &text, const char *what);
// The numpy module.
nb::object numpy();
// The one table from engine errors to Python exceptions: the kind picks
// KeyError, ValueError, IndexError or OSError; an OSError with an errno is
// built as OSError(errno, text[, filename]), which makes it the subclass that
// errno names (FileNotFoundError, FileExistsError, PermissionError, ...).
nb::object exception_object(const h5::Error &error, nb::handle filename = nb::handle());
[[noreturn]] void raise_python(const h5::Error &error, nb::handle filename = nb::handle());
// A failed system call as os.remove reports one: the errno's own text.
[[noreturn]] void raise_os_error(int error, nb::handle filename);
// Registers the translator from h5::Error to Python exceptions.
void register_error_translation();
// Lets other Python threads run while a call waits for a factor file that
// another thread is using (h5::set_wait_hook).
void register_wait_hook();

// Sets the storage side's file locking from QUORBEL_FILE_LOCKING; called
// before every open (file_locking_setting.cpp).
void use_file_locking_setting();

// ---- the factor file handle (file_handles.cpp) ----------------------------
// The Python object that get_h5 and create_new_factor_h5 return.
struct FactorFile {
    h5::File file;
};
// The h5::File behind a handle argument (TypeError for anything else).
h5::File &file_of(nb::handle h5_handle);

// ---- attribute values (attributes.cpp) ------------------------------------
// A stored attribute as Python sees it: str or an object array for text, a
// NumPy scalar or array of the stored type for numbers.
nb::object attribute_to_python(const h5::AttrValue &value);
// A Python value as an attribute: str, int (a signed 64-bit scalar), or
// anything numpy.asarray makes numbers, booleans or text of.
h5::AttrValue attribute_from_python(nb::handle object);

// ---- rewriting (file_maintenance.cpp) -------------------------------------
// rewrite_factor itself, for the command-line tool's progress bar.
void rewrite_factor_file(nb::handle path);

// ---- the rules a range read follows (range_reads.cpp) ---------------------
// Columns [first, end) of the matrix, before clipping to its column count.
struct ColumnSection {
    uint64_t first = 0;
    uint64_t end = 0;
};
// The section that _get_date_section_index's result stands for, cut at
// cursor_col when given: empty for a start after the end or past the cursor.
ColumnSection column_section(nb::handle lookup_result, std::optional<int64_t> cursor_col);
// The instrument index's entry for an identifier; null when it is no key.
nb::object index_entry(nb::handle stock_index, nb::handle order_book_id);
// An entry as a row number; nullopt for one no matrix can have (negative).
std::optional<uint64_t> row_number(nb::handle entry, nb::handle order_book_id);

// ---- streams that take part in cyclic garbage collection -----------------
// Slots for a bound stream type T that has `int traverse(visitproc, void *)`
// and `void finish()`: bind it with nb::type_slots(gc_slots<T>), so that a
// cycle through the objects it holds is collected.
template <typename T>
int gc_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<T>(self)->traverse(visit, arg);
}
template <typename T>
int gc_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->finish();
    return 0;
}
template <typename T>
inline PyType_Slot gc_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(gc_traverse<T>)},
    {Py_tp_clear, reinterpret_cast<void *>(gc_clear<T>)},
    {0, nullptr},
};

// ---- leak checks (read by quorbel._diagnostics) ---------------------------
// MongoDB clients of the instrument index that are alive right now.
size_t open_mongo_clients();

// ---- the instrument documents (reference_data.cpp) -------------------------
// Every document of the instrument collection as (order_book_id, row, the
// other fields as relaxed extended JSON), in the collection's natural order,
// checked and fetched as _get_all_instrument_index fetches its mapping.
nb::list instrument_documents();

// ---- start-up steps, in the order module.cpp calls them --------------------
void bind_file_handle_types(nb::module_ &m);
void define_calendar(nb::module_ &m);          // get_all_trading_dates and the date lookups
void define_instrument_index(nb::module_ &m);  // _get_all_instrument_index, _get_stock_index
void define_file_creation(nb::module_ &m);     // predicate and create_new_factor_h5
void define_file_opening(nb::module_ &m);      // get_h5 under retry
void define_range_reads(nb::module_ &m);       // get_factor_value
void define_writers(nb::module_ &m);           // get_iter, put_factor_packs, put_factor_value
void define_block_writes(nb::module_ &m);      // _put_factor_block, the library's frame and cube writes
void define_date_clearing(nb::module_ &m);     // _clear_factor_date, the library's clear
void define_file_maintenance(nb::module_ &m);  // rewrite_factor, remove_factor
void define_history_ops(nb::module_ &m);       // _enable_history, _set_cursor, _restore_columns, _prune_history

}  // namespace quorbel
