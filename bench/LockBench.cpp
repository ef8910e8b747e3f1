// Lock benchmarks: HybridMutex and HybridSharedMutex against std::mutex,
// std::shared_mutex and glibc's adaptive mutex, all on the same workloads in
// the same process, so that every figure can be read as a ratio to its
// baseline even on a busy machine.
//
//   scripts/bench.sh LockBench -- --benchmark_out=lock.json --benchmark_out_format=json
//   python3 bench/ratios.py lock.json
//
// Every benchmark reports the median of 5 repetitions, real time, and the CPU
// time of the whole process (Google Benchmark would otherwise count only the
// main thread's CPU). Each thread counts its own acquisitions as items, and
// every run checks a plain counter kept under the lock against the total
// number of acquisitions; a lock that lets two holders in fails the run.
//
// Critical sections are calibrated busy work, not sleeps: a holder that gets
// preempted keeps the lock for longer, exactly as real code would.

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "talvorncommon/HybridMutex.h"
#include "talvorncommon/HybridSharedMutex.h"
#include "talvorncommon/detail/SpinThenBlock.h"

namespace {

using Clock = std::chrono::steady_clock;
using TalvornCommon::HybridMutex;
using TalvornCommon::HybridSharedMutex;

// ---------------------------------------------------------------------------
// Calibrated busy work.

// One unit is one step of a 64-bit linear congruential generator: a multiply
// and an add that depend on the previous step, so the compiler can neither
// vectorise nor fold the loop and its cost is a few cycles on any x86-64 core.
[[gnu::noinline]] void BusyWork(std::uint64_t units) {
  std::uint64_t x = units;
  for (std::uint64_t i = 0; i < units; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    benchmark::DoNotOptimize(x);
  }
}

double g_ns_per_unit = 1.0;

// Takes the fastest of several timed runs: on a shared machine a slower run
// means the thread was preempted, not that the work got more expensive.
void CalibrateBusyWork() {
  constexpr std::uint64_t kUnits = 1U << 21;
  BusyWork(kUnits);
  double best = std::numeric_limits<double>::max();
  for (int trial = 0; trial < 9; ++trial) {
    const auto start = Clock::now();
    BusyWork(kUnits);
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
    best = std::min(best, elapsed.count() / static_cast<double>(kUnits));
  }
  g_ns_per_unit = best;
}

std::uint64_t UnitsFor(double nanoseconds) {
  return std::max<std::uint64_t>(
      1, static_cast<std::uint64_t>(std::llround(nanoseconds / g_ns_per_unit)));
}

// ---------------------------------------------------------------------------
// The reference: glibc's adaptive mutex, which spins a bounded, adaptive
// number of times in pthread_mutex_lock before it sleeps.

class AdaptiveMutex {
 public:
  AdaptiveMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~AdaptiveMutex() { pthread_mutex_destroy(&mutex_); }
  AdaptiveMutex(const AdaptiveMutex&) = delete;
  AdaptiveMutex& operator=(const AdaptiveMutex&) = delete;

  void lock() {
    if (const int error = pthread_mutex_lock(&mutex_); error != 0) {
      throw std::system_error(error, std::generic_category(), "pthread_mutex_lock");
    }
  }
  bool try_lock() noexcept { return pthread_mutex_trylock(&mutex_) == 0; }
  void unlock() noexcept { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

// ---------------------------------------------------------------------------
// Process resource usage, for CPU and context switches per acquisition.

struct Usage {
  double cpu_seconds = 0;
  long switches = 0;

  static Usage Now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_nvcsw + usage.ru_nivcsw};
  }
};

// CPU time of the calling thread: what lock() itself burns, spinning included,
// without the noise that other programs add to the busy work around it.
double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// ---------------------------------------------------------------------------
// State shared by the threads of one benchmark. Thread 0 resets it before the
// timed loop; Google Benchmark's start barrier publishes the reset to the
// other threads, and no thread of an earlier run is still alive.

template <typename Lock>
struct Shared {
  Lock lock;
  // Guarded by `lock`. A writer reads `counter` at the start of its hold and
  // stores the increment at the end, so two writers that overlap lose an
  // update; `mirror` runs one ahead of `counter` for the whole of a write, so a
  // reader that overlaps a writer sees them differ. See WriteUnderLock.
  alignas(64) std::uint64_t counter = 0;
  std::uint64_t mirror = 0;

