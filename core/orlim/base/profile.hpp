// Optional timing lines on standard error, each starting with "[orlim] ". The only output the
// core ever writes. Enabled per call when ORLIM_PROFILE exists and holds valid UTF-8.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace orlim {

// Reads ORLIM_PROFILE afresh (nothing is cached).
bool profiling_enabled();

// True when `text` is well-formed UTF-8.
bool valid_utf8(std::string_view text);

// Seconds on the monotonic clock, never negative.
class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double seconds() const;
  void restart() { start_ = std::chrono::steady_clock::now(); }

 private:
  std::chrono::steady_clock::time_point start_;
};

// "[orlim] {name:<14} {seconds:>7.3}s"
void print_phase_line(std::string_view name, double seconds);
// "[orlim] run {run}/{runs} leaves={leaves} repl={repl:.2}x"
void print_run_line(std::size_t run, std::size_t runs, std::size_t leaves, double repl);
// Writes one whole line (the text plus "\n") to standard error in a single call.
void print_line(std::string_view text);

}  // namespace orlim
