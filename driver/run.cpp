// Placeholder run driver; replaced by the real one.
#include "driver/driver.hpp"

namespace qx::driver {

int run(int, char**) { return exit_fatal; }

}  // namespace qx::driver
