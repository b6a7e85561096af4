// Market reference data: the trading calendar and the instrument index.
#include "detail.hpp"

namespace quorbel {

void define_calendar(nb::module_ &) {}

void define_instrument_index(nb::module_ &) {}

}  // namespace quorbel
