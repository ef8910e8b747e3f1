// What a PathWatcher's looks at a far file cost and how soon they see a save
// made on the server's side, beside the plainest reloader that never misses
// an edit: a thread "Reloader" that reads the whole file again once a second.
// Both follow the same file in the same minutes, each through a mount of its
// own of the same folder: sshfs with its default options, served by an sshd of the program's own on
// 127.0.0.1, whose daemon keeps attributes for 20 seconds and has
// whole-second times, and bindfs with its defaults, which has the kernel keep
// them for a second. The mounts are those of the tests (tests/SshfsMount.h).
#include <fcntl.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>

#include "SshfsMount.h"
#include "bench/Summary.h"
#include "talvorncommon/PathWatcher.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using TalvornCommon::PathWatcher;

constexpr int kSaves = 20;
constexpr auto kIdleWindow = std::chrono::seconds(30);

// When a follower last saw a new version, in clock ticks, and how often.
struct Seen {
  std::atomic<Clock::rep> at{0};
  std::atomic<int> count{0};
  void Mark() {
    at = Clock::now().time_since_epoch().count();
    ++count;
  }
};

// Reads `path` whole every kRemoteLookPeriod, counted from the end of the last
// read as the looks are, and marks `seen` when the content differs from the
// last read's.
class Reloader {
 public:
  static constexpr const char* kName = "Reloader";
  Reloader(std::string path, Seen& seen) : path_(std::move(path)), last_(Read()) {
    thread_ = std::thread([this, &seen] {
      pthread_setname_np(pthread_self(), kName);
      std::unique_lock<std::mutex> lock(mutex_);
      while (!wake_.wait_until(lock, Clock::now() + PathWatcher::kRemoteLookPeriod,
                               [this] { return stop_; })) {
        lock.unlock();
        std::string now = Read();
        if (now != last_) {
          last_ = std::move(now);
          seen.Mark();
        }
        lock.lock();
      }
    });
  }
  ~Reloader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  std::string Read() const {
    std::string content;
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "error";
    char piece[16 * 1024];
    for (ssize_t got; (got = read(fd, piece, sizeof piece)) > 0;) content.append(piece, got);
    close(fd);
    return content;
  }

  const std::string path_;
  std::string last_;  // the thread's alone once started
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // under mutex_
  std::thread thread_;
};

fs::path TaskOf(const std::string& name) {
  for (const fs::directory_entry& task : fs::directory_iterator("/proc/self/task")) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm == name) return task.path();
  }
  bench::Fail("no thread named " + name);
}

// A thread's context switches (voluntary and not: each is a wake-up) and CPU
// time in ns so far.
struct Ran {
  double switches = 0;
  double ns = 0;
};
Ran RanOf(const std::vector<std::string>& threads) {
  Ran ran;
  for (const std::string& name : threads) {
    const fs::path task = TaskOf(name);
    std::ifstream status(task / "status");
    for (std::string line; std::getline(status, line);) {
      for (const std::string key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
        if (line.rfind(key, 0) == 0) ran.switches += std::stod(line.substr(key.size()));
      }
    }
    double ns = 0;
    std::ifstream(task / "schedstat") >> ns;
    ran.ns += ns;
  }
  return ran;
}