  alignas(64) std::atomic<bool> first_done{false};
  std::atomic<std::uint64_t> acquisitions{0};
  std::atomic<std::uint64_t> writes{0};
  std::atomic<std::uint64_t> torn_reads{0};
  std::atomic<std::uint64_t> lock_cpu_nanoseconds{0};
  std::optional<std::barrier<>> finished;
  std::vector<std::uint64_t> per_thread;
  Usage before;

  void Begin(benchmark::State& state) {
    if (state.thread_index() != 0) return;
    counter = 0;
    mirror = 0;
    first_done.store(false);
    acquisitions.store(0);
    writes.store(0);
    torn_reads.store(0);
    lock_cpu_nanoseconds.store(0);
    finished.emplace(state.threads());
    per_thread.assign(static_cast<std::size_t>(state.threads()), 0);
    before = Usage::Now();
  }

  // Every thread calls this after its timed loop. Returns true in thread 0
  // once all threads have reported, with `total` acquisitions; false in the
  // other threads.
  bool End(benchmark::State& state, std::uint64_t mine, std::uint64_t& total) {
    state.SetItemsProcessed(static_cast<std::int64_t>(mine));
    acquisitions.fetch_add(mine);
    per_thread[static_cast<std::size_t>(state.thread_index())] = mine;
    finished->arrive_and_wait();
    total = acquisitions.load();
    return state.thread_index() == 0;
  }

