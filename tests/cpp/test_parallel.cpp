#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orlim/base/cancel.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"

namespace {

using orlim::Pool;

// Distinct threads that run blocks of one loop at the same time: each block waits (bounded) until
// `want` threads have arrived, so the count is the pool's real concurrency, not its schedule.
std::size_t concurrent_threads(Pool& pool, std::size_t want) {
  std::mutex mutex;  // guards ids
  std::set<std::thread::id> ids;
  std::atomic<std::size_t> arrived{0};
  pool.run([&] {
    orlim::parallel_for_blocks(want * 4, 1, [&](std::size_t, std::size_t) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (!ids.insert(std::this_thread::get_id()).second) return;
      }
      arrived.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (arrived.load() < want && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
    });
  });
  return ids.size();
}

TEST(Pool, DedicatedPoolRunsExactlyItsThreadsAndPrintsNothing) {
  for (std::size_t threads : {1, 2, 6}) {
    testing::internal::CaptureStderr();
    auto pool = Pool::dedicated(threads);
    ASSERT_TRUE(pool.has_value());
    EXPECT_EQ(concurrent_threads(*pool, threads), threads);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

TEST(Pool, RefusesSizesItCannotCreate) {
  EXPECT_FALSE(Pool::dedicated(0).has_value());
  EXPECT_FALSE(Pool::dedicated(Pool::kMaxThreads + 1).has_value());
}

TEST(Pool, BlocksCoverTheRangeExactlyOnce) {
  auto pool = Pool::dedicated(3);
  for (std::size_t n : {0, 1, 7, 1000}) {
    std::vector<std::atomic<int>> hits(n);
    pool->run([&] {
      orlim::parallel_for_blocks(n, 4, [&](std::size_t lo, std::size_t hi) {
        EXPECT_LT(lo, hi);
        for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
      });
    });
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(hits[i].load(), 1) << i;
  }
}

TEST(Pool, AFailingBlockReachesTheCallerAndThePoolStaysUsable) {
  for (Pool* pool : {&Pool::shared(), static_cast<Pool*>(nullptr)}) {
    auto dedicated = Pool::dedicated(4);
    Pool& p = pool != nullptr ? *pool : *dedicated;
    try {
      p.run([&] {
        orlim::parallel_for_blocks(1000, 1, [&](std::size_t lo, std::size_t hi) {
          if (lo <= 517 && 517 < hi) orlim::fail("block 517 failed");
        });
      });
      FAIL() << "no exception";
    } catch (const orlim::Failure& e) {
      EXPECT_STREQ(e.what(), "block 517 failed");
    }
    std::atomic<std::size_t> sum{0};
    p.run([&] {
      orlim::parallel_for_blocks(100, 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) sum += i;
      });
    });
    EXPECT_EQ(sum.load(), 4950u);
  }
}

TEST(Pool, InjectedFailuresHitTheNextBlocks) {
  orlim::testing::inject_block_failures(1, "injected");
  auto pool = Pool::dedicated(2);
  EXPECT_THROW(
      pool->run([] { orlim::parallel_for_blocks(10, 1, [](std::size_t, std::size_t) {}); }),
      orlim::Failure);
  EXPECT_NO_THROW(
      pool->run([] { orlim::parallel_for_blocks(10, 1, [](std::size_t, std::size_t) {}); }));
}

TEST(Pool, AStoppedJobUnwindsOnTheWorkersAndThePoolStaysUsable) {
  using namespace std::chrono_literals;
  for (Pool* pool : {&Pool::shared(), static_cast<Pool*>(nullptr)}) {
    auto dedicated = Pool::dedicated(3);
    Pool& p = pool != nullptr ? *pool : *dedicated;
    std::atomic<bool> stop{false};
    std::size_t wakes = 0;
    // Minutes of work if nothing stops it: each block checks the flag between its items, the
    // way the build's long loops do.
    const auto endless = [] {
      orlim::parallel_for_blocks(1000000, 1, [](std::size_t, std::size_t) {
        for (int i = 0; i < 1000; ++i) {
          orlim::cancellation_point();
          std::this_thread::sleep_for(100us);
        }
      });
    };
    EXPECT_THROW(p.run_waiting(endless, stop, 10ms,
                               [&] {
                                 if (++wakes == 3) stop.store(true);
                               }),
                 orlim::Cancelled);
    EXPECT_GE(wakes, 3u);
    std::atomic<bool> fresh{false};
    std::atomic<std::size_t> sum{0};
    p.run_waiting(
        [&] {
          orlim::parallel_for_blocks(100, 1, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) sum += i;
          });
        },
        fresh, 10ms, [] {});
    EXPECT_EQ(sum.load(), 4950u);
  }
}

TEST(CallRegistry, StoppingSetsEveryRegisteredFlagAndWaitsForTheCallsToLeave) {
  std::atomic<bool> stop{false};
  ASSERT_TRUE(orlim::enter_call(stop));
  std::atomic<bool> left{false};
  std::thread call([&] {
    while (!stop.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    left.store(true);
    orlim::leave_call(stop);
  });
  orlim::stop_calls_and_wait();
  EXPECT_TRUE(left.load());
  call.join();
  std::atomic<bool> late{false};
  EXPECT_FALSE(orlim::enter_call(late));
  EXPECT_TRUE(orlim::calls_stopped());
}

TEST(PoolSize, FollowsTheEnvironmentRule) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t want;
  };
  const Case cases[] = {
      {nullptr, nullptr, 7},
      {"3", nullptr, 3},
      {"3", "5", 3},
      {"+4", nullptr, 4},
      {"0", "5", 7},
      {"", "5", 5},
      {"x", "5", 5},
      {" 3", nullptr, 7},
      {"-2", "5", 5},
      {nullptr, "0", 7},
      {nullptr, "9", 9},
      {"3x", "bad", 7},
      {"99999999999999999999999", "2", 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(orlim::pool_size_from(c.num_threads, c.rs_num_cpus, 7), c.want)
        << (c.num_threads ? c.num_threads : "unset") << " / "
        << (c.rs_num_cpus ? c.rs_num_cpus : "unset");
  }
}

TEST(PoolSize, ReadsCgroupV2Quotas) {
  EXPECT_EQ(orlim::quota_from_cpu_max("max 100000\n"), std::nullopt);
  EXPECT_EQ(orlim::quota_from_cpu_max("200000 100000\n"), 2u);
  EXPECT_EQ(orlim::quota_from_cpu_max("150000 100000"), 1u);
  EXPECT_EQ(orlim::quota_from_cpu_max("50000 100000"), 1u);
  EXPECT_EQ(orlim::quota_from_cpu_max(""), std::nullopt);
  EXPECT_GE(orlim::available_cpus(), 1u);
}

}  // namespace
