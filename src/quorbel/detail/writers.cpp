// Writers: growth and cursor steps, single-date and batch writes.
#include "detail.hpp"

namespace quorbel {

void define_writers(nb::module_ &) {}

}  // namespace quorbel
