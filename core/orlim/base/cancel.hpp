// Cooperative cancellation of running jobs, and the registry of native calls that lets a host
// stop them all before it shuts down.
//
// A job runs with a stop flag (Pool::run_waiting). The loop helpers of parallel.hpp carry the flag
// to every worker that runs a block of the job and check it before each block; long stretches
// inside a block call cancellation_point() themselves. Once the flag is set, the next check throws
// Cancelled, which unwinds the job like any failure and reaches the thread that waits for it.
//
// The registry counts the calls that are inside native work. A host that is about to shut down
// calls stop_calls_and_wait(): every registered call is asked to stop, and it returns once all of
// them have left; calls that try to enter afterwards are refused. Everything here is thread-safe.
#pragma once

#include <atomic>
#include <stdexcept>

namespace orlim {

// What a cancellation point throws.
struct Cancelled : std::runtime_error {
  Cancelled() : std::runtime_error("the computation was cancelled") {}
};

namespace detail {
extern thread_local const std::atomic<bool>* t_stop;  // the flag of the job this thread works for
[[noreturn]] void throw_cancelled();
}  // namespace detail

// The stop flag of the job the calling thread works for (nullptr outside any).
inline const std::atomic<bool>* current_stop_flag() { return detail::t_stop; }

// Throws Cancelled when the job the calling thread works for has been asked to stop. Costs one
// thread-local read and one relaxed load: cheap enough for a loop over points.
inline void cancellation_point() {
  const std::atomic<bool>* stop = detail::t_stop;
  if (stop != nullptr && stop->load(std::memory_order_relaxed)) detail::throw_cancelled();
}

// Makes `flag` the stop flag of the calling thread's work for the lifetime of the scope.
class StopScope {
 public:
  explicit StopScope(const std::atomic<bool>* flag) : outer_(detail::t_stop) {
    detail::t_stop = flag;
  }
  ~StopScope() { detail::t_stop = outer_; }
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  const std::atomic<bool>* outer_;
};

// Registers a call whose job will watch `stop`; false (nothing registered) once
// stop_calls_and_wait() has begun. A registered call must end with leave_call(stop).
bool enter_call(std::atomic<bool>& stop);
void leave_call(std::atomic<bool>& stop);

// Sets the stop flag of every registered call, refuses new ones, and waits until every registered
// call has left. Safe to call more than once.
void stop_calls_and_wait();

// True once stop_calls_and_wait() has begun.
bool calls_stopped();

}  // namespace orlim
