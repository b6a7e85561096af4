// quorbel._diagnostics, a module of its own for the test suite: how many HDF5
// identifiers and MongoDB clients the engine holds right now (leak checks),
// and the switch that writes batches date by date (the reference that banded
// batch writes are held against).
//
// The counts belong to the loaded quorbel.detail; they are read through the C
// entry points it exports (module.cpp), found with dlsym, so that this module
// never needs a second copy of the engine with counters of its own.
#include <dlfcn.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <stdexcept>
#include <string>

namespace nb = nanobind;

namespace {

// A C entry point of the loaded quorbel.detail.
void *engine_entry(const char *name) {
    const auto path = nb::cast<std::string>(nb::module_::import_("quorbel.detail").attr("__file__"));
    void *engine = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!engine) throw std::runtime_error("quorbel.detail is not loaded from " + path);
    void *entry = ::dlsym(engine, name);
    ::dlclose(engine);  // RTLD_NOLOAD took a reference; the import keeps the module loaded
    if (!entry) throw std::runtime_error(std::string("quorbel.detail does not export ") + name);
    return entry;
}

long long engine_count(const char *entry_point) {
    const long long count = reinterpret_cast<long long (*)()>(engine_entry(entry_point))();
    if (count < 0) throw std::runtime_error(std::string(entry_point) + " failed");
    return count;
}

void set_dates_by_band(bool on) {
    reinterpret_cast<void (*)(int)>(engine_entry("quorbel_set_dates_by_band"))(on ? 1 : 0);
}

}  // namespace

NB_MODULE(_diagnostics, m) {
    m.doc() = "Leak checks: what the engine quorbel.detail holds open right now.";
    m.def("open_hdf5_objects", [] { return engine_count("quorbel_open_hdf5_objects"); },
          "Open HDF5 files, datasets, groups, named types and attributes of the engine's HDF5 library.");
    m.def("open_mongo_clients", [] { return engine_count("quorbel_open_mongo_clients"); },
          "MongoDB clients of the instrument index that are alive.");
    m.def("set_dates_by_band", &set_dates_by_band, nb::arg("on"),
          "Write batches band by band (True, the engine's way) or each date alone (False), to compare the two.");
}
