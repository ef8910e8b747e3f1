// Lock benchmarks: HybridMutex against std::mutex and HybridSharedMutex
// against std::shared_mutex, on the same workloads in the same process.
//
// Every benchmark reports the median of 5 repetitions in real time, with the
// CPU time of the whole process (Google Benchmark would otherwise count only
// the main thread's). Each thread counts its own acquisitions as items, and
// every run checks a plain counter kept under the lock against the number of
// acquisitions: a holder reads the counter at the start of its hold and stores
// the increment at the end, so a lock that lets two holders in fails the run.
//
// Critical sections are calibrated busy work, not sleeps: a holder that gets
// preempted keeps the lock for longer, exactly as real code would.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "Summary.h"
#include "talvorncommon/HybridMutex.h"
#include "talvorncommon/HybridSharedMutex.h"

namespace {

using Clock = std::chrono::steady_clock;

// One unit is one step of a 64-bit linear congruential generator: a multiply
// and an add that depend on the previous step, so the compiler can neither
// vectorise nor fold the loop. DoNotOptimize also keeps every load and store
// of the caller on its side of the call.
[[gnu::noinline]] void BusyWork(std::uint64_t units) {
  std::uint64_t x = units;
  for (std::uint64_t i = 0; i < units; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    benchmark::DoNotOptimize(x);
  }
}

// Nanoseconds per unit: the fastest of several timed runs at start-up, the
// first of which warms up. On a shared machine a slower run means the thread
// was preempted, not that the work got more expensive.
const double g_ns_per_unit = [] {
  constexpr std::uint64_t kUnits = 1U << 21;
  double best = 1e300;
  for (int trial = 0; trial < 10; ++trial) {
    const auto start = Clock::now();
    BusyWork(kUnits);
    best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  }
  return best / kUnits;
}();

std::uint64_t UnitsFor(double nanoseconds) {
  return std::max<std::uint64_t>(1, std::llround(nanoseconds / g_ns_per_unit));
}

// State shared by the threads of one run, lock included, made afresh before
// the run starts.
template <typename Lock>
struct Shared {
  explicit Shared(int threads) : finished(threads) {}
  std::string name;  // of the benchmark running
  Lock lock;
  alignas(64) std::uint64_t counter = 0;  // guarded by `lock`
  alignas(64) std::atomic<bool> first_done{false};
  std::atomic<std::uint64_t> acquisitions{0};
  std::atomic<std::uint64_t> lock_cpu_ns{0};
  std::barrier<> finished;
  const double cpu_before = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  const Clock::time_point wall_before = Clock::now();
};

// One thread locks and unlocks, exclusively or shared, with nobody else
// interested. The goal is judged on CPU time, the cost of the pair: real time
// also counts the moments other programs preempted the thread.
template <bool kShared>
const auto Uncontended = [](benchmark::State& state, auto& s) {
  for (auto _ : state) {
    if constexpr (kShared) {
      s.lock.lock_shared();
      benchmark::DoNotOptimize(s.counter);
      s.lock.unlock_shared();
    } else {
      s.lock.lock();
      benchmark::DoNotOptimize(++s.counter);
      s.lock.unlock();
    }
  }
};

// The workload of each thread: lock, a read-modify-write of the counter
// spanning `hold` units, unlock, then `outside` units. Google Benchmark gives
// every thread the same iteration count, so a lock that lets one thread race
// ahead would end its run with the others running alone, uncontended, and look
// faster than it is. Instead, once the first thread has made all its
// acquisitions the others stop acquiring, and throughput covers only the time
// every thread competed. With `time_lock` each thread also times the CPU its
// lock() calls burn: unlike the process's CPU, that does not move with the
// noise others add to the busy work.
auto Contended(std::uint64_t hold, std::uint64_t outside, bool time_lock) {
  return [=](benchmark::State& state, auto& s) {
    const auto wanted = static_cast<std::uint64_t>(state.max_iterations);
    std::uint64_t mine = 0;
    double lock_cpu = 0;
    for (auto _ : state) {
      if (s.first_done.load(std::memory_order_relaxed)) continue;
      const double before = time_lock ? bench::CpuSeconds(CLOCK_THREAD_CPUTIME_ID) : 0;
      s.lock.lock();
      if (time_lock) lock_cpu += bench::CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
      const std::uint64_t seen = s.counter;
      BusyWork(hold);
      s.counter = seen + 1;
      s.lock.unlock();
      if (++mine == wanted) s.first_done.store(true, std::memory_order_relaxed);
      BusyWork(outside);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(mine));
    s.acquisitions += mine;
    s.lock_cpu_ns += static_cast<std::uint64_t>(lock_cpu * 1e9);
    s.finished.arrive_and_wait();
    if (state.thread_index() != 0) return;
    if (s.counter != s.acquisitions) {
      bench::Fail(s.name + ": the counter under the lock lost updates");
    }
    const double cpu = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - s.cpu_before;
    const double acquisitions = static_cast<double>(std::max<std::uint64_t>(s.acquisitions, 1));
    state.counters["cpu_us_per_acq"] = cpu * 1e6 / acquisitions;
    // How many cores the process kept busy: a baseline that leaves one idle
    // while its waiters sleep shows here.
    state.counters["cores"] =
        cpu / std::chrono::duration<double>(Clock::now() - s.wall_before).count();
    if (time_lock) state.counters["lock_cpu_us_per_acq"] = s.lock_cpu_ns / 1e3 / acquisitions;
  };
}

template <typename Lock>
std::optional<Shared<Lock>> g_shared;

// Registers `workload` for one lock, in real time with the whole process's CPU
// time, and returns the name the summary finds its medians by. Setup makes the
// shared state before the run's threads start, so all of them see it.
template <typename Lock, typename Workload>
std::string Add(const std::string& name, int threads, double min_time, Workload workload) {
  benchmark::RegisterBenchmark(name.c_str(),
                               [workload, name](benchmark::State& state) {
                                 if (state.thread_index() == 0) g_shared<Lock>->name = name;
                                 workload(state, *g_shared<Lock>);
                               })
      ->Setup([](const benchmark::State& state) { g_shared<Lock>.emplace(state.threads()); })
      ->Repetitions(5)
      ->ReportAggregatesOnly(true)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->MinTime(min_time)
      ->Threads(threads);
  return name + "/threads:" + std::to_string(threads);
}

// Registers each workload for the baseline and then the lock, with the figures
// that compare them.
template <typename Lock, typename Base>
void RegisterLock(const std::string& lock, const std::string& base,
                  std::vector<bench::Figure>& figures) {
  auto pair = [&](const std::string& what, const std::string& param, int threads, double min_time,
                  auto workload, const char* field, char goal, double limit) -> bench::Figure& {
    const std::string baseline =
        Add<Base>(what + "/" + base + "/" + param, threads, min_time, workload);
    const std::string run = Add<Lock>(what + "/" + lock + "/" + param, threads, min_time, workload);
    return figures.emplace_back(bench::Figure{
        fmt::format("{} {} x{}, {}: {} / {}", what, param, threads, field, lock, base), run,
        baseline, field, goal, limit});
  };
  pair("Uncontended", "exclusive", 1, 0.1, Uncontended<false>, "cpu_time", '<', 1.10);
  if constexpr (requires(Lock & l) { l.lock_shared(); }) {
    pair("Uncontended", "shared", 1, 0.1, Uncontended<true>, "cpu_time", '<', 1.10);
  }
  // As much work outside the lock as inside: on two cores the ideal lock is
  // then busy all the time, and every gap in the hand-over shows. Spinning
  // cannot pay for itself at 50 ns, so that hold has no goal.
  for (const auto& [hold, ns] : {std::pair{"50ns", 50.0}, {"2us", 2e3}, {"20us", 2e4}}) {
    const auto workload = Contended(UnitsFor(ns), UnitsFor(ns), false);
    for (const int threads : {2, 4, 8}) {
      pair("Contended", std::string("hold:") + hold, threads, 0.2, workload, "items_per_second",
           ns > 100 ? '>' : '\0', 1.30);
    }
  }
  // What a waiter burns before it sleeps, on 1 ms holds with 0.1 ms outside.
  // The lock() CPU ratio is the baseline's CPU per acquisition plus the extra
  // the lock's own lock() calls burn, over the baseline's.
  const auto workload = Contended(UnitsFor(1e6), UnitsFor(1e5), true);
  for (const int threads : {2, 4}) {
    bench::Figure in_lock =
        pair("LongHold", "hold:1ms", threads, 0.5, workload, "cpu_us_per_acq", '<', 1.03);
    in_lock.label = fmt::format("LongHold hold:1ms x{}, lock() CPU: {} / {}", threads, lock, base);
    in_lock.field = "lock_cpu_us_per_acq";
    in_lock.ratio = [](const bench::Medians& mine, const bench::Medians& theirs) {
      return 1 + (mine.at("lock_cpu_us_per_acq") - theirs.at("lock_cpu_us_per_acq")) /
                     theirs.at("cpu_us_per_acq");
    };
    figures.push_back(in_lock);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::AddCustomContext("busy_work_ns_per_unit", std::to_string(g_ns_per_unit));
  std::vector<bench::Figure> figures;
  RegisterLock<TalvornCommon::HybridMutex, std::mutex>("HybridMutex", "std::mutex", figures);
  RegisterLock<TalvornCommon::HybridSharedMutex, std::shared_mutex>("HybridSharedMutex",
                                                                    "std::shared_mutex", figures);
  // While a process has only one thread, glibc takes single-thread shortcuts
  // (a std::mutex lock and unlock cost 2.5 ns instead of 13 ns here) that no
  // program needing a lock ever sees; an idle thread keeps them off.
  std::thread(pause).detach();
  return bench::RunAndSummarise(argc, argv, std::move(figures));
}
