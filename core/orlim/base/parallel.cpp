#include "orlim/base/parallel.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "orlim/base/cancel.hpp"
#include "orlim/base/failure.hpp"

namespace orlim {

namespace {

// The stack every worker gets, set explicitly so that the start-up check below tries threads of
// the size oneTBB will create.
constexpr std::size_t kWorkerStackBytes = std::size_t{4} << 20;

// Address space that must remain free besides the new threads: the computation's own buffers
// (OpenBLAS alone maps 128 MiB per call in flight) need room too.
constexpr std::size_t kReserveBytes = std::size_t{512} << 20;

// oneTBB starts its workers lazily, and a worker it cannot start (no memory for the stack under
// an address-space limit, a thread limit reached) ends the process: the failure is thrown on a
// thread that cannot pass it on. So before oneTBB is allowed more workers, as many threads of the
// same stack size are started here and held until all exist, together with a reserve of address
// space, then stopped again; the new workers are then started at once (start_workers). False
// when not all of it could be had.
bool can_start_threads(std::size_t count) {
  struct Gate {
    std::mutex mutex;  // guards ready and open
    std::condition_variable changed;
    std::size_t ready = 0;
    bool open = false;
  } gate;
  const auto wait_at_gate = [](void* arg) -> void* {
    // A thread's first allocation may give it a malloc arena of its own, whose address space is
    // reserved for good: taken here, it is not missing when the real workers start.
    std::free(std::malloc(64));
    auto& g = *static_cast<Gate*>(arg);
    std::unique_lock<std::mutex> lock(g.mutex);
    ++g.ready;
    g.changed.notify_all();
    g.changed.wait(lock, [&] { return g.open; });
    return nullptr;
  };
  std::vector<pthread_t> started;
  started.reserve(count);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  bool ok = pthread_attr_setstacksize(&attr, kWorkerStackBytes) == 0;
  while (ok && started.size() < count) {
    pthread_t thread;
    ok = pthread_create(&thread, &attr, wait_at_gate, &gate) == 0;
    if (ok) started.push_back(thread);
  }
  pthread_attr_destroy(&attr);
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.changed.wait(lock, [&] { return gate.ready == started.size(); });
  }
  if (ok) {
    void* reserve =
        mmap(nullptr, kReserveBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ok = reserve != MAP_FAILED;
    if (ok) munmap(reserve, kReserveBytes);
  }
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.open = true;
  }
  gate.changed.notify_all();
  for (const pthread_t thread : started) pthread_join(thread, nullptr);
  return ok;
}

// oneTBB caps the total number of worker threads at the machine's core count unless a
// global_control allows more, and then it also prints a warning for arenas asking for more. We
// keep one process-wide control, only ever replaced by a larger one: while several controls are
// alive the smallest wins, so the old one is dropped after the new one exists.
std::mutex g_control_mutex;  // guards g_control, g_stack_control and g_control_limit
std::unique_ptr<tbb::global_control> g_control;
std::unique_ptr<tbb::global_control> g_stack_control;
std::size_t g_control_limit = 0;

enum class Allowed { kAlready, kRaised, kRefused };

// Lets oneTBB run `threads` workers in one arena: kRaised when that needs more workers than
// before, kRefused when the threads it would have to start cannot be started now.
Allowed allow_parallelism(std::size_t threads) {
  // The limit counts one external thread besides the workers.
  const std::size_t wanted = threads + 1;
  std::lock_guard<std::mutex> lock(g_control_mutex);
  if (wanted <= g_control_limit) return Allowed::kAlready;
  const std::size_t more = wanted - std::max<std::size_t>(g_control_limit, 1);
  if (!can_start_threads(more + more / 4 + 2)) return Allowed::kRefused;
  if (!g_stack_control) {
    g_stack_control = std::make_unique<tbb::global_control>(
        tbb::global_control::thread_stack_size, kWorkerStackBytes);
  }
  auto larger =
      std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, wanted);
  g_control = std::move(larger);
  g_control_limit = wanted;
  return Allowed::kRaised;
}

std::atomic<std::size_t> g_injected_failures{0};
std::mutex g_injected_message_mutex;  // guards g_injected_message
std::string g_injected_message;

void maybe_inject_failure() {
  std::size_t left = g_injected_failures.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_injected_failures.compare_exchange_weak(left, left - 1)) {
      std::lock_guard<std::mutex> lock(g_injected_message_mutex);
      fail(g_injected_message);
    }
  }
}

