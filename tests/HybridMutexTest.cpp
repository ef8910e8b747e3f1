// Exclusive-lock behaviour, run against both HybridMutex and the exclusive
// side of HybridSharedMutex: they share the contract of a standard Lockable.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/HybridMutex.h"
#include "talvorncommon/HybridSharedMutex.h"

namespace TalvornCommon {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

template <typename Mutex>
class ExclusiveLockTest : public ::testing::Test {};

using LockTypes = ::testing::Types<HybridMutex, HybridSharedMutex>;
TYPED_TEST_SUITE(ExclusiveLockTest, LockTypes);

// More threads than the machine has cores, so holders get preempted inside the
// critical section and waiters go through every stage of the spin.
constexpr int kThreads = 8;

TYPED_TEST(ExclusiveLockTest, StandardHoldersLockAndUnlock) {
  TypeParam mutex;
  {
    std::lock_guard<TypeParam> guard(mutex);
    std::thread([&] { EXPECT_FALSE(mutex.try_lock()); }).join();
  }
  {
    std::unique_lock<TypeParam> lock(mutex);
    EXPECT_TRUE(lock.owns_lock());
    lock.unlock();
    EXPECT_FALSE(lock.owns_lock());
    EXPECT_TRUE(lock.try_lock());
  }
  std::unique_lock<TypeParam> deferred(mutex, std::defer_lock);
  EXPECT_TRUE(deferred.try_lock());
  deferred.unlock();
  EXPECT_TRUE(mutex.try_lock());
  mutex.unlock();
}

TYPED_TEST(ExclusiveLockTest, TryLockFailsWhileAnotherThreadHoldsIt) {
  TypeParam mutex;
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    mutex.lock();
    held = true;
    while (!release) std::this_thread::yield();
    mutex.unlock();
  });
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  EXPECT_FALSE(mutex.try_lock());
  release = true;
  holder.join();
  EXPECT_TRUE(mutex.try_lock());
  mutex.unlock();
}

TYPED_TEST(ExclusiveLockTest, CounterStaysExactUnderContention) {
  TypeParam mutex;
  constexpr int kIterations = 20000;
  long counter = 0;  // plain, so a broken lock loses increments
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kIterations; ++i) {
        std::lock_guard<TypeParam> guard(mutex);
        const long seen = counter;
        // Now and then hold long enough that the others exhaust their spin
        // and block in the kernel.
        if (i % 2000 == t) std::this_thread::sleep_for(200us);
        counter = seen + 1;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kIterations);
}

TYPED_TEST(ExclusiveLockTest, ScopedLockInOppositeOrdersDoesNotDeadlock) {
  TypeParam first;
  TypeParam second;
  constexpr int kIterations = 5000;
  int counter = 0;
  auto run = [&](bool reversed) {
    for (int i = 0; i < kIterations; ++i) {
      if (reversed) {
        std::scoped_lock lock(second, first);
        ++counter;
      } else {
        std::scoped_lock lock(first, second);
        ++counter;
      }
    }
  };
  std::thread a(run, false);
  std::thread b(run, true);
  std::thread c(run, false);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(counter, 3 * kIterations);
  // Both are free again.
  EXPECT_TRUE(first.try_lock());
  EXPECT_TRUE(second.try_lock());
  first.unlock();
  second.unlock();
}

TYPED_TEST(ExclusiveLockTest, WorksWithConditionVariableAny) {
  TypeParam mutex;
  std::condition_variable_any ready;
  std::vector<int> queue;
  constexpr int kItems = 2000;
  long sum = 0;
  std::thread consumer([&] {
    for (int received = 0; received < kItems;) {
      std::unique_lock<TypeParam> lock(mutex);
      ready.wait(lock, [&] { return !queue.empty(); });
      for (int item : queue) sum += item;
      received += static_cast<int>(queue.size());
      queue.clear();
    }
  });
  for (int i = 1; i <= kItems; ++i) {
    {
      std::lock_guard<TypeParam> guard(mutex);
      queue.push_back(i);
    }
    ready.notify_one();
  }
  consumer.join();
  EXPECT_EQ(sum, long{kItems} * (kItems + 1) / 2);
}

TYPED_TEST(ExclusiveLockTest, WaiterBehindLongHoldSleepsInsteadOfSpinning) {
  TypeParam mutex;
  mutex.lock();
  const testing::WaitCost cost = testing::MeasureWaitBehindHold(
      [&] {
        mutex.lock();
        mutex.unlock();
      },
      [&] { mutex.unlock(); }, 300ms);
  // The spin is bounded (about a thousand pause instructions and fifteen
  // yields); a waiter that kept spinning would burn CPU for the whole hold.
  EXPECT_GT(cost.wall, 100ms);
  EXPECT_LT(cost.cpu * 4, cost.wall) << "cpu " << cost.cpu.count() << "ns";
}

TYPED_TEST(ExclusiveLockTest, UniqueLockMisuseIsRefusedWithoutTouchingTheMutex) {
  TypeParam mutex;
  auto expect_errc = [](auto&& operation, std::errc expected) {
    try {
      operation();
      ADD_FAILURE() << "no exception";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::make_error_code(expected));
    }
  };
  std::unique_lock<TypeParam> empty;
  expect_errc([&] { empty.lock(); }, std::errc::operation_not_permitted);
  expect_errc([&] { empty.unlock(); }, std::errc::operation_not_permitted);

  std::unique_lock<TypeParam> lock(mutex, std::defer_lock);
  lock.lock();
  expect_errc([&] { lock.lock(); }, std::errc::resource_deadlock_would_occur);
  expect_errc([&] { (void)lock.try_lock(); }, std::errc::resource_deadlock_would_occur);
  EXPECT_TRUE(lock.owns_lock());
  std::thread([&] { EXPECT_FALSE(mutex.try_lock()); }).join();
  lock.unlock();
  expect_errc([&] { lock.unlock(); }, std::errc::operation_not_permitted);
  EXPECT_TRUE(mutex.try_lock());
  mutex.unlock();
}

}  // namespace
}  // namespace TalvornCommon
