#include "extras.hpp"
namespace quorbel { int cli_main() { return 0; } }