// First argument 0: bindfs with its defaults; 1: sshfs with its defaults.
// Second argument 0: a file in the mount's folder; 1: a ConfigMap's layout,
// reached through two links, as the reloader's open follows them. First
// kIdleWindow with nothing changing: the wake-ups a second and the CPU a
// second of the looks' threads (the look thread and the thread "PathWatcher"
// it posts to) and of the reloader's. Then kSaves saves on the server's side
// (written beside the file and renamed over it) a random 1 to 3 s apart: the
// time from the rename to the PathWatcher's call, and to the reloader's read
// of the new content, which must come once per save.
void BM_FarSave(benchmark::State& state) {
  // Not under /tmp, where other programs' temporary files would wake the
  // thread "PathWatcher", which watches every folder on the way.
  const fs::path scratch = fmt::format("/var/tmp/farlook-{}", getpid());
  // The reloader reads through a mount of its own of the same folder: through
  // one mount, whichever of the two came first after the kernel's entry for
  // the name expired would ask the daemon for both.
  const fs::path back = scratch / "back", mnt = scratch / "mnt", reloaderMnt = scratch / "mnt2";
  fs::create_directories(mnt);
  fs::create_directories(reloaderMnt);
  // A ConfigMap's: settings.conf -> ..data/settings.conf, ..data -> ..1.
  const bool configMap = state.range(1) == 1;
  const fs::path folder = configMap ? back / "..1" : back;
  fs::create_directories(folder);
  std::ofstream(folder / "settings.conf") << "volume = 0\n";
  if (configMap) {
    fs::create_directory_symlink("..1", back / "..data");
    fs::create_symlink("..data/settings.conf", back / "settings.conf");
  }
  std::vector<std::unique_ptr<TalvornCommon::testing::SshfsMount>> sshfs;
  std::vector<std::unique_ptr<TalvornCommon::testing::FuseMount>> bindfs;
  std::string problem;
  for (const fs::path& at : {mnt, reloaderMnt}) {
    if (state.range(0) == 1) {
      sshfs.push_back(std::make_unique<TalvornCommon::testing::SshfsMount>(back, at));
      if (problem.empty()) problem = sshfs.back()->SkipReason();
    } else {
      bindfs.push_back(std::make_unique<TalvornCommon::testing::FuseMount>(
          std::vector<std::string>{"bindfs", "-f", back, at}));
      if (problem.empty()) problem = bindfs.back()->SkipReason();
    }
  }
  if (!problem.empty()) {
    state.SkipWithError(problem.c_str());
    return;
  }
  const std::string path = mnt / "settings.conf";
  Seen called, reloaded;
  PathWatcher watcher(path);
  std::string error;
  if (!watcher.Start([&](const PathWatcher::Change&) { called.Mark(); }, error)) bench::Fail(error);
  if (watcher.WhyLooked().empty()) bench::Fail("the PathWatcher does not look at " + path);
  const Reloader reloader(reloaderMnt / "settings.conf", reloaded);
  std::vector<double> watcherMs, reloaderMs;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::seconds(2));  // past the threads' start-up
    const std::vector<std::string> looks = {"PathWatcher", "PathWatcherLook"};
    const Ran looksBefore = RanOf(looks), reloaderBefore = RanOf({Reloader::kName});
    std::this_thread::sleep_for(kIdleWindow);
    const Ran looksAfter = RanOf(looks), reloaderAfter = RanOf({Reloader::kName});
    const double seconds = std::chrono::duration<double>(kIdleWindow).count();
    state.counters["looks_wakeups_per_s"] = (looksAfter.switches - looksBefore.switches) / seconds;
    state.counters["reloader_wakeups_per_s"] =
        (reloaderAfter.switches - reloaderBefore.switches) / seconds;
    state.counters["looks_cpu_us_per_s"] = (looksAfter.ns - looksBefore.ns) / 1e3 / seconds;
    state.counters["reloader_cpu_us_per_s"] =
        (reloaderAfter.ns - reloaderBefore.ns) / 1e3 / seconds;
    if (called.count != 0 || reloaded.count != 0) bench::Fail("a change seen where none was made");

    std::mt19937 random(42);
    for (int save = 1; save <= kSaves; ++save) {
      std::this_thread::sleep_for(
          std::chrono::duration<double>(std::uniform_real_distribution<double>(1, 3)(random)));
      std::ofstream(folder / ".settings.conf") << "volume = " << save << "\n";
      const int callsBefore = called.count, reloadsBefore = reloaded.count;
      const auto start = Clock::now();
      fs::rename(folder / ".settings.conf", folder / "settings.conf");
      while (called.count == callsBefore || reloaded.count == reloadsBefore) {
        if (Clock::now() - start > std::chrono::seconds(30)) {
          bench::Fail(fmt::format("save {} unseen after 30 s", save));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      const auto since = [&](const Seen& seen) {
        return std::chrono::duration<double, std::milli>(Clock::duration(seen.at) -
                                                         start.time_since_epoch())
            .count();
      };
      watcherMs.push_back(since(called));
      reloaderMs.push_back(since(reloaded));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    if (called.count != kSaves)
      bench::Fail(fmt::format("{} calls for {} saves", called.count.load(), kSaves));
  }
  for (auto* times : {&watcherMs, &reloaderMs}) std::sort(times->begin(), times->end());
  state.counters["watcher_median_ms"] = watcherMs[watcherMs.size() / 2];
  state.counters["watcher_p99_ms"] = watcherMs[watcherMs.size() * 99 / 100];
  state.counters["reloader_median_ms"] = reloaderMs[reloaderMs.size() / 2];
  state.counters["reloader_p99_ms"] = reloaderMs[reloaderMs.size() * 99 / 100];
  if (!watcher.Stop(error)) bench::Fail(error);
  sshfs.clear();
  bindfs.clear();
  fs::remove_all(scratch);
}

BENCHMARK(BM_FarSave)->ArgsProduct({{0, 1}, {0, 1}})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

// Google Benchmark's table, then each figure of the looks beside the
// reloader's from the same run, their ratio and the goal: a save called within
// 1.5 s at the median, and no more wake-ups than the reloader's.
class FarReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name =
          fmt::format("{} {}", run.run_name.args[0] == '0' ? "bindfs" : "sshfs ",
                      run.run_name.args[2] == '0' ? "file     " : "ConfigMap");
      for (const auto& [figure, looks, reloader, goal] : {
               std::tuple{"save to call, median ms", "watcher_median_ms", "reloader_median_ms",
                          "looks <= 1500"},
               {"save to call, p99 ms", "watcher_p99_ms", "reloader_p99_ms", ""},
               {"wake-ups a second", "looks_wakeups_per_s", "reloader_wakeups_per_s",
                "ratio <= 1.0"},
               {"CPU us a second", "looks_cpu_us_per_s", "reloader_cpu_us_per_s", ""},
           }) {
        const auto mine = run.counters.find(looks), base = run.counters.find(reloader);
        if (mine == run.counters.end() || base == run.counters.end()) continue;
        const double ratio = mine->second.value / base->second.value;
        const bool met = goal[0] == 'l'   ? mine->second.value <= 1500
                         : goal[0] == 'r' ? ratio <= 1.0
                                          : true;
        lines_ += fmt::format("{} {:<24} {:>9.1f} {:>9.1f} {:>7.3f}  {}{}\n", name, figure,
                              mine->second.value, base->second.value, ratio, goal,
                              goal[0] == 0 ? ""
                              : met        ? " met"
                                           : " MISSED");
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    GetOutputStream() << fmt::format("\n{:<41} {:>9} {:>9} {:>7}  goal\n{}", "figure", "looks",
                                     "reloader", "ratio", lines_);
  }

 private:
  std::string lines_;
};

int main(int argc, char** argv) {
  spdlog::set_level(spdlog::level::warn);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  FarReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
