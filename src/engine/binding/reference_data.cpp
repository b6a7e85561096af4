// Market reference data: the trading calendar (date code <-> column) and the
// instrument index (order_book_id -> row) read from MongoDB.
#include <Python.h>
#include <mongoc/mongoc.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "detail.hpp"
#include "function_docs.hpp"

namespace quorbel {
namespace {

constexpr int kCacheSeconds = 3600;

// ===========================================================================
// Trading calendar

// An integer field of a calendar date (year, month or day).
int64_t date_field(nb::handle date, const char *field) {
    nb::object value = date.attr(field);
    const std::optional<Integer> number = integer_of(value);
    if (!number) {
        throw nb::type_error(("a trading date's " + std::string(field) + " must be an integer, not " +
                              python_type_name(value)).c_str());
    }
    // Bounded so that the code's arithmetic cannot overflow.
    if (number->value < INT32_MIN || number->value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, ("a trading date's " + std::string(field) + " is out of range").c_str());
        throw nb::python_error();
    }
    return number->value;
}

nb::object date_code(nb::handle date) {
    int64_t code = date_field(date, "year") * 10000 + date_field(date, "month") * 100 + date_field(date, "day");
    return nb::int_(code);
}

bool python_compare(nb::handle a, nb::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) throw nb::python_error();
    return result != 0;
}

nb::list fetch_trading_dates() {
    nb::object dates = module_attr("get_trading_dates")("2000-01-01", "2500-01-01");
    nb::object first_day = module_attr("MIN_FACTOR_DAY");
    nb::list codes;
    for (nb::handle date : dates) {
        nb::object code = date_code(date);
        if (python_compare(code, first_day, Py_GE)) codes.append(code);
    }
    return codes;
}

// ---- bisection over the snapshot, in place ---------------------------------
// The snapshot is searched through the sequence protocol, item by item, so a
// lookup costs O(log n) item reads and never copies the list. Items and keys
// that are plain ints compare in C++; anything else goes through Python's
// comparison, which raises TypeError for a key that cannot be ordered against
// the calendar's ints, exactly as the bisect module would.

