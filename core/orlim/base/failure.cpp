#include "orlim/base/failure.hpp"

#include <limits>

namespace orlim {

void fail(const std::string& message) { throw Failure(message); }

std::size_t checked_mul(std::size_t a, std::size_t b, const char* what) {
  std::size_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) {
    fail(std::string("size overflow: ") + what);
  }
  return out;
}

}  // namespace orlim
