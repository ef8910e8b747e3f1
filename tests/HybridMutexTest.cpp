// Exclusive locking, run against both HybridMutex and the exclusive side of
// HybridSharedMutex: the two share the contract of a standard Lockable.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "talvorncommon/HybridMutex.h"
#include "talvorncommon/HybridSharedMutex.h"

namespace TalvornCommon {
namespace {

template <typename Mutex>
class ExclusiveLockTest : public ::testing::Test {};
using LockTypes = ::testing::Types<HybridMutex, HybridSharedMutex>;
TYPED_TEST_SUITE(ExclusiveLockTest, LockTypes);

TYPED_TEST(ExclusiveLockTest, AdmitsOneHolderAtATime) {
  // More threads than the machine has cores, so that holders are descheduled
  // while others wait; never fewer than 8, also where the cores are unknown (0).
  const int threadCount = static_cast<int>(std::max(8u, std::thread::hardware_concurrency() + 1));
  constexpr int kIterations = 10000;
  TypeParam mutex;
  long counter = 0;  // plain, so a lock that admits two holders loses increments
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kIterations; ++i) {
        std::lock_guard<TypeParam> guard(mutex);
        const long seen = counter;
        // Yielding lets a second holder, if one got in, interleave; now and
        // then a hold far beyond the spin sends the waiters into the kernel.
        std::this_thread::yield();
        if (i % 1000 == t) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        counter = seen + 1;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, long{threadCount} * kIterations);
  // Free again: a try takes it, and another thread's try is then refused.
  std::unique_lock<TypeParam> lock(mutex, std::try_to_lock);
  EXPECT_TRUE(lock.owns_lock());
  std::thread([&] { EXPECT_FALSE(std::unique_lock<TypeParam>(mutex, std::try_to_lock)); }).join();
}

}  // namespace
}  // namespace TalvornCommon
