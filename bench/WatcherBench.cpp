// Costs of FileWatcher that users feel, each beside the physical limit
// measured in the same run: how long after a write the callback runs (against
// a thread blocked in read() on its own inotify descriptor, woken the moment
// the write lands), how long Stop takes (against a bare close of an inotify
// instance holding a watch) and what an idle watcher costs in CPU (against the
// same process without one). The watcher polls a non-blocking descriptor with
// a 1 ms sleep instead of blocking, so its delay is spread over that sleep.
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Summary.h"
#include "talvorncommon/FileWatcher.h"

namespace {

using Clock = std::chrono::steady_clock;
using TalvornCommon::FileWatcher;

// One scratch directory for the whole run, holding the watched file; main
// removes it.
const std::string g_dir = [] {
  std::string pattern = std::filesystem::temp_directory_path() / "talvorn-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}();
const std::string g_file = g_dir + "/watched";

// Takes `count` samples in microseconds and reports their median and 99th
// percentile.
template <typename Sample>
void Report(benchmark::State& state, int count, Sample sample) {
  std::vector<double> us;
  for (auto _ : state) {
    for (int i = 0; i < count; ++i) us.push_back(sample());
  }
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
}

// The moment the last event was seen, in clock ticks, set by a callback or a
// blocked reader; the writer waits on it to change.
using Seen = std::atomic<Clock::rep>;

void Mark(Seen& seen) {
  seen = Clock::now().time_since_epoch().count();
  seen.notify_one();
}

// Times 3000 one-byte writes, each from the write to the moment it is seen,
// waiting on a futex rather than spinning so as to leave the cores to the
// watcher. The first argument is the phase: 0, each write follows the
// previous event at once and so lands at the start of the watcher's idle sleep
// (the worst phase); 1, each waits a random 0-1.5 ms first and lands at any
// phase. The second is who sees the writes: 0, a thread blocked in read() on
// its own inotify instance; 1, a watcher's callback.
void BM_WriteToCallback(benchmark::State& state) {
  // Opened before the watch starts, so that the creation is no event.
  const int fd = open(g_file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  Seen seen{0};
  FileWatcher watcher(g_file);
  std::shared_ptr<FileWatcher::OnFileChangedHandler> token;
  std::string error;
  const int inotify = state.range(1) == 0 ? inotify_init1(IN_CLOEXEC) : -1;
  std::atomic<bool> stop{false};
  std::thread reader;
  if (inotify >= 0) {
    inotify_add_watch(inotify, g_dir.c_str(), IN_MODIFY);
    reader = std::thread([&] {
      alignas(inotify_event) char buffer[4096];
      while (read(inotify, buffer, sizeof buffer) > 0 && !stop) Mark(seen);
    });
  } else if (!watcher.SubscribeOnFileChanged([&](FileWatcher::EventType) { Mark(seen); }, token,
                                             error) ||
             !watcher.Start(error)) {
    bench::Fail(error);
  }
  std::minstd_rand random(42);
  Report(state, 3000, [&] {
    if (state.range(0) != 0)
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
    const Clock::rep before = seen;
    const auto start = Clock::now().time_since_epoch();
    if (write(fd, "x", 1) != 1) std::abort();
    seen.wait(before);
    return std::chrono::duration<double, std::micro>(Clock::duration(seen) - start).count();
  });
  if (reader.joinable()) {
    stop = true;
    if (write(fd, "x", 1) != 1) std::abort();  // wakes the reader to see `stop`
    reader.join();
    close(inotify);
  }
  (void)watcher.Stop(error);
  close(fd);
}

// 200 times: start something that holds an inotify watch, let it settle for
// 5 ms and time its end. Argument 0: close a bare inotify instance; 1: Stop a
// watcher. Closing an instance that holds a watch waits for the kernel's
// teardown of the watch (a deferred reaper, then an SRCU grace period), which
// Stop cannot avoid while it promises a closed instance on return.
void BM_Stop(benchmark::State& state) {
  FileWatcher watcher(g_file);
  std::string error;
  Report(state, 200, [&] {
    int fd = -1;
    if (state.range(0) == 0) {
      fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      inotify_add_watch(fd, g_dir.c_str(), IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE);
    } else if (!watcher.Start(error)) {
      bench::Fail(error);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto begin = Clock::now();
    if (fd >= 0) {
      close(fd);
    } else {
      (void)watcher.Stop(error);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
  });
}

// CPU of the whole process, in percent of a core, over 2 s of the main thread
// sleeping; with argument 1 a started watcher idles meanwhile.
void BM_IdleCpu(benchmark::State& state) {
  FileWatcher watcher(g_file);
  std::string error;
  if (state.range(0) != 0 && !watcher.Start(error)) bench::Fail(error);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the thread's start-up
  for (auto _ : state) {
    const double cpu_before = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto wall_before = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    state.counters["cpu_pct_of_core"] =
        100 * (bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_before) /
        std::chrono::duration<double>(Clock::now() - wall_before).count();
  }
  (void)watcher.Stop(error);
}

BENCHMARK(BM_WriteToCallback)->ArgsProduct({{0, 1}, {0, 1}})->Iterations(1);
BENCHMARK(BM_Stop)->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_IdleCpu)->Arg(0)->Arg(1)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  // The goals are on the watcher's own figures: the baselines show how much
  // of each is the kernel's rather than the watcher's design.
  std::vector<bench::Figure> figures;
  for (const auto& [phase, arg] : {std::pair{"any", "1"}, {"worst", "0"}}) {
    for (const auto& [statistic, limit] : {std::pair{"median", 1100}, {"p99", 2000}}) {
      const std::string run = fmt::format("BM_WriteToCallback/{}/", arg);
      figures.push_back(
          {fmt::format("write to callback, {} phase, {} us: watcher / read", phase, statistic),
           run + "1", run + "0", statistic + std::string("_us"), '<', static_cast<double>(limit),
           true});
    }
  }
  for (const auto& [statistic, goal] : {std::pair{"median", '<'}, {"p99", '\0'}}) {
    figures.push_back({fmt::format("Stop of an idle watcher, {} us: Stop / close", statistic),
                       "BM_Stop/1", "BM_Stop/0", statistic + std::string("_us"), goal, 2000, true});
  }
  figures.push_back({"idle CPU, % of a core: with / without a watcher", "BM_IdleCpu/1",
                     "BM_IdleCpu/0", "cpu_pct_of_core", '<', 2, true});
  const int status = bench::RunAndSummarise(argc, argv, std::move(figures));
  std::filesystem::remove_all(g_dir);
  return status;
}
