// Range reads: instrument rows over a date range, as a lazy stream.
#include "detail.hpp"

namespace quorbel {

void define_range_reads(nb::module_ &) {}

}  // namespace quorbel
