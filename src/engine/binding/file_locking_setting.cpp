// QUORBEL_FILE_LOCKING, as quorbel.config reads it, for the storage side.
#include <string>

#include "detail.hpp"
#include "storage/file_locking.hpp"

namespace quorbel {

void use_file_locking_setting() {
    // Read at every open, like the connection string: a bad value fails the
    // call with config's ValueError, and a changed one applies to the next open.
    nb::object config = nb::module_::import_("quorbel.config");
    const std::string value = nb::cast<std::string>(config.attr("get_file_locking")());
    if (value == "off") {
        h5::locking::set_mode(h5::locking::Mode::Off);
    } else if (value == "best-effort") {
        h5::locking::set_mode(h5::locking::Mode::BestEffort);
    } else {
        h5::locking::set_mode(h5::locking::Mode::On);
    }
}

}  // namespace quorbel