std::optional<std::size_t> parse_count(const char* text) {
  // Digits with an optional leading '+', nothing else, no overflow.
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::size_t affinity_cpus() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      const int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::size_t>(count) : 1;
    }
    CPU_FREE(set);
    if (errno != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

// The smallest quota on the way from the process's cgroup up to the root of the hierarchy.
std::optional<std::size_t> cgroup_v2_quota(const std::string& relative) {
  std::optional<std::size_t> best;
  std::string path = relative;
  while (true) {
    const auto quota = quota_from_cpu_max(read_file("/sys/fs/cgroup" + path + "/cpu.max"));
    if (quota && (!best || *quota < *best)) best = quota;
    if (path.empty() || path == "/") break;
    const auto slash = path.find_last_of('/');
    path = slash == std::string::npos ? std::string() : path.substr(0, slash);
  }
  return best;
}

std::optional<std::size_t> cgroup_v1_quota(const std::string& relative) {
  for (const char* root : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
    for (const std::string& dir : {std::string(root) + relative, std::string(root)}) {
      long long quota = 0, period = 0;
      std::istringstream q(read_file(dir + "/cpu.cfs_quota_us"));
      std::istringstream p(read_file(dir + "/cpu.cfs_period_us"));
      if (!(q >> quota) || !(p >> period)) continue;
      if (quota <= 0 || period <= 0) return std::nullopt;  // -1: no limit
      return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> cgroup_quota() {
  // /proc/self/cgroup lines are "id:controllers:path"; v2 is the line "0::path".
  std::istringstream lines(read_file("/proc/self/cgroup"));
  std::string line;
  std::optional<std::size_t> v1, v2;
  while (std::getline(lines, line)) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty()) {
      v2 = cgroup_v2_quota(path == "/" ? std::string() : path);
    } else {
      std::istringstream names(controllers);
      std::string name;
      while (std::getline(names, name, ',')) {
        if (name == "cpu") v1 = cgroup_v1_quota(path == "/" ? std::string() : path);
      }
    }
  }
  return v1 ? v1 : v2;
}

}  // namespace

std::optional<std::size_t> quota_from_cpu_max(const std::string& text) {
  std::istringstream in(text);
  std::string quota;
  long long period = 0;
  if (!(in >> quota >> period) || quota == "max" || period <= 0) return std::nullopt;
  const auto q = parse_count(quota.c_str());
  if (!q || *q == 0) return std::nullopt;
  return std::max<std::size_t>(1, *q / static_cast<std::size_t>(period));
}

std::size_t available_cpus() {
  std::size_t cpus = affinity_cpus();
  if (const auto quota = cgroup_quota()) cpus = std::min(cpus, *quota);
  return std::max<std::size_t>(cpus, 1);
}

std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                           std::size_t available) {
  if (const auto n = parse_count(rayon_num_threads)) {
    return *n > 0 ? *n : available;  // an explicit 0 means "the default", skipping the other
  }
  if (const auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return *n;
  return available;
}

std::size_t default_pool_size() {
  return pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                        available_cpus());
}

#if !defined(__SANITIZE_THREAD__)
// Has oneTBB start the arena's workers now, while the check of can_start_threads still holds,
// rather than on some later call that might find the memory gone: a loop whose blocks wait
// (bounded) until `threads` workers are in it. Workers, once started, are kept for good.
void start_workers(tbb::task_arena& arena, std::size_t threads) {
  std::atomic<std::size_t> arrived{0};
  std::mutex mutex;  // guards done
  std::condition_variable finished;
  bool done = false;
  arena.enqueue([&] {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, threads, 1),
        [&](const tbb::blocked_range<std::size_t>&) {
          arrived.fetch_add(1);
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
          while (arrived.load() < threads && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
          }
        },
        tbb::simple_partitioner());
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_one();
  });
  std::unique_lock<std::mutex> lock(mutex);
  finished.wait(lock, [&] { return done; });
}
#endif

struct Pool::Impl {
  // No slot is kept for the thread that hands a job over: run_waiting leaves the whole job to the
  // workers while that thread waits, and run() takes a free slot when there is one.
  explicit Impl(int threads) : arena(threads, 0) {}
  tbb::task_arena arena;
};

Pool::Pool(std::size_t threads) : threads_(threads) {
  const Allowed allowed = allow_parallelism(threads);
  if (allowed == Allowed::kRefused) {
    fail("cannot start " + std::to_string(threads) + " worker threads");
  }
  impl_ = std::make_unique<Impl>(static_cast<int>(threads));
  impl_->arena.initialize();
#if !defined(__SANITIZE_THREAD__)
  if (allowed == Allowed::kRaised) start_workers(impl_->arena, threads);
#endif
}

Pool::Pool(Pool&&) noexcept = default;
Pool& Pool::operator=(Pool&&) noexcept = default;
Pool::~Pool() = default;