Py_ssize_t sequence_length(nb::handle sequence) {
    Py_ssize_t n = PyObject_Length(sequence.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

nb::object sequence_item(nb::handle sequence, Py_ssize_t i) {
    nb::object item = nb::steal(PySequence_GetItem(sequence.ptr(), i));
    if (!item.is_valid()) throw nb::python_error();
    return item;
}

// Exact ints only: a subclass or a NumPy integer may compare in its own way.
bool small_int(PyObject *value, long long &out) {
    if (!PyLong_CheckExact(value)) return false;
    const std::optional<Integer> number = integer_of(value);
    if (!number || number->overflow != 0) return false;
    out = number->value;
    return true;
}

// a < b, with the same outcome as Python's `a < b`.
bool less_than(nb::handle a, nb::handle b) {
    long long x = 0, y = 0;
    if (small_int(a.ptr(), x) && small_int(b.ptr(), y)) return x < y;
    return python_compare(a, b, Py_LT);
}

// The number of entries strictly less than `key` (bisect_left).
Py_ssize_t bisect_left(nb::handle dates, nb::handle key) {
    Py_ssize_t lo = 0, hi = sequence_length(dates);
    while (lo < hi) {
        Py_ssize_t mid = lo + (hi - lo) / 2;
        if (less_than(sequence_item(dates, mid), key)) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// The number of entries less than or equal to `key` (bisect_right).
Py_ssize_t bisect_right(nb::handle dates, nb::handle key) {
    Py_ssize_t lo = 0, hi = sequence_length(dates);
    while (lo < hi) {
        Py_ssize_t mid = lo + (hi - lo) / 2;
        if (less_than(key, sequence_item(dates, mid))) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}

// ---- the snapshot TRADING_DATES ----------------------------------------------

// The snapshot to search: TRADING_DATES, refreshed first (at most once) when
// it is missing, empty or fails the lookup's coverage test. The module
// attribute is rebound only after get_all_trading_dates() has returned.
template <typename Covers>
nb::object calendar_snapshot(Covers covers) {
    nb::object dates = module_attr("TRADING_DATES");
    if (!dates.is_none() && sequence_length(dates) > 0 && covers(dates)) return dates;
    dates = module_attr("get_all_trading_dates")();
    set_module_attr("TRADING_DATES", dates);
    return dates;
}

nb::object last_date(nb::handle dates) { return sequence_item(dates, sequence_length(dates) - 1); }

nb::object date_index(nb::handle d) {
    nb::object dates = calendar_snapshot([&](nb::handle ds) { return !less_than(last_date(ds), d); });
    Py_ssize_t idx = bisect_left(dates, d);
    if (idx >= sequence_length(dates) || python_compare(sequence_item(dates, idx), d, Py_NE)) return nb::none();
    return nb::int_(idx);
}

nb::tuple date_section_index(nb::handle start_date, nb::handle end_date) {
    nb::object dates = calendar_snapshot([&](nb::handle ds) { return !less_than(last_date(ds), end_date); });
    Py_ssize_t s = bisect_left(dates, start_date);
    Py_ssize_t e = bisect_right(dates, end_date);
    return nb::make_tuple(s, e);
}

nb::object date_at(nb::handle dates, nb::handle position) {
    // Host indexing: negative positions count from the end, IndexError past it.
    nb::object item = nb::steal(PyObject_GetItem(dates.ptr(), position.ptr()));
    if (!item.is_valid()) throw nb::python_error();
    return item;
}

nb::tuple date_by_index(nb::handle s, nb::handle e) {
    nb::object dates = calendar_snapshot([&](nb::handle ds) {
        return !python_compare(nb::int_(sequence_length(ds)), e, Py_LE);
    });
    return nb::make_tuple(date_at(dates, s), date_at(dates, e));
}

// ===========================================================================
// Instrument index: the MongoDB side works on plain C++ data, without the GIL.

struct InstrumentRow {
    std::string order_book_id;
    int64_t row;
    // The document's other fields as relaxed extended JSON, only when asked
    // for: the engine itself needs the row alone.
    std::string other_fields;
};

// A failure of the fetch, raised as a Python exception once the GIL is back.
struct FetchFailure {
    PyObject *kind;  // a built-in exception type, alive for the whole process
    std::string message;
};

template <typename T, void (*Destroy)(T *)>
struct Destroyer {
    void operator()(T *p) const noexcept { Destroy(p); }
};
template <typename T, void (*Destroy)(T *)>
using Owned = std::unique_ptr<T, Destroyer<T, Destroy>>;

// Clients alive right now; the test suite checks that none outlives a fetch.
std::atomic<size_t> g_open_clients{0};

void destroy_client(mongoc_client_t *client) {
    mongoc_client_destroy(client);
    g_open_clients.fetch_sub(1);
}

using Uri = Owned<mongoc_uri_t, mongoc_uri_destroy>;
using Client = Owned<mongoc_client_t, destroy_client>;

Client new_client(const mongoc_uri_t *uri, bson_error_t *error) {
    Client client(mongoc_client_new_from_uri_with_error(uri, error));
    if (client) g_open_clients.fetch_add(1);
    return client;
}
using Collection = Owned<mongoc_collection_t, mongoc_collection_destroy>;
using Cursor = Owned<mongoc_cursor_t, mongoc_cursor_destroy>;

class Bson {
  public:
    Bson() { bson_init(&doc_); }
    ~Bson() { bson_destroy(&doc_); }
    Bson(const Bson &) = delete;
    Bson &operator=(const Bson &) = delete;
    bson_t *get() { return &doc_; }

  private:
    bson_t doc_;
};

const char *bson_type_name(bson_type_t type) {
    switch (type) {
        case BSON_TYPE_DOUBLE: return "double";
        case BSON_TYPE_UTF8: return "string";
        case BSON_TYPE_DOCUMENT: return "document";
        case BSON_TYPE_ARRAY: return "array";
        case BSON_TYPE_BINARY: return "binary";
        case BSON_TYPE_OID: return "ObjectId";
        case BSON_TYPE_BOOL: return "bool";
        case BSON_TYPE_DATE_TIME: return "date";
        case BSON_TYPE_NULL: return "null";
        case BSON_TYPE_INT32: return "int32";
        case BSON_TYPE_INT64: return "int64";
        case BSON_TYPE_DECIMAL128: return "decimal128";
        default: return "another BSON type";
    }
}

// The driver's errors: no server reachable (selection failed, or the
// connection broke off) is a connection error; anything the server or the
// query reports is a runtime error. Both carry the driver's text.
FetchFailure driver_failure(const bson_error_t &error) {
    bool unreachable = error.domain == MONGOC_ERROR_SERVER_SELECTION || error.domain == MONGOC_ERROR_STREAM;
    return {unreachable ? PyExc_ConnectionError : PyExc_RuntimeError, error.message};
}

bson_iter_t required_field(const bson_t *doc, const char *field) {
    bson_iter_t it;
    if (!bson_iter_init_find(&it, doc, field)) throw FetchFailure{PyExc_KeyError, field};
    return it;
}

InstrumentRow instrument_row(const bson_t *doc) {
    bson_iter_t id_field = required_field(doc, "order_book_id");
    bson_iter_t index_field = required_field(doc, "index");
    if (!BSON_ITER_HOLDS_UTF8(&id_field)) {
        throw FetchFailure{PyExc_TypeError, std::string("order_book_id must be a string, not ") +
                                                bson_type_name(bson_iter_type(&id_field))};
    }
    uint32_t length = 0;
    const char *text = bson_iter_utf8(&id_field, &length);
    InstrumentRow entry{std::string(text, length), 0, {}};
    if (BSON_ITER_HOLDS_INT32(&index_field) || BSON_ITER_HOLDS_INT64(&index_field)) {
        entry.row = bson_iter_as_int64(&index_field);
        return entry;
    }
    // A fractional or textual row number has no row to go to; refuse it here
    // rather than let every reader and writer stumble over it.
    throw FetchFailure{PyExc_TypeError, "the row number (index) of " + entry.order_book_id +
                                            " must be an integer, not " +
                                            bson_type_name(bson_iter_type(&index_field))};
}

void free_json(char *json) { bson_free(json); }
using Json = Owned<char, free_json>;

std::string other_fields_json(const bson_t *doc) {
    Bson rest;
    bson_copy_to_excluding_noinit(doc, rest.get(), "order_book_id", "index", nullptr);
    size_t length = 0;
    Json json(bson_as_relaxed_extended_json(rest.get(), &length));
    if (!json) throw FetchFailure{PyExc_ValueError, "an instrument document cannot be written as JSON"};
    return std::string(json.get(), length);
}

// The connection string as an error may show it: whatever sits before the
// host (user name and password) is masked.
std::string shown_uri(const std::string &uri_text) {
    const size_t scheme = uri_text.find("://");
    if (scheme == std::string::npos) return uri_text;
    const size_t start = scheme + 3;
    const size_t end = std::min(uri_text.find_first_of("/?", start), uri_text.size());
    const size_t at = uri_text.rfind('@', end - 1);
    if (at == std::string::npos || at < start || end == start) return uri_text;
    return uri_text.substr(0, start) + "***" + uri_text.substr(at);
}

// No server answered: say where the engine looked, what chose that place and
// how to get a server, beside the driver's own words.
FetchFailure unreachable_index(const std::string &uri_text, const std::string &driver_text) {
    return {PyExc_ConnectionError,
            "cannot reach the instrument index at " + shown_uri(uri_text) + ": " + driver_text +
                ". QUORBEL_MONGODB_URI chooses the server: point it at the MongoDB server that holds the index, "
                "or start a local one with `quorbel index serve` and export the line it prints."};
}

// One find over the whole collection, every field but _id, walked to the end.
// The owners are destroyed in reverse order (cursor, collection, client) on
// every way out, so no client outlives the call.
std::vector<InstrumentRow> read_instrument_rows(const std::string &uri_text, const std::string &database,
                                                const std::string &collection_name, bool with_other_fields) {
    bson_error_t error;
    Uri uri(mongoc_uri_new_with_error(uri_text.c_str(), &error));
    if (!uri) throw FetchFailure{PyExc_ValueError, "invalid MongoDB connection string: " + std::string(error.message)};
    Client client = new_client(uri.get(), &error);
    if (!client) throw FetchFailure{PyExc_ValueError, error.message};
    // Server errors get their own domain, apart from the driver's own.
    mongoc_client_set_error_api(client.get(), MONGOC_ERROR_API_VERSION_2);
    Collection collection(mongoc_client_get_collection(client.get(), database.c_str(), collection_name.c_str()));

    Bson filter, options, projection;
    BSON_APPEND_INT32(projection.get(), "_id", 0);
    BSON_APPEND_DOCUMENT(options.get(), "projection", projection.get());
    Cursor cursor(mongoc_collection_find_with_opts(collection.get(), filter.get(), options.get(), nullptr));

    std::vector<InstrumentRow> rows;
    const bson_t *doc = nullptr;
    while (mongoc_cursor_next(cursor.get(), &doc)) {
        rows.push_back(instrument_row(doc));
        if (with_other_fields) rows.back().other_fields = other_fields_json(doc);
    }
    if (mongoc_cursor_error(cursor.get(), &error)) {
        FetchFailure failure = driver_failure(error);
        if (failure.kind == PyExc_ConnectionError) failure = unreachable_index(uri_text, failure.message);
        throw failure;
    }
    return rows;
}

// ---- the Python side -------------------------------------------------------

std::string text_value(nb::handle value, const std::string &what) {
    if (!PyUnicode_Check(value.ptr())) {
        throw nb::type_error((what + " must be a str, not " + python_type_name(value)).c_str());
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!utf8) throw nb::python_error();
    if (std::memchr(utf8, '\0', static_cast<size_t>(size))) {
        throw nb::value_error((what + " contains a NUL character").c_str());
    }
    return std::string(utf8, static_cast<size_t>(size));
}

// The driver splits "database.collection" at the first dot and aborts the
// process on an empty collection part, so names it would misread stop here.
void check_namespace(const std::string &database, const std::string &collection) {
    if (database.empty() || database.find_first_of("/\\. \"$") != std::string::npos) {
        throw nb::value_error(("invalid MongoDB database name '" + database +
                               "' in quorbel.detail.DATABASE: it must be non-empty, without any of /\\. \"$").c_str());
    }
    if (collection.empty()) throw nb::value_error("the MongoDB collection name (quorbel.detail.COLLECTION) is empty");
}

[[noreturn]] void raise_failure(const FetchFailure &failure) {
    PyErr_SetString(failure.kind, failure.message.c_str());
    throw nb::python_error();
}

nb::dict instrument_map(const std::vector<InstrumentRow> &rows) {
    nb::dict mapping;
    // Later documents replace earlier ones with the same order_book_id. Row
    // numbers are kept as stored, a negative one too: readers and writers
    // treat it like a row beyond the matrix, never as counting from the end.
    for (const InstrumentRow &entry : rows) {
        mapping[nb::str(entry.order_book_id.data(), entry.order_book_id.size())] = nb::int_(entry.row);
    }
    return mapping;
}

// Every document of the collection that the settings name, read without the GIL.
std::vector<InstrumentRow> fetch_instrument_rows(bool with_other_fields) {
    std::string uri = text_value(module_attr("get_mongodb_uri")(), "get_mongodb_uri()");
    std::string database = text_value(module_attr("DATABASE"), "quorbel.detail.DATABASE");
    std::string collection = text_value(module_attr("COLLECTION"), "quorbel.detail.COLLECTION");
    check_namespace(database, collection);
    std::vector<InstrumentRow> rows;
    try {
        nb::gil_scoped_release no_gil;
        rows = read_instrument_rows(uri, database, collection, with_other_fields);
    } catch (const FetchFailure &failure) {
        raise_failure(failure);
    }
    return rows;
}

nb::dict fetch_instrument_index() { return instrument_map(fetch_instrument_rows(false)); }

nb::object stock_index(nb::handle order_book_id) {
    nb::object mapping = module_attr("_get_all_instrument_index")();
    nb::object row = nb::steal(PyObject_GetItem(mapping.ptr(), order_book_id.ptr()));
    if (!row.is_valid()) throw nb::python_error();
    return row;
}

// The driver's failures reach the caller as exceptions; its chatter below
// error level (topology changes, authentication steps) would only clutter the
// host's stderr.
void driver_log(mongoc_log_level_t level, const char *domain, const char *message, void *data) {
    if (level <= MONGOC_LOG_LEVEL_CRITICAL) mongoc_log_default_handler(level, domain, message, data);
}

// A function of the module wrapped by a fresh ttl_cache(3600) and bound under
// its own name; each call to ttl_cache makes a separate cache.
template <typename Func>
void define_cached(nb::module_ &m, const char *name, Func &&func, const char *doc) {
    nb::object decorator = module_attr("ttl_cache")(kCacheSeconds);
    nb::object plain = nb::cpp_function(std::forward<Func>(func), nb::scope(m), nb::name(name), doc);
    nb::object cached = decorator(plain);
    // functools.wraps copied nanobind's __doc__, which starts with the
    // signature; the wrapper documents itself with the docstring alone.
    cached.attr("__doc__") = doc;
    m.attr(name) = cached;
}

}  // namespace

size_t open_mongo_clients() { return g_open_clients.load(); }

nb::list instrument_documents() {
    const std::vector<InstrumentRow> rows = fetch_instrument_rows(true);
    nb::list documents;
    for (const InstrumentRow &entry : rows) {
        documents.append(nb::make_tuple(nb::str(entry.order_book_id.data(), entry.order_book_id.size()),
                                        nb::int_(entry.row),
                                        nb::str(entry.other_fields.data(), entry.other_fields.size())));
    }
    return documents;
}

void define_calendar(nb::module_ &m) {
    define_cached(m, "get_all_trading_dates", &fetch_trading_dates, docs::kGetAllTradingDates);
    m.def("_get_date_index", &date_index, nb::arg().none(),
          nb::sig("def _get_date_index(d: int, /) -> int | None"), docs::kGetDateIndex);
    m.def("_get_date_section_index", &date_section_index, nb::arg("start_date").none(), nb::arg("end_date").none(),
          docs::kGetDateSectionIndex);
    m.def("_get_date_by_index", &date_by_index, nb::arg("s").none(), nb::arg("e").none(), docs::kGetDateByIndex);
}

void define_instrument_index(nb::module_ &m) {
    mongoc_init();
    mongoc_log_set_handler(driver_log, nullptr);
    define_cached(m, "_get_all_instrument_index", &fetch_instrument_index, docs::kGetAllInstrumentIndex);
    m.def("_get_stock_index", &stock_index, nb::arg().none(),
          nb::sig("def _get_stock_index(order_book_id: str, /) -> int"), docs::kGetStockIndex);
}

}  // namespace quorbel
