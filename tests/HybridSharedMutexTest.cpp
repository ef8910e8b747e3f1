// Shared locking of HybridSharedMutex; its exclusive side runs the Lockable
// tests in HybridMutexTest.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "TestSupport.h"
#include "talvorncommon/HybridSharedMutex.h"

namespace TalvornCommon {
namespace {

TEST(HybridSharedMutexTest, ReadersBlockedBehindAWriterThenHoldTogether) {
  // Readers that are let in one at a time never all get in together; the
  // readers wait asleep, so their number need not exceed the cores.
  constexpr int kReaders = 4;
  HybridSharedMutex mutex;
  std::atomic<int> inside{0};
  mutex.lock();
  std::thread readers[kReaders];
  for (std::thread& reader : readers) {
    reader = std::thread([&] {
      std::shared_lock<HybridSharedMutex> lock(mutex);
      ++inside;
      // Stays until one more reader has joined.
      testing::WaitUntil([&] { return inside.load() > kReaders; });
    });
  }
  // A hold far beyond the spin, so the readers end up blocked in the kernel.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(inside.load(), 0) << "a reader got in alongside the writer";
  mutex.unlock();
  EXPECT_TRUE(testing::WaitUntil([&] { return inside.load() == kReaders; }));
  // One more reader joins them at its first try, and lets them go.
  EXPECT_TRUE(std::shared_lock<HybridSharedMutex>(mutex, std::try_to_lock));
  ++inside;
  for (std::thread& reader : readers) reader.join();
}

}  // namespace
}  // namespace TalvornCommon
