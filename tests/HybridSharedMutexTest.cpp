// Shared-side behaviour of HybridSharedMutex; the exclusive side runs the
// common Lockable tests in HybridMutexTest.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/HybridSharedMutex.h"

namespace TalvornCommon {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

TEST(HybridSharedMutexTest, ReadersHoldTheLockAtTheSameTime) {
  HybridSharedMutex mutex;
  constexpr int kReaders = 4;
  std::atomic<int> holding{0};
  std::atomic<int> saw_all{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&] {
      std::shared_lock<HybridSharedMutex> lock(mutex);
      ++holding;
      // Only possible if every reader is inside at once.
      if (WaitUntil([&] { return holding.load() == kReaders; })) ++saw_all;
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(saw_all.load(), kReaders);
}

TEST(HybridSharedMutexTest, TriesRespectTheOtherMode) {
  HybridSharedMutex mutex;
  mutex.lock_shared();
  std::thread([&] {
    EXPECT_FALSE(mutex.try_lock());
    EXPECT_TRUE(mutex.try_lock_shared());
    mutex.unlock_shared();
  }).join();
  mutex.unlock_shared();

  mutex.lock();
  std::thread([&] {
    EXPECT_FALSE(mutex.try_lock_shared());
    EXPECT_FALSE(mutex.try_lock());
  }).join();
  mutex.unlock();
  EXPECT_TRUE(mutex.try_lock_shared());
  mutex.unlock_shared();
}

TEST(HybridSharedMutexTest, WriterWaitsForTheLastReader) {
  HybridSharedMutex mutex;
  mutex.lock_shared();
  std::atomic<bool> second_reader_in{false};
  std::atomic<bool> release_second{false};
  std::thread second_reader([&] {
    mutex.lock_shared();
    second_reader_in = true;
    while (!release_second) std::this_thread::sleep_for(1ms);
    mutex.unlock_shared();
  });
  ASSERT_TRUE(WaitUntil([&] { return second_reader_in.load(); }));

  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    mutex.lock();
    writer_in = true;
    mutex.unlock();
  });
  mutex.unlock_shared();
  // One reader still holds it; the writer, spinning or blocked, must not get in.
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(writer_in.load());
  release_second = true;
  EXPECT_TRUE(WaitUntil([&] { return writer_in.load(); }));
  second_reader.join();
  writer.join();
}

TEST(HybridSharedMutexTest, ReadersNeverSeeAHalfDoneWrite) {
  HybridSharedMutex mutex;
  long first = 0;
  long second = 0;
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::atomic<long> torn{0};
  std::vector<std::thread> threads;
  constexpr int kWriters = 3;
  constexpr int kWrites = 5000;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&] {
      for (int i = 0; i < kWrites; ++i) {
        std::lock_guard<HybridSharedMutex> guard(mutex);
        ++first;
        if (i % 1000 == 0) std::this_thread::sleep_for(200us);
        ++second;
      }
    });
  }
  for (int r = 0; r < 5; ++r) {
    threads.emplace_back([&] {
      while (!stop) {
        std::shared_lock<HybridSharedMutex> lock(mutex);
        if (first != second) ++torn;
        ++reads;
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  stop = true;
  for (size_t i = kWriters; i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(first, long{kWriters} * kWrites);
  EXPECT_EQ(second, first);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

TEST(HybridSharedMutexTest, RelockingWhileHoldingExclusivelyThrowsAndKeepsTheHold) {
  HybridSharedMutex mutex;
  mutex.lock();
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "lock_shared" : "lock");
    try {
      if (shared) {
        mutex.lock_shared();
      } else {
        mutex.lock();
      }
      ADD_FAILURE() << "no exception";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    std::thread([&] {
      EXPECT_FALSE(mutex.try_lock_shared());
      EXPECT_FALSE(mutex.try_lock());
    }).join();
  }
  mutex.unlock();
  std::thread([&] {
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
  }).join();
}

TEST(HybridSharedMutexTest, SharedWaiterBehindLongHoldSleeps) {
  HybridSharedMutex mutex;
  mutex.lock();
  const testing::WaitCost cost = testing::MeasureWaitBehindHold(
      [&] {
        mutex.lock_shared();
        mutex.unlock_shared();
      },
      [&] { mutex.unlock(); }, 300ms);
  EXPECT_GT(cost.wall, 100ms);
  EXPECT_LT(cost.cpu * 4, cost.wall) << "cpu " << cost.cpu.count() << "ns";
}

}  // namespace
}  // namespace TalvornCommon
