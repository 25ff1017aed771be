// C entry points for tests, reached through ctypes: they drive the failure paths that valid
// input never takes. Not part of the Python module's surface.
#include <cstddef>

#include "orlim/parallel.hpp"

extern "C" __attribute__((visibility("default"))) void orlim_testing_inject_block_failures(
    std::size_t count, const char* message) {
  orlim::testing::inject_block_failures(count, message != nullptr ? message : "");
}