std::optional<Pool> Pool::dedicated(std::size_t threads) {
  if (threads == 0 || threads > kMaxThreads) return std::nullopt;
  try {
    return Pool(threads);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Pool& Pool::shared() {
  // Sized once, on first use, and never destroyed: calls in flight at exit must not find it gone.
  // A size whose threads cannot be started falls back to fewer, as a dedicated pool falls back
  // to this one.
  static Pool* pool = [] {
    std::size_t threads = std::clamp<std::size_t>(default_pool_size(), 1, kMaxThreads);
    while (true) {
      try {
        return new Pool(threads);
      } catch (const Failure&) {
        if (threads == 1) throw;
        threads /= 2;
      }
    }
  }();
  return *pool;
}

namespace {

// Where a job run by run_waiting leaves its outcome for the waiting thread.
struct Completion {
  std::mutex mutex;  // guards done and error
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr error;

  void set(std::exception_ptr e) {
    // Notified under the lock: the waiter cannot destroy this before the notifier lets go of it.
    std::lock_guard<std::mutex> lock(mutex);
    error = std::move(e);
    done = true;
    finished.notify_one();
  }

  void wait(std::chrono::milliseconds slice, FunctionRef<void()> on_wake) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, slice, [&] { return done; })) {
      lock.unlock();
      on_wake();
      lock.lock();
    }
    if (error) std::rethrow_exception(error);
  }
};

// Runs `job` with `stop` as the thread's stop flag, catching what it throws.
std::exception_ptr run_catching(FunctionRef<void()> job, const std::atomic<bool>& stop) {
  const StopScope scope(&stop);
  try {
    job();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer cannot see the synchronization inside oneTBB, which is not instrumented, and
// would report every hand-over between the scheduler's threads. Under it, loops run on plain
// threads that take blocks from a shared counter, so what it checks is our own code's sharing.
namespace {
thread_local std::size_t t_pool_threads = 1;
}

void Pool::run(FunctionRef<void()> job) {
  const std::size_t outer = t_pool_threads;
  t_pool_threads = threads_;
  try {
    job();
  } catch (...) {
    t_pool_threads = outer;
    throw;
  }
  t_pool_threads = outer;
}

void Pool::run_waiting(FunctionRef<void()> job, std::atomic<bool>& stop,
                       std::chrono::milliseconds slice, FunctionRef<void()> on_wake) {
  Completion completion;
  const std::size_t threads = threads_;
  std::thread runner([&] {
    t_pool_threads = threads;
    completion.set(run_catching(job, stop));
  });
  try {
    completion.wait(slice, on_wake);
  } catch (...) {
    runner.join();
    throw;
  }
  runner.join();
}

void parallel_for_blocks(std::size_t n, std::size_t grain,
                         FunctionRef<void(std::size_t, std::size_t)> body) {
  if (n == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  std::atomic<std::size_t> next{0};
  std::mutex error_mutex;  // guards error
  std::exception_ptr error;
  const std::size_t threads = t_pool_threads;
  const std::atomic<bool>* stop = current_stop_flag();
  const auto work = [&] {
    t_pool_threads = threads;
    const StopScope scope(stop);
    try {
      for (std::size_t lo; (lo = next.fetch_add(grain)) < n;) {
        cancellation_point();
        maybe_inject_failure();
        body(lo, std::min(n, lo + grain));
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(error_mutex);
      if (!error) error = std::current_exception();
      next.store(n);
    }
  };
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& t : helpers) t.join();
  if (error) std::rethrow_exception(error);
}
#else
void Pool::run(FunctionRef<void()> job) {
  // The job keeps the caller's stop flag: it may run on another thread of the arena.
  const std::atomic<bool>* stop = current_stop_flag();
  impl_->arena.execute([&] {
    const StopScope scope(stop);
    job();
  });
}

void Pool::run_waiting(FunctionRef<void()> job, std::atomic<bool>& stop,
                       std::chrono::milliseconds slice, FunctionRef<void()> on_wake) {
  Completion completion;
  // Enqueued rather than executed: the calling thread must stay free to wake up.
  impl_->arena.enqueue([&] { completion.set(run_catching(job, stop)); });
  completion.wait(slice, on_wake);
}

void parallel_for_blocks(std::size_t n, std::size_t grain,
                         FunctionRef<void(std::size_t, std::size_t)> body) {
  if (n == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  // Blocks run on whichever worker steals them, also workers busy with other jobs in between, so
  // each block carries its job's stop flag to the thread that runs it.
  const std::atomic<bool>* stop = current_stop_flag();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      const StopScope scope(stop);
                      cancellation_point();
                      maybe_inject_failure();
                      body(r.begin(), r.end());
                    });
}
#endif

namespace testing {
void inject_block_failures(std::size_t count, const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(g_injected_message_mutex);
    g_injected_message = message;
  }
  g_injected_failures.store(count);
}
}  // namespace testing

}  // namespace orlim
