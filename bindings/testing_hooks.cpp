// C entry points for tests, reached through ctypes: they drive the failure paths that valid
// input never takes. Not part of the Python module's surface.
#include <cstddef>
#include <string>

#include "orlim/kernels/blas.hpp"
#include "orlim/base/parallel.hpp"

extern "C" __attribute__((visibility("default"))) void orlim_testing_inject_block_failures(
    std::size_t count, const char* message) {
  orlim::testing::inject_block_failures(count, message != nullptr ? message : "");
}

// The kernel family the loaded OpenBLAS runs (the module loads it at import).
extern "C" __attribute__((visibility("default"))) const char* orlim_testing_blas_core() {
  static const std::string core(orlim::blas_core());
  return core.c_str();
}
