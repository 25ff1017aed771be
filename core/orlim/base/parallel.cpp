#include "orlim/base/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
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

#include "orlim/base/failure.hpp"

namespace orlim {

namespace {

// oneTBB caps the total number of worker threads at the machine's core count unless a
// global_control allows more, and then it also prints a warning for arenas asking for more. We
// keep one process-wide control, only ever replaced by a larger one: while several controls are
// alive the smallest wins, so the old one is dropped after the new one exists.
std::mutex g_control_mutex;  // guards g_control and g_control_limit
std::unique_ptr<tbb::global_control> g_control;
std::size_t g_control_limit = 0;

void allow_parallelism(std::size_t threads) {
  // The external thread that enters an arena counts too.
  const std::size_t wanted = threads + 1;
  std::lock_guard<std::mutex> lock(g_control_mutex);
  if (wanted <= g_control_limit) return;
  auto larger =
      std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, wanted);
  g_control = std::move(larger);
  g_control_limit = wanted;
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

struct Pool::Impl {
  explicit Impl(int threads) : arena(threads, 1) {}
  tbb::task_arena arena;
};

Pool::Pool(std::size_t threads) : threads_(threads) {
  allow_parallelism(threads);
  impl_ = std::make_unique<Impl>(static_cast<int>(threads));
  impl_->arena.initialize();
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
  static Pool* pool =
      new Pool(std::clamp<std::size_t>(default_pool_size(), 1, std::numeric_limits<int>::max()));
  return *pool;
}

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

void parallel_for_blocks(std::size_t n, std::size_t grain,
                         FunctionRef<void(std::size_t, std::size_t)> body) {
  if (n == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  std::atomic<std::size_t> next{0};
  std::mutex error_mutex;  // guards error
  std::exception_ptr error;
  const std::size_t threads = t_pool_threads;
  const auto work = [&] {
    t_pool_threads = threads;
    try {
      for (std::size_t lo; (lo = next.fetch_add(grain)) < n;) {
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
  impl_->arena.execute([&] { job(); });
}

void parallel_for_blocks(std::size_t n, std::size_t grain,
                         FunctionRef<void(std::size_t, std::size_t)> body) {
  if (n == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                    [&](const tbb::blocked_range<std::size_t>& r) {
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
