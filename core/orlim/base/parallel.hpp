// Worker pools and the one parallel loop shape of the core.
//
// A Pool is either a dedicated pool created for one call (exactly `threads` concurrent workers)
// or the process-wide default pool, created on first use and never destroyed. Pool::run executes
// a job inside the pool; parallel_for_blocks, called from inside a job, splits [0, n) into
// contiguous blocks run by the pool's workers. The first exception thrown by any block cancels
// the rest of the loop and is rethrown on the thread that called run(). Pool::run_waiting runs a
// job that can be stopped (cancel.hpp) while the calling thread wakes at intervals. No oneTBB type
// leaks out of this header.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace orlim {

// A non-owning reference to a callable; cheap to copy, valid while the callable lives.
template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
  FunctionRef(F&& f) noexcept  // NOLINT: implicit by design
      : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* obj, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(obj))(std::forward<Args>(args)...);
        }) {}
  R operator()(Args... args) const { return call_(obj_, std::forward<Args>(args)...); }

 private:
  void* obj_;
  R (*call_)(void*, Args...);
};

class Pool {
 public:
  // Dedicated pools larger than this are refused (the call falls back to the default pool), and
  // the default pool is never made larger.
  static constexpr std::size_t kMaxThreads = 256;

  // A dedicated pool of exactly `threads` workers, 1 <= threads <= kMaxThreads; nullopt when it
  // cannot be created, also when that many more threads cannot be started now.
  static std::optional<Pool> dedicated(std::size_t threads);
  // The process-wide default pool, sized on first use by default_pool_size(), at most
  // kMaxThreads, and halved until its threads can be started. Throws Failure when not even one
  // can (and tries again on the next use).
  static Pool& shared();

  Pool(Pool&&) noexcept;
  Pool& operator=(Pool&&) noexcept;
  ~Pool();

  // Runs `job` inside the pool and waits for it; its exception, if any, is rethrown here.
  void run(FunctionRef<void()> job);

  // Runs `job` on the pool's own threads with `stop` as its stop flag, while the calling thread
  // waits. Whenever `slice` passes without the job finishing, the calling thread calls `on_wake`,
  // which may set `stop`. The job's exception (Cancelled once it saw `stop`) is rethrown here.
  void run_waiting(FunctionRef<void()> job, std::atomic<bool>& stop,
                   std::chrono::milliseconds slice, FunctionRef<void()> on_wake);
  std::size_t threads() const { return threads_; }

 private:
  struct Impl;
  explicit Pool(std::size_t threads);
  std::unique_ptr<Impl> impl_;
  std::size_t threads_ = 0;
};

// Calls body(lo, hi) on disjoint contiguous blocks covering [0, n), each at most `grain` items
// long unless the scheduler keeps a range whole. Runs in the pool of the enclosing Pool::run (or
// the default pool outside any). Blocks are split by work stealing; each block should create its
// working state once and reuse it for all its items. The caller's stop flag (cancel.hpp) is
// checked before every block and is the flag of the thread running the block; a body whose block
// may run long calls cancellation_point() between its items.
void parallel_for_blocks(std::size_t n, std::size_t grain,
                         FunctionRef<void(std::size_t, std::size_t)> body);

// The default pool's size: RAYON_NUM_THREADS when it is a positive integer; otherwise, unless it
// is 0, RAYON_RS_NUM_CPUS when that is a positive integer; otherwise available_cpus().
std::size_t default_pool_size();

// Same rule over explicit values (nullptr = unset), so it can be tested without the environment.
std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                           std::size_t available);

// CPUs this process may use: the affinity mask, further limited by a cgroup v1/v2 CPU quota.
std::size_t available_cpus();

// CPU limit of a cgroup v2 `cpu.max` file's content ("max 100000" or "quota period"):
// max(1, quota / period), or nullopt when there is no limit or the text is malformed.
std::optional<std::size_t> quota_from_cpu_max(const std::string& text);

namespace testing {
// Makes the next `count` blocks run by parallel_for_blocks throw orlim::Failure(message) instead
// of running. Lets tests drive the failure path of every layer above the core.
void inject_block_failures(std::size_t count, const std::string& message);
}  // namespace testing

}  // namespace orlim