  void ReportUsage(benchmark::State& state, std::uint64_t total) const {
    const Usage after = Usage::Now();
    const double count = static_cast<double>(std::max<std::uint64_t>(total, 1));
    state.counters["cpu_us_per_acq"] = (after.cpu_seconds - before.cpu_seconds) * 1e6 / count;
    state.counters["csw_per_acq"] = static_cast<double>(after.switches - before.switches) / count;
    // The smallest share of the acquisitions any thread got, relative to an
    // even split: 1 is perfectly fair, near 0 means a thread was starved while
    // another kept re-taking the lock.
    const auto fewest = *std::min_element(per_thread.begin(), per_thread.end());
    state.counters["fairness"] =
        static_cast<double>(fewest) * static_cast<double>(per_thread.size()) / count;
  }
};

// An exclusive hold of `hold` units: a read-modify-write of the counter that
// spans the whole hold, with the mirror announcing the new value from the
// start. BusyWork clobbers memory, so the compiler keeps every load and store
// where it is written.
template <typename Lock>
void WriteUnderLock(Shared<Lock>& shared, std::uint64_t hold) {
  const std::uint64_t seen = shared.counter;
  shared.mirror = seen + 1;
  BusyWork(hold);
  shared.counter = seen + 1;
}

// A shared hold of `hold` units. False if a writer was seen during it.
template <typename Lock>
bool ReadUnderLock(const Shared<Lock>& shared, std::uint64_t hold) {
  const std::uint64_t seen = shared.counter;
  BusyWork(hold);
  return shared.mirror == seen && shared.counter == seen;
}

void CheckCount(benchmark::State& state, std::uint64_t actual, std::uint64_t expected) {
  if (actual != expected) {
    const std::string message = "counter under the lock is " + std::to_string(actual) +
                                ", expected " + std::to_string(expected);
    state.SkipWithError(message.c_str());
  }
}

// ---------------------------------------------------------------------------
// Workloads.

// One thread locks and unlocks with nobody else interested. The idle thread
// that main() keeps alive makes the process multi-threaded, as any program
// that needs a lock is; otherwise glibc takes its single-thread shortcuts.
template <typename Lock, bool kSharedSide>
void Uncontended(benchmark::State& state, Shared<Lock>& shared) {
  shared.Begin(state);
  std::uint64_t mine = 0;
  if constexpr (kSharedSide) {
    shared.counter = 1;
    std::uint64_t sum = 0;
    for (auto _ : state) {
      shared.lock.lock_shared();
      sum += shared.counter;
      shared.lock.unlock_shared();
      ++mine;
    }
    benchmark::DoNotOptimize(sum);
    std::uint64_t total = 0;
    if (shared.End(state, mine, total)) CheckCount(state, sum, total);
  } else {
    for (auto _ : state) {
      shared.lock.lock();
      ++shared.counter;
      shared.lock.unlock();
      ++mine;
    }
    std::uint64_t total = 0;
    if (shared.End(state, mine, total)) CheckCount(state, shared.counter, total);
  }
}

// Each thread: lock, `hold` units of work and one increment, unlock, then
// `outside` units of work. Google Benchmark gives every thread the same
// iteration count, so a lock that lets one thread race ahead would otherwise
// end with the others running alone and uncontended. Instead, once the first
// thread has made all its acquisitions the others stop acquiring (their
// remaining iterations are empty), and throughput is the acquisitions made
// while every thread was competing, divided by the run's real time.
// With kTimeLockCpu each thread also times the CPU its lock() calls burn, which
// the long-hold workload reports as lock_cpu_us_per_acq.
template <typename Lock, bool kTimeLockCpu = false>
void Exclusive(benchmark::State& state, Shared<Lock>& shared, std::uint64_t hold,
               std::uint64_t outside) {
  shared.Begin(state);
  const auto wanted = static_cast<std::uint64_t>(state.max_iterations);
  std::uint64_t mine = 0;
  double lock_cpu_seconds = 0;
  for (auto _ : state) {
    if (shared.first_done.load(std::memory_order_relaxed)) continue;
    double before_lock = 0;
    if constexpr (kTimeLockCpu) before_lock = ThreadCpuSeconds();
    shared.lock.lock();
    if constexpr (kTimeLockCpu) lock_cpu_seconds += ThreadCpuSeconds() - before_lock;
    WriteUnderLock(shared, hold);
    shared.lock.unlock();
    if (++mine == wanted) shared.first_done.store(true, std::memory_order_relaxed);
    BusyWork(outside);
  }
  if constexpr (kTimeLockCpu) {
    shared.lock_cpu_nanoseconds.fetch_add(static_cast<std::uint64_t>(lock_cpu_seconds * 1e9));
  }
  std::uint64_t total = 0;
  if (shared.End(state, mine, total)) {
    CheckCount(state, shared.counter, total);
    shared.ReportUsage(state, total);
    if constexpr (kTimeLockCpu) {
      state.counters["lock_cpu_us_per_acq"] =
          static_cast<double>(shared.lock_cpu_nanoseconds.load()) / 1e3 /
          static_cast<double>(std::max<std::uint64_t>(total, 1));
    }
  }
}

// Every 16th acquisition of each thread is a write (exclusive), the rest are
// reads (shared) that check the two guarded fields agree.
template <typename Lock>
void ReadMostly(benchmark::State& state, Shared<Lock>& shared, std::uint64_t hold,
                std::uint64_t outside) {
  shared.Begin(state);
  const auto wanted = static_cast<std::uint64_t>(state.max_iterations);
  std::uint64_t mine = 0;
  std::uint64_t writes = 0;
  std::uint64_t torn = 0;
  for (auto _ : state) {
    if (shared.first_done.load(std::memory_order_relaxed)) continue;
    if (mine % 16 == 15) {
      std::lock_guard<Lock> guard(shared.lock);
      WriteUnderLock(shared, hold);
      ++writes;
    } else {
      std::shared_lock<Lock> guard(shared.lock);
      if (!ReadUnderLock(shared, hold)) ++torn;
    }
    if (++mine == wanted) shared.first_done.store(true, std::memory_order_relaxed);
    BusyWork(outside);
  }
  shared.writes.fetch_add(writes);
  shared.torn_reads.fetch_add(torn);
  std::uint64_t total = 0;
  if (shared.End(state, mine, total)) {
    if (shared.torn_reads.load() != 0) {
      state.SkipWithError("a reader overlapped a writer");
    } else {
      CheckCount(state, shared.counter, shared.writes.load());
    }
    shared.ReportUsage(state, total);
  }
}

// Thread 0 is a writer that wants the lock now and then; the other threads are
// readers whose holds overlap so that the lock is rarely free. All threads run
// for the same fixed window (one iteration per repetition), so the writer's
// rate is not flattered by readers that finished early. Reports the writer's
// acquisitions per second and its longest wait for the lock.
template <typename Lock>
void WriterStarvation(benchmark::State& state, Shared<Lock>& shared, double window_seconds) {
  const std::uint64_t read_hold = UnitsFor(2000);
  const std::uint64_t read_outside = UnitsFor(500);
  const std::uint64_t write_hold = UnitsFor(2000);
  const std::uint64_t write_outside = UnitsFor(20000);
  const auto window =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(window_seconds));
  const bool writer = state.thread_index() == 0;

