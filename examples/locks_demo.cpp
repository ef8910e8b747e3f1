// Shows the two hybrid locks at work: several threads bump a plain counter
// under HybridMutex, and readers and a writer share a table under
// HybridSharedMutex. Exits 0 when every count comes out exact.
#include <talvorncommon/HybridMutex.h>
#include <talvorncommon/HybridSharedMutex.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

bool CounterDemo() {
  TalvornCommon::HybridMutex mutex;
  constexpr int kThreads = 4;
  constexpr int kIterations = 250000;
  long counter = 0;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        std::lock_guard<TalvornCommon::HybridMutex> guard(mutex);
        ++counter;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::printf("HybridMutex: %d threads x %d increments = %ld (expected %ld) in %.1f ms\n", kThreads,
              kIterations, counter, long{kThreads} * kIterations, took.count());
  return counter == long{kThreads} * kIterations;
}

bool ReadersWriterDemo() {
  TalvornCommon::HybridSharedMutex mutex;
  std::map<std::string, int> table{{"apples", 0}, {"pears", 0}};
  constexpr int kUpdates = 20000;
  long consistent_reads = 0;
  long inconsistent_reads = 0;
  std::thread writer([&] {
    for (int i = 0; i < kUpdates; ++i) {
      std::lock_guard<TalvornCommon::HybridSharedMutex> guard(mutex);
      ++table["apples"];
      ++table["pears"];
    }
  });
  std::vector<std::thread> readers;
  std::mutex totals;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      long good = 0;
      long bad = 0;
      for (int i = 0; i < kUpdates; ++i) {
        std::shared_lock<TalvornCommon::HybridSharedMutex> lock(mutex);
        (table.at("apples") == table.at("pears") ? good : bad) += 1;
      }
      std::lock_guard<std::mutex> guard(totals);
      consistent_reads += good;
      inconsistent_reads += bad;
    });
  }
  writer.join();
  for (std::thread& reader : readers) reader.join();
  std::printf("HybridSharedMutex: %d writes, %ld consistent reads, %ld torn reads\n", kUpdates,
              consistent_reads, inconsistent_reads);
  return inconsistent_reads == 0 && table["apples"] == kUpdates;
}

}  // namespace

int main() {
  const bool ok = CounterDemo() && ReadersWriterDemo();
  std::puts(ok ? "all counts exact" : "COUNT MISMATCH");
  return ok ? 0 : 1;
}
