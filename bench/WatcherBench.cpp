// Costs of FileWatcher that users feel: how long after a write the callback
// runs, how long Stop takes, and what an idle watch costs in CPU.
//
// The baseline is the physical limit: a thread blocked in read() on its own
// inotify descriptor, woken by the kernel the moment the write lands. The
// watcher polls a non-blocking descriptor with a 1 ms sleep instead, so its
// delay is the baseline plus, on average, half a sleep period.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <talvorncommon/FileWatcher.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using TalvornCommon::FileWatcher;

constexpr int kWrites = 3000;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "talvorn-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  std::string File() const { return path_ + "/watched"; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t index = std::min(
      samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size())));
  return samples[index];
}

void ReportDelays(benchmark::State& state, const std::vector<double>& delays_us) {
  state.counters["median_us"] = Percentile(delays_us, 0.5);
  state.counters["p99_us"] = Percentile(delays_us, 0.99);
  state.counters["max_us"] = Percentile(delays_us, 1.0);
  state.counters["samples"] = static_cast<double>(delays_us.size());
}

// Writes one byte, then waits (futex, no spinning) until `seen` moves past
// the previous value; returns the delay in microseconds. With `random_phase`
// the write waits a random 0-1.5 ms first, so it lands anywhere in the
// watcher's poll period; without it, the write follows the previous callback
// at once and so lands at the start of the watcher's idle sleep (worst case).
double TimedWrite(int fd, std::atomic<uint64_t>& seen, std::atomic<int64_t>& seen_at_ns,
                  bool random_phase) {
  static std::minstd_rand random(42);
  if (random_phase) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
  }
  const uint64_t before = seen.load();
  const auto start = Clock::now();
  if (write(fd, "x", 1) != 1) std::abort();
  seen.wait(before);
  const auto at = Clock::time_point(Clock::duration(seen_at_ns.load()));
  return std::chrono::duration<double, std::micro>(at - start).count();
}

void BM_WriteToWakeup_BlockingReadBaseline(benchmark::State& state) {
  ScratchDir dir;
  const int fd = open(dir.File().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  const int inotify = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(inotify, dir.Path().c_str(), IN_MODIFY);
  std::atomic<uint64_t> seen{0};
  std::atomic<int64_t> seen_at_ns{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    alignas(inotify_event) char buffer[4096];
    while (read(inotify, buffer, sizeof buffer) > 0 && !stop) {
      seen_at_ns = Clock::now().time_since_epoch().count();
      seen.fetch_add(1);
      seen.notify_one();
    }
  });
  std::vector<double> delays;
  for (auto _ : state) {
    for (int i = 0; i < kWrites; ++i) {
      delays.push_back(TimedWrite(fd, seen, seen_at_ns, state.range(0) != 0));
    }
  }
  stop = true;
  if (write(fd, "x", 1) != 1) std::abort();  // wakes the reader so it sees `stop`
  reader.join();
  close(inotify);
  close(fd);
  ReportDelays(state, delays);
}

void BM_WriteToCallback_FileWatcher(benchmark::State& state) {
  ScratchDir dir;
  const int fd = open(dir.File().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  FileWatcher watcher(dir.File());
  std::atomic<uint64_t> seen{0};
  std::atomic<int64_t> seen_at_ns{0};
  std::shared_ptr<FileWatcher::OnFileChangedHandler> token;
  std::string error;
  if (!watcher.SubscribeOnFileChanged(
          [&](FileWatcher::EventType) {
            seen_at_ns = Clock::now().time_since_epoch().count();
            seen.fetch_add(1);
            seen.notify_one();
          },
          token, error) ||
      !watcher.Start(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<double> delays;
  for (auto _ : state) {
    for (int i = 0; i < kWrites; ++i) {
      delays.push_back(TimedWrite(fd, seen, seen_at_ns, state.range(0) != 0));
    }
  }
  (void)watcher.Stop(error);
  close(fd);
  ReportDelays(state, delays);
}

// The kernel's share of Stop: closing an inotify instance that holds a watch
// waits for the watch's teardown (a deferred reaper and an SRCU grace period),
// which no user-space design can avoid while Stop promises a closed instance.
void BM_CloseInotifyInstance_Baseline(benchmark::State& state) {
  ScratchDir dir;
  std::vector<double> closes_us;
  for (auto _ : state) {
    for (int i = 0; i < 200; ++i) {
      const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      inotify_add_watch(fd, dir.Path().c_str(), IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const auto start = Clock::now();
      close(fd);
      closes_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  ReportDelays(state, closes_us);
}

// Stop on a started watcher whose thread is idle (sleeping between polls).
void BM_StopIdleWatcher(benchmark::State& state) {
  ScratchDir dir;
  FileWatcher watcher(dir.File());
  std::vector<double> stops_us;
  std::string error;
  for (auto _ : state) {
    for (int i = 0; i < 200; ++i) {
      if (!watcher.Start(error)) {
        state.SkipWithError(error.c_str());
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const auto start = Clock::now();
      (void)watcher.Stop(error);
      stops_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  ReportDelays(state, stops_us);
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU the whole process uses per wall second while the main thread sleeps,
// with and without a started idle watcher; the difference is the watcher's.
double IdleCpuShare(bool with_watcher, const std::string& path) {
  FileWatcher watcher(path);
  std::string error;
  if (with_watcher && !watcher.Start(error)) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // settle
  const double cpu_before = ProcessCpuSeconds();
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double cpu = ProcessCpuSeconds() - cpu_before;
  const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
  if (with_watcher) (void)watcher.Stop(error);
  return cpu / wall;
}

void BM_IdleWatcherCpu(benchmark::State& state) {
  ScratchDir dir;
  double baseline = 0;
  double watching = 0;
  for (auto _ : state) {
    baseline = IdleCpuShare(false, dir.File());
    watching = IdleCpuShare(true, dir.File());
  }
  if (watching < 0) {
    state.SkipWithError("Start failed");
    return;
  }
  state.counters["idle_process_pct_of_core"] = 100 * baseline;
  state.counters["watcher_pct_of_core"] = 100 * (watching - baseline);
}

// Argument: 0 back-to-back writes, 1 writes at a random phase.
BENCHMARK(BM_WriteToWakeup_BlockingReadBaseline)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteToCallback_FileWatcher)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloseInotifyInstance_Baseline)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StopIdleWatcher)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleWatcherCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