  shared.Begin(state);
  std::uint64_t mine = 0;
  std::uint64_t torn = 0;
  Clock::duration longest_wait{0};
  double elapsed_seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const auto deadline = start + window;
    if (writer) {
      for (auto now = start; now < deadline; now = Clock::now()) {
        {
          std::lock_guard<Lock> guard(shared.lock);
          longest_wait = std::max(longest_wait, Clock::now() - now);
          WriteUnderLock(shared, write_hold);
        }
        ++mine;
        BusyWork(write_outside);
      }
    } else {
      while (Clock::now() < deadline) {
        {
          std::shared_lock<Lock> guard(shared.lock);
          if (!ReadUnderLock(shared, read_hold)) ++torn;
        }
        ++mine;
        BusyWork(read_outside);
      }
    }
    elapsed_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  }
  if (writer) shared.writes.store(mine);
  shared.torn_reads.fetch_add(torn);
  if (!writer) {
    state.counters["reader_acq_per_s"] =
        benchmark::Counter(static_cast<double>(mine), benchmark::Counter::kIsRate);
  }
  std::uint64_t total = 0;
  if (shared.End(state, mine, total)) {
    if (shared.torn_reads.load() != 0) {
      state.SkipWithError("a reader overlapped a writer");
    } else {
      CheckCount(state, shared.counter, mine);
    }
    state.counters["writer_acq_per_s"] = static_cast<double>(mine) / elapsed_seconds;
    state.counters["writer_max_wait_ms"] =
        std::chrono::duration<double, std::milli>(longest_wait).count();
    shared.ReportUsage(state, total);
  }
}

// The cost of one full, unsuccessful spin of the hybrid locks: 1024 failed
// tries of a held pthread mutex with the production hint and yields, and no
// blocking step. This is what a waiter behind a long hold burns before it
// sleeps, and it explains the long-hold CPU figures.
void SpinBudget(benchmark::State& state) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&mutex);
  std::uint64_t tries = 0;
  for (auto _ : state) {
    TalvornCommon::detail::SpinThenBlock(
        [&] {
          ++tries;
          return pthread_mutex_trylock(&mutex) == 0;
        },
        [] {});
  }
  pthread_mutex_unlock(&mutex);
  pthread_mutex_destroy(&mutex);
  if (tries != static_cast<std::uint64_t>(state.iterations()) * TalvornCommon::detail::kSpinLimit) {
    state.SkipWithError("the spin did not make the expected number of tries");
  }
  state.SetItemsProcessed(state.iterations());
}

// ---------------------------------------------------------------------------
// Registration.

constexpr int kRepetitions = 5;

benchmark::internal::Benchmark* Configure(benchmark::internal::Benchmark* bench, double min_time) {
  return bench->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->MinTime(min_time);
}

// Calls `register_one.template operator()<Lock>(name)` for every lock that
// takes part in the exclusive workloads. Each hybrid lock comes right after
// its baseline, so that with random interleaving turned off the two still run
// close together in time.
template <typename F>
void ForEachExclusiveLock(F&& register_one) {
  register_one.template operator()<std::mutex>("std::mutex");
  register_one.template operator()<HybridMutex>("HybridMutex");
  register_one.template operator()<std::shared_mutex>("std::shared_mutex");
  register_one.template operator()<HybridSharedMutex>("HybridSharedMutex");
  register_one.template operator()<AdaptiveMutex>("pthread_adaptive");
}

template <typename F>
void ForEachSharedLock(F&& register_one) {
  register_one.template operator()<std::shared_mutex>("std::shared_mutex");
  register_one.template operator()<HybridSharedMutex>("HybridSharedMutex");
}

struct HoldCase {
  const char* label;
  double nanoseconds;
};

