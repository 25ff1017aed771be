#include "orlim/base/profile.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace orlim {

bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, code = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      code = (code << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

bool profiling_enabled() {
  const char* value = std::getenv("ORLIM_PROFILE");
  return value != nullptr && valid_utf8(value);
}

double Stopwatch::seconds() const {
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  const double s = std::chrono::duration<double>(elapsed).count();
  return s > 0.0 ? s : 0.0;
}

void print_line(std::string_view text) {
  std::string line(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void print_phase_line(std::string_view name, double seconds) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "[orlim] %-14.*s %7.3fs", static_cast<int>(name.size()),
                name.data(), seconds);
  print_line(buf);
}

void print_run_line(std::size_t run, std::size_t runs, std::size_t leaves, double repl) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "[orlim] run %zu/%zu leaves=%zu repl=%.2fx", run, runs, leaves,
                repl);
  print_line(buf);
}

}  // namespace orlim
