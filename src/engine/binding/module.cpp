// Module entry: start-up in a fixed order, the settings and the function table.
#include <string>

#include "detail.hpp"
#include "storage/date_writes.hpp"

namespace quorbel {
namespace {

// The package this module belongs to, for the relative imports of its
// siblings ("quorbel" when imported as quorbel.detail).
std::string package_of(nb::module_ &m) {
    std::string name = nb::cast<std::string>(m.attr("__name__"));
    auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

nb::object import_sibling(nb::module_ &m, const char *sibling) {
    nb::object importlib = nb::module_::import_("importlib");
    return importlib.attr("import_module")(std::string(".") + sibling, package_of(m));
}

void bind_names(nb::module_ &m, nb::handle from, std::initializer_list<const char *> names) {
    for (const char *name : names) m.attr(name) = from.attr(name);
}

void bind_settings(nb::module_ &m) {
    m.attr("nan") = nb::module_::import_("builtins").attr("float")("Nan");
    m.attr("TRADING_DATES") = nb::none();
    m.attr("EXPAND_INSTRUMENT_LENGTH") = 500;
    m.attr("EXPAND_TRADING_DATE_LENGTH") = 250;
    m.attr("BOOK_COUNT_THRESHOLD") = 3700;
}

}  // namespace
}  // namespace quorbel

// The leak counts that quorbel._diagnostics reads (with dlsym, so that they
// are this module's own); -1 when the count itself fails.
extern "C" NB_EXPORT long long quorbel_open_hdf5_objects() noexcept {
    try {
        return static_cast<long long>(quorbel::h5::open_object_count());
    } catch (...) {
        return -1;
    }
}
extern "C" NB_EXPORT long long quorbel_open_mongo_clients() noexcept {
    return static_cast<long long>(quorbel::open_mongo_clients());
}
// The test suite's switch between banded batch writes and date-by-date ones.
extern "C" NB_EXPORT void quorbel_set_dates_by_band(int on) noexcept { quorbel::dates::set_dates_by_band(on != 0); }

// NB_MODULE, except that an error raised by start-up (a sibling module that
// fails, dravolc_init() raising) reaches the importer as it was raised
// instead of wrapped in an ImportError.
static void start_up(nb::module_ m);
static int detail_exec(PyObject *m) {
    nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);
    if (!nanobind::detail::internals) return -1;
    try {
        start_up(nb::borrow<nb::module_>(m));
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}
static PyObject *detail_def = nullptr;
extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_detail(void);
extern "C" PyObject *PyInit_detail(void) {
    nanobind::detail::init_singletons();
    if (!nanobind::detail::nb_backend_init("detail")) return nullptr;
    if (!detail_def) detail_def = NB_CALL(module_new)("detail", nullptr, (void *)detail_exec, NB_ABI_MINOR_TAG);
    return detail_def;
}

static void start_up(nb::module_ m) {
    using namespace quorbel;
    set_engine_module(m);
    register_error_translation();
    register_wait_hook();
    bind_file_handle_types(m);

    // Facilities the functions use, loaded up front so that a missing one
    // fails the import rather than a later call.
    for (const char *facility : {"os", "re", "bisect", "logging", "time", "numpy"}) {
        nb::module_::import_(facility);
    }
    m.attr("get_trading_dates") = nb::module_::import_("dravolc").attr("get_trading_dates");
    bind_names(m, import_sibling(m, "config"),
               {"get_mongodb_uri", "dravolc_init", "MIN_FACTOR_DAY", "DATABASE", "COLLECTION"});
    bind_names(m, import_sibling(m, "utils"), {"ttl_cache", "retry"});
    bind_settings(m);

    // The market-data client must be ready before the first calendar fetch.
    m.attr("dravolc_init")();

    define_calendar(m);
    define_instrument_index(m);
    m.attr("_error_regex") = nb::module_::import_("re").attr("compile")(".*errno = (17|35).*");
    define_file_creation(m);
    define_file_opening(m);
    define_range_reads(m);
    define_writers(m);
    define_block_writes(m);
    define_date_clearing(m);
    define_file_maintenance(m);
    define_history_ops(m);
}
