// The core's single failure path: broken invariants throw orlim::Failure, which the bindings turn
// into the module's internal-failure exception. The core never aborts.
#pragma once

#include <stdexcept>
#include <string>

namespace orlim {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& message);

// a * b, or a Failure naming `what` when the product does not fit in size_t.
std::size_t checked_mul(std::size_t a, std::size_t b, const char* what);

}  // namespace orlim