// Families are registered per workload, parameter and thread count, with the
// locks innermost; that is the order they run in when random interleaving is
// turned off.
void RegisterAll() {
  ForEachExclusiveLock([]<typename Lock>(const std::string& name) {
    auto shared = std::make_shared<Shared<Lock>>();
    Configure(benchmark::RegisterBenchmark(
                  ("Uncontended/" + name + "/exclusive").c_str(),
                  [shared](benchmark::State& state) { Uncontended<Lock, false>(state, *shared); }),
              0.1);
  });
  ForEachSharedLock([]<typename Lock>(const std::string& name) {
    auto shared = std::make_shared<Shared<Lock>>();
    Configure(benchmark::RegisterBenchmark(
                  ("Uncontended/" + name + "/shared").c_str(),
                  [shared](benchmark::State& state) { Uncontended<Lock, true>(state, *shared); }),
              0.1);
  });

  for (const HoldCase hold :
       {HoldCase{"50ns", 50}, HoldCase{"2us", 2000}, HoldCase{"20us", 20000}}) {
    for (const int threads : {2, 4, 8}) {
      ForEachExclusiveLock([hold, threads]<typename Lock>(const std::string& name) {
        auto shared = std::make_shared<Shared<Lock>>();
        const std::uint64_t units = UnitsFor(hold.nanoseconds);
        // As much work outside the lock as inside: on two cores the ideal
        // lock is then busy all the time, and every gap in hand-over shows.
        Configure(
            benchmark::RegisterBenchmark(("Contended/" + name + "/hold:" + hold.label).c_str(),
                                         [shared, units](benchmark::State& state) {
                                           Exclusive(state, *shared, units, units);
                                         }),
            0.2)
            ->Threads(threads);
      });
    }
  }

  for (const int threads : {2, 4}) {
    ForEachExclusiveLock([threads]<typename Lock>(const std::string& name) {
      auto shared = std::make_shared<Shared<Lock>>();
      const std::uint64_t hold = UnitsFor(1e6);
      const std::uint64_t outside = UnitsFor(1e5);
      Configure(benchmark::RegisterBenchmark(("LongHold/" + name + "/hold:1ms").c_str(),
                                             [shared, hold, outside](benchmark::State& state) {
                                               Exclusive<Lock, true>(state, *shared, hold, outside);
                                             }),
                0.5)
          ->Threads(threads);
    });
  }

  for (const int threads : {2, 4, 8}) {
    ForEachSharedLock([threads]<typename Lock>(const std::string& name) {
      auto shared = std::make_shared<Shared<Lock>>();
      const std::uint64_t units = UnitsFor(2000);
      Configure(benchmark::RegisterBenchmark(("ReadMostly/" + name + "/hold:2us").c_str(),
                                             [shared, units](benchmark::State& state) {
                                               ReadMostly(state, *shared, units, units);
                                             }),
                0.2)
          ->Threads(threads);
    });
  }

  for (const int readers : {1, 3}) {
    ForEachSharedLock([readers]<typename Lock>(const std::string& name) {
      auto shared = std::make_shared<Shared<Lock>>();
      constexpr double kWindowSeconds = 0.25;
      benchmark::RegisterBenchmark(
          ("WriterStarvation/" + name + "/readers:" + std::to_string(readers)).c_str(),
          [shared](benchmark::State& state) { WriterStarvation(state, *shared, kWindowSeconds); })
          ->Repetitions(kRepetitions)
          ->ReportAggregatesOnly(true)
          ->UseRealTime()
          ->MeasureProcessCPUTime()
          ->Iterations(1)
          ->Threads(readers + 1);
    });
  }

  Configure(benchmark::RegisterBenchmark("SpinBudget/HybridSpin/full", SpinBudget), 0.1);
}

// Keeps the process multi-threaded for the whole run, as explained at
// Uncontended.
class IdleThread {
 public:
  IdleThread()
      : thread_([this] {
          std::unique_lock<std::mutex> guard(mutex_);
          wake_.wait(guard, [this] { return stop_; });
        }) {}
  ~IdleThread() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  IdleThread(const IdleThread&) = delete;
  IdleThread& operator=(const IdleThread&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  // Run the repetitions of all benchmarks in random order, so that a burst of
  // load from elsewhere on the machine falls on baselines and hybrids alike
  // instead of on one lock's five repetitions. A later flag on the command
  // line overrides this one.
  std::vector<char*> arguments(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  arguments.insert(arguments.begin() + 1, interleave.data());
  int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;

  CalibrateBusyWork();
  benchmark::AddCustomContext("busy_work_ns_per_unit", std::to_string(g_ns_per_unit));
  benchmark::AddCustomContext("hybrid_spin_limit",
                              std::to_string(TalvornCommon::detail::kSpinLimit));

  RegisterAll();

  IdleThread idle;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
