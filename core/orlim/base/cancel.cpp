#include "orlim/base/cancel.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace orlim {

namespace detail {
thread_local const std::atomic<bool>* t_stop = nullptr;

void throw_cancelled() { throw Cancelled(); }
}  // namespace detail

namespace {

struct Registry {
  std::mutex mutex;  // guards flags and stopping
  std::condition_variable left;
  std::vector<std::atomic<bool>*> flags;  // one per registered call
  bool stopping = false;
};

// Never destroyed: calls may still be leaving while static objects are torn down at exit.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

bool enter_call(std::atomic<bool>& stop) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.stopping) return false;
  r.flags.push_back(&stop);
  return true;
}

void leave_call(std::atomic<bool>& stop) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const auto it = std::find(r.flags.begin(), r.flags.end(), &stop);
  if (it != r.flags.end()) r.flags.erase(it);
  r.left.notify_all();
}

void stop_calls_and_wait() {
  Registry& r = registry();
  std::unique_lock<std::mutex> lock(r.mutex);
  r.stopping = true;
  for (std::atomic<bool>* flag : r.flags) flag->store(true);
  r.left.wait(lock, [&] { return r.flags.empty(); });
}

bool calls_stopped() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.stopping;
}

}  // namespace orlim
