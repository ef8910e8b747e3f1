// Costs of the two watchers that users feel, each beside the physical limit
// measured in the same run: how long after a write or a save the callback runs
// (against a thread blocked in read() on its own inotify descriptor, woken the
// moment the write or the close lands), how long Stop takes (against a bare
// close of an inotify instance holding a watch), what an idle watcher costs in
// CPU and in wake-ups of its thread (against a thread blocked in read()), and
// what following a ConfigMap's settings file holds in inotify instances,
// watches and threads (one PathWatcher against the FileWatchers the same job
// needs), what following 100 or 1000 files with a PathWatcher each holds and
// costs, against following one, and how a PathWatcher follows a file on a
// user-space file system (bindfs) changed behind the mount's back, where it
// looks at its way every second: the delay of a call against the look period
// and a bare look at the file, and what its looks cost while nothing happens
// against the bare look's and the same looks at a local folder. FileWatcher
// polls a non-blocking descriptor with a 1 ms sleep, so its delay is spread
// over that sleep; PathWatcher sleeps in ppoll until the kernel wakes it.
#include <fcntl.h>
#include <linux/magic.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Summary.h"
#include "talvorncommon/FileWatcher.h"
#include "talvorncommon/PathWatcher.h"
#include "talvorncommon/detail/LookEngine.h"
#include "talvorncommon/detail/Looks.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using TalvornCommon::FileWatcher;
using TalvornCommon::PathWatcher;

// One scratch folder for the whole run, holding the watched file; main removes
// it. A PathWatcher watches every folder from the root down to its file, and a
// change of any name in one of them wakes it: /tmp, where other programs come
// and go with their temporary files, would add their wake-ups to the figures,
// so the folder goes under /var/tmp, which is usually left alone.
const std::string g_dir = [] {
  std::error_code error;
  const fs::path parent =
      fs::is_directory("/var/tmp", error) ? fs::path("/var/tmp") : fs::temp_directory_path();
  std::string pattern = parent / "talvorn-bench-XXXXXX";
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

// What a callback or a blocked reader has seen: the moment of the last event,
// in clock ticks, which the writer waits on to change, and how many there were.
struct Seen {
  std::atomic<Clock::rep> at{0};
  std::atomic<int> count{0};
};

void Mark(Seen& seen) {
  ++seen.count;
  seen.at = Clock::now().time_since_epoch().count();
  seen.at.notify_one();
}

// What a program saving the file does: open it for writing, write, close.
// Both the close (IN_CLOSE_WRITE) and the write (IN_MODIFY) are events.
void Save() {
  const int fd = open(g_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 || write(fd, "x", 1) != 1 || close(fd) != 0) bench::Fail("cannot save " + g_file);
}

// A thread blocked in read() on its own inotify instance watching the scratch
// folder for `mask`, named "BlockedReader": the kernel's wake-up with nothing
// on top, the limit of any watcher. It marks `seen` on every read.
class BlockedReader {
 public:
  static constexpr const char* kName = "BlockedReader";

  BlockedReader(uint32_t mask, Seen& seen) : fd_(inotify_init1(IN_CLOEXEC)) {
    if (fd_ < 0 || inotify_add_watch(fd_, g_dir.c_str(), mask) < 0) {
      bench::Fail(std::string("the blocked reader cannot watch: ") + std::strerror(errno));
    }
    thread_ = std::thread([this, &seen] {
      pthread_setname_np(pthread_self(), kName);
      alignas(inotify_event) char buffer[4096];
      while (read(fd_, buffer, sizeof buffer) > 0 && !stop_) Mark(seen);
    });
  }
  BlockedReader(const BlockedReader&) = delete;
  BlockedReader& operator=(const BlockedReader&) = delete;
  ~BlockedReader() {
    stop_ = true;
    Save();  // a write and a close: whatever the mask, it wakes the reader to see `stop_`
    thread_.join();
    close(fd_);
  }

 private:
  const int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Appends a line every millisecond to a log it holds open beside the watched
// file, as a program that keeps its log next to its settings, until destroyed.
class NeighbourLog {
 public:
  NeighbourLog()
      : thread_([this] {
          const std::string log = g_dir + "/neighbour.log";
          const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
          while (fd >= 0 && !stop_ && write(fd, "line\n", 5) == 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          if (!stop_) bench::Fail("cannot append to " + log);
          close(fd);
        }) {}
  NeighbourLog(const NeighbourLog&) = delete;
  NeighbourLog& operator=(const NeighbourLog&) = delete;
  ~NeighbourLog() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Fails the run when `progress` has stood still for two seconds: a write that
// no call follows would otherwise leave the writer waiting for ever, and a
// watcher that misses a save is what the delay runs must not hide.
class Watchdog {
 public:
  explicit Watchdog(const std::atomic<int>& progress)
      : thread_([this, &progress] {
          std::unique_lock<std::mutex> lock(mutex_);
          for (int last = -1; !done_; last = progress) {
            if (!wake_.wait_for(lock, std::chrono::seconds(2), [this] { return done_; }) &&
                progress == last) {
              bench::Fail(fmt::format("no call for write {} within 2 s", last));
            }
          }
        }) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;  // under mutex_
  std::thread thread_;
};

// Who sees the writes in BM_WriteToCallback, and what the writer does.
enum Observer : int64_t {
  kReadWrite = 0,         // a blocked reader of IN_MODIFY; one write on an open descriptor
  kFileWatcherWrite = 1,  // a FileWatcher's callback; the same writes
  kReadClose = 2,         // a blocked reader of IN_CLOSE_WRITE; each a save
  kFileWatcherSave = 3,   // a FileWatcher's callback; each a save
  kPathWatcherSave = 4,   // a PathWatcher's onChanged, quietPeriod 0; each a save
};

// Times 3000 writes, each from just before the write to the moment it is seen,
// waiting on a futex rather than spinning so as to leave the cores to the
// watcher. The first argument is the phase: 0, each write follows the
// previous event at once and so lands at the start of FileWatcher's idle sleep
// (its worst phase); 1, each waits a random 0-1.5 ms first and lands at any
// phase. The second is an Observer. A write is one byte on a descriptor held
// open; a save opens the file first (before the clock starts: opening is no
// event for either watcher), then writes one byte and closes it, and the close
// is inside the time. FileWatcher calls on the write's IN_MODIFY, perhaps
// before the close; PathWatcher waits for the writer's close (IN_CLOSE_WRITE),
// so the save's baseline is a reader woken by the close.
void BM_WriteToCallback(benchmark::State& state) {
  const auto observer = static_cast<Observer>(state.range(1));
  const bool save = observer >= kReadClose;
  Seen seen;
  std::unique_ptr<BlockedReader> reader;
  FileWatcher fileWatcher(g_file);
  PathWatcher pathWatcher(g_file, std::chrono::milliseconds(0));
  std::shared_ptr<FileWatcher::OnFileChangedHandler> token;
  std::string error;
  const int fd = save ? -1 : open(g_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  switch (observer) {
    case kReadWrite:
    case kReadClose:
      reader = std::make_unique<BlockedReader>(save ? IN_CLOSE_WRITE : IN_MODIFY, seen);
      break;
    case kFileWatcherWrite:
    case kFileWatcherSave:
      if (!fileWatcher.SubscribeOnFileChanged([&](FileWatcher::EventType) { Mark(seen); }, token,
                                              error) ||
          !fileWatcher.Start(error)) {
        bench::Fail(error);
      }
      break;
    case kPathWatcherSave:
      if (!pathWatcher.Start([&](const PathWatcher::Change&) { Mark(seen); }, error)) {
        bench::Fail(error);
      }
      if (pathWatcher.Current().file != g_file) bench::Fail(pathWatcher.Current().problem);
      break;
  }
  std::minstd_rand random(42);
  std::atomic<int> samples{0};
  std::optional<Watchdog> watchdog(std::in_place, samples);
  Report(state, 3000, [&] {
    if (state.range(0) != 0)
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
    ++samples;
    const Clock::rep before = seen.at;
    const int saved = save ? open(g_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC) : fd;
    const auto start = Clock::now().time_since_epoch();
    if (write(saved, "x", 1) != 1) std::abort();
    if (save && close(saved) != 0) std::abort();
    seen.at.wait(before);
    return std::chrono::duration<double, std::micro>(Clock::duration(seen.at) - start).count();
  });
  watchdog.reset();
  // A second call for one write would have ended the next sample's wait early
  // and given it the wrong time; one that came late shows up here.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (seen.count != samples) {
    bench::Fail(fmt::format("{} calls for {} writes", seen.count.load(), samples.load()));
  }
  if (fd >= 0) close(fd);
  reader.reset();
  if (fileWatcher.IsWatching()) (void)fileWatcher.Stop(error);
  if (pathWatcher.IsWatching()) (void)pathWatcher.Stop(error);
}

// 200 times: start something that holds an inotify watch, let it settle for
// 5 ms and time its end. Argument 0: close a bare inotify instance; 1: Stop a
// FileWatcher; 2: Stop a PathWatcher (whose instance holds one watch per
// folder from the root down to the file). Closing an instance that holds a
// watch waits for the kernel's teardown of the watches (a deferred reaper,
// then an SRCU grace period), which Stop cannot avoid while it promises a
// closed instance on return.
void BM_Stop(benchmark::State& state) {
  FileWatcher fileWatcher(g_file);
  PathWatcher pathWatcher(g_file);
  std::string error;
  Report(state, 200, [&] {
    int fd = -1;
    if (state.range(0) == 0) {
      fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      inotify_add_watch(fd, g_dir.c_str(), IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE);
    } else if (state.range(0) == 1 ? !fileWatcher.Start(error)
                                   : !pathWatcher.Start([](const PathWatcher::Change&) {}, error)) {
      bench::Fail(error);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto begin = Clock::now();
    if (fd >= 0) {
      close(fd);
    } else if (state.range(0) == 1) {
      (void)fileWatcher.Stop(error);
    } else {
      (void)pathWatcher.Stop(error);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
  });
}

// The folder in /proc/self/task of the one thread of this process named `name`.
fs::path TaskOf(const std::string& name) {
  std::vector<fs::path> found;
  for (const fs::directory_entry& task : fs::directory_iterator("/proc/self/task")) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm == name) found.push_back(task.path());
  }
  if (found.size() != 1) {
    bench::Fail(fmt::format("{} threads named {}, not one", found.size(), name));
  }
  return found.front();
}

// Context switches so far, voluntary or not, of the thread whose folder in
// /proc/self/task is `task`.
int64_t SwitchesOf(const fs::path& task) {
  int fields = 0;
  int64_t switches = 0;
  std::ifstream status(task / "status");
  for (std::string line; std::getline(status, line);) {
    for (const std::string key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
      if (line.compare(0, key.size(), key) != 0) continue;
      switches += std::stoll(line.substr(key.size()));
      ++fields;
    }
  }
  if (fields != 2) bench::Fail("no context switch counts in " + task.string());
  return switches;
}

// Context switches so far of the one thread of this process named `name`. A
// thread that sleeps and is woken is switched out once per sleep, so over an
// idle stretch this counts its wake-ups (and the times it was preempted).
int64_t ThreadSwitches(const std::string& name) { return SwitchesOf(TaskOf(name)); }

// 2 s of the main thread sleeping while something waits in the scratch folder
// for the file to change: the CPU of the whole process, in percent of a core,
// and the wake-ups a second of the waiting thread. Argument 0: a blocked
// reader of the events PathWatcher asks of the file's folder; 1: a started
// FileWatcher; 2: a started PathWatcher. Beside a NeighbourLog: 3, a blocked
// reader that also asks for the folder's writes; 4, a started PathWatcher.
void BM_Idle(benchmark::State& state) {
  Seen seen;
  std::unique_ptr<BlockedReader> reader;
  FileWatcher fileWatcher(g_file);
  PathWatcher pathWatcher(g_file);
  std::optional<NeighbourLog> log;
  if (state.range(0) >= 3) log.emplace();
  std::string error;
  const char* thread = BlockedReader::kName;
  if (state.range(0) == 0 || state.range(0) == 3) {
    reader = std::make_unique<BlockedReader>(IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                                 IN_ATTRIB | IN_CLOSE_WRITE |
                                                 (state.range(0) == 3 ? IN_MODIFY : 0),
                                             seen);
  } else if (state.range(0) == 1) {
    if (!fileWatcher.Start(error)) bench::Fail(error);
    thread = "FileWatcher";
  } else {
    if (!pathWatcher.Start([](const PathWatcher::Change&) {}, error)) bench::Fail(error);
    thread = "PathWatcher";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the thread's start-up
  for (auto _ : state) {
    const int64_t switches_before = ThreadSwitches(thread);
    const double cpu_before = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto wall_before = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double cpu = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_before;
    const double seconds = std::chrono::duration<double>(Clock::now() - wall_before).count();
    const int64_t switches = ThreadSwitches(thread) - switches_before;
    state.counters["cpu_pct_of_core"] = 100 * cpu / seconds;
    state.counters["wakeups_per_s"] = static_cast<double>(switches) / seconds;
  }
  reader.reset();
  if (fileWatcher.IsWatching()) (void)fileWatcher.Stop(error);
  if (pathWatcher.IsWatching()) (void)pathWatcher.Stop(error);
}

// What the process holds: inotify instances, their watches, and threads.
struct Held {
  int instances = 0;
  int watches = 0;
  int threads = 0;
};

Held CountHeld() {
  Held held;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) != "anon_inode:inotify" || error) continue;
    ++held.instances;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    for (std::string line; std::getline(info, line);) {
      if (line.compare(0, 11, "inotify wd:") == 0) ++held.watches;
    }
  }
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) {
    ++held.threads;
  }
  return held;
}

// Lays out a settings file in `folder`, made afresh, as a Kubernetes ConfigMap
// deploys it: settings.conf -> ..data/settings.conf, ..data -> ..2026_1, and
// the file in ..2026_1.
void MakeConfigMap(const fs::path& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder / "..2026_1");
  std::ofstream(folder / "..2026_1" / "settings.conf") << "volume = 7\n";
  fs::create_symlink("..2026_1", folder / "..data");
  fs::create_symlink("..data/settings.conf", folder / "settings.conf");
}

// A settings file as a Kubernetes ConfigMap deploys it, and what following it
// holds. The layout, under <scratch>/cfg: settings.conf -> ..data/settings.conf,
// ..data -> ..2026_1, and the file in ..2026_1 (an update writes ..2026_2 and
// swaps ..data). Argument 1: one PathWatcher on cfg/settings.conf. Argument 0:
// FileWatchers, one per place whose change alters what the path leads to, as
// a follower built on them needs: the link settings.conf in cfg, the link
// ..data in cfg, the file settings.conf in ..2026_1, and the two folders by
// their names in their parents (cfg in the scratch folder, ..2026_1 in cfg),
// since a FileWatcher's watch ends with its folder. Five in all.
void BM_ConfigMap(benchmark::State& state) {
  const fs::path cfg = fs::path(g_dir) / "cfg";
  MakeConfigMap(cfg);
  const std::string path = cfg / "settings.conf";
  for (auto _ : state) {
    const Held before = CountHeld();
    std::vector<std::unique_ptr<FileWatcher>> fileWatchers;
    PathWatcher pathWatcher(path);
    std::string error;
    if (state.range(0) == 0) {
      for (const fs::path& place : {cfg / "settings.conf", cfg / "..data",
                                    cfg / "..2026_1" / "settings.conf", cfg, cfg / "..2026_1"}) {
        fileWatchers.push_back(std::make_unique<FileWatcher>(place.string()));
        if (!fileWatchers.back()->Start(error)) bench::Fail(error);
      }
    } else {
      if (!pathWatcher.Start([](const PathWatcher::Change&) {}, error)) bench::Fail(error);
      const std::string file = fs::canonical(path).string();
      if (pathWatcher.Current().file != file) {
        bench::Fail("the PathWatcher leads to '" + pathWatcher.Current().file + "', not " + file +
                    ": " + pathWatcher.Current().problem);
      }
    }
    const Held during = CountHeld();
    state.counters["instances"] = during.instances - before.instances;
    state.counters["watches"] = during.watches - before.watches;
    state.counters["threads"] = during.threads - before.threads;
    for (const auto& watcher : fileWatchers) (void)watcher->Stop(error);
    if (pathWatcher.IsWatching()) (void)pathWatcher.Stop(error);
  }
}

// Bytes of the process resident in memory: the second field of
// /proc/self/statm, in pages.
double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t size = 0;
  int64_t resident = 0;
  if (!(statm >> size >> resident)) bench::Fail("cannot read /proc/self/statm");
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Bytes of the heap in use, in every arena of malloc: what the process asked
// of it, not the pages it spans. Chunks that a thread keeps cached for its
// next allocations count as in use already, so allocations they serve add
// nothing.
double HeapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

// The i-th of the files followed together, each in a folder of its own under
// the scratch folder, so that saving one changes a name on no other's way.
std::string FollowedFile(int64_t i) { return fmt::format("{}/f{:04}/watched", g_dir, i); }

// Follows as many files as the argument says, one PathWatcher (quietPeriod 0)
// per file, all started: the process then holds what their shared instance
// and thread hold. Counted once all have started: new inotify instances,
// their watches and new threads, as BM_ConfigMap counts them; the growth of
// the process's resident memory and of its heap in use over the watchers'
// construction and Start, each divided by their number. The kernel's memory
// for the watches is not the process's and is in neither. A single watcher's
// figures say little: its pages may already be resident (a stack that glibc
// kept from an earlier thread, say) and its chunks cached, so it reads from 0
// to tens of KiB; 100 and 1000 watchers are compared instead. Then, over 2 s
// with nothing happening, the wake-ups a second of the thread "PathWatcher".
// Then 200 saves, each of a file picked at random after a random 0-1.5 ms
// pause, as an editor saves: the new content is written under another name in
// the file's folder and closed, then renamed over the file; the time runs from
// just before the rename to the call of that file's watcher, which must be the
// one to call, with the file as it now is.
void BM_ManyFiles(benchmark::State& state) {
  const int64_t count = state.range(0);
  std::vector<std::string> files;
  for (int64_t i = 0; i < count; ++i) {
    files.push_back(FollowedFile(i));
    fs::create_directories(fs::path(files.back()).parent_path());
    std::ofstream(files.back()) << "volume = 7\n";
  }
  Seen seen;
  std::atomic<int64_t> caller{-1};
  std::vector<std::unique_ptr<PathWatcher>> watchers;
  watchers.reserve(static_cast<std::size_t>(count));
  std::string error;
  const Held before = CountHeld();
  // What earlier benchmarks freed stays resident and would be handed to the
  // watchers without growing the figure: give it back to the system first.
  malloc_trim(0);
  const double resident_before = ResidentBytes();
  const double heap_before = HeapBytes();
  for (int64_t i = 0; i < count; ++i) {
    const std::string& file = files[static_cast<std::size_t>(i)];
    watchers.push_back(std::make_unique<PathWatcher>(file, std::chrono::milliseconds(0)));
    const bool started = watchers.back()->Start(
        [&file, &caller, &seen, i](const PathWatcher::Change& change) {
          if (change.file != file) {
            bench::Fail("the watcher of " + file + " was told '" + change.file +
                        "': " + change.problem);
          }
          caller = i;
          Mark(seen);
        },
        error);
    if (!started) bench::Fail(error);
  }
  const double resident = ResidentBytes() - resident_before;
  const double heap = HeapBytes() - heap_before;
  const Held during = CountHeld();
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (watchers[i]->Current().file != files[i]) bench::Fail(watchers[i]->Current().problem);
  }
  state.counters["instances"] = during.instances - before.instances;
  state.counters["watches"] = during.watches - before.watches;
  state.counters["threads"] = during.threads - before.threads;
  state.counters["resident_bytes_per_watcher"] = resident / static_cast<double>(count);
  state.counters["heap_bytes_per_watcher"] = heap / static_cast<double>(count);

  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the thread's start-up
  const int64_t switches_before = ThreadSwitches("PathWatcher");
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double seconds = std::chrono::duration<double>(Clock::now() - wall_before).count();
  const int64_t switches = ThreadSwitches("PathWatcher") - switches_before;
  state.counters["wakeups_per_s"] = static_cast<double>(switches) / seconds;

  std::minstd_rand random(42);
  std::atomic<int> samples{0};
  std::optional<Watchdog> watchdog(std::in_place, samples);
  Report(state, 200, [&] {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
    const int64_t i = static_cast<int64_t>(random() % static_cast<uint64_t>(count));
    const std::string& file = files[static_cast<std::size_t>(i)];
    const std::string temporary = file + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, "volume = 8\n", 11) != 11 || close(fd) != 0) {
      bench::Fail("cannot write " + temporary);
    }
    ++samples;
    const Clock::rep before_call = seen.at;
    const auto start = Clock::now().time_since_epoch();
    if (std::rename(temporary.c_str(), file.c_str()) != 0) bench::Fail("cannot rename " + file);
    seen.at.wait(before_call);
    if (caller != i) {
      bench::Fail(fmt::format("watcher {} called for a save of file {}", caller.load(), i));
    }
    return std::chrono::duration<double, std::micro>(Clock::duration(seen.at) - start).count();
  });
  watchdog.reset();
  // A second call for one save shows up here (see BM_WriteToCallback).
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (seen.count != samples) {
    bench::Fail(fmt::format("{} calls for {} saves", seen.count.load(), samples.load()));
  }
  for (const auto& watcher : watchers) {
    if (!watcher->Stop(error)) bench::Fail(error);
  }
}

// bindfs, the user-space file system a user mounts to show a folder elsewhere:
// `backing` on `mountFolder`, with bindfs's default options, served by a daemon
// this object starts (bindfs -f, so that its pid is the daemon's) and ends,
// unmounting first, or that ends with the program. The mount is made in a mount namespace of the
// process's own, entered at the first mount, so that no other process sees it. Only the thread that
// enters it moves, and the threads it starts afterwards: a watcher's thread started before would
// not see the mount, so main makes the first mount (FarProblem) before any benchmark runs.
// Problem() says why there is no mount, and is empty once mounted.
class Bindfs {
 public:
  // `debug`: bindfs -d, which says each request it is asked; Requests counts
  // them.
  Bindfs(const std::string& backing, const std::string& mountFolder, bool debug = false)
      : mountFolder_(mountFolder), debug_(debug) {
    problem_ = Mount(backing);
  }
  Bindfs(const Bindfs&) = delete;
  Bindfs& operator=(const Bindfs&) = delete;
  // Detached before the daemon ends, so that no later call through the mount
  // folder finds a dead connection; then the daemon is reaped.
  ~Bindfs() {
    if (daemon_ <= 0) return;
    umount2(mountFolder_.c_str(), MNT_DETACH);
    kill(daemon_, SIGKILL);
    while (waitpid(daemon_, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (output_ >= 0) close(output_);
  }

  const std::string& Problem() const { return problem_; }
  pid_t Daemon() const { return daemon_; }
  // The requests the daemon has said it was asked so far, with `debug`: the
  // lines of libfuse's debug output that name an opcode.
  int64_t Requests() const {
    int64_t count = 0;
    std::string chunk(1 << 16, '\0');
    std::string carry;
    for (off_t at = 0;;) {
      const ssize_t size = pread(output_, chunk.data(), chunk.size(), at);
      if (size <= 0) break;
      at += size;
      std::string text = carry + chunk.substr(0, static_cast<std::size_t>(size));
      for (std::size_t found = 0; (found = text.find("opcode:", found)) != std::string::npos;
           found += 7)
        ++count;
      carry = text.substr(text.size() > 6 ? text.size() - 6 : 0);
    }
    return count;
  }

 private:
  std::string Mount(const std::string& backing) {
    if (access("/dev/fuse", F_OK) != 0) return "no /dev/fuse";
    static const std::string unshared =
        unshare(CLONE_NEWNS) == 0 &&
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
            ? std::string()
            : std::string("no mount namespace of the process's own: ") + std::strerror(errno);
    if (!unshared.empty()) return unshared;
    struct stat folder {};
    if (stat(mountFolder_.c_str(), &folder) != 0) return "no folder " + mountFolder_;
    // What bindfs says goes to a memory file, read only when it fails.
    const int output = memfd_create("bindfs-output", MFD_CLOEXEC);
    std::string args[] = {"bindfs", debug_ ? "-d" : "-f", backing, mountFolder_};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
    const pid_t parent = getpid();
    daemon_ = fork();
    if (daemon_ == 0) {
      // The daemon ends with the thread that started it (main's, which lasts
      // as long as the program), also when a failed check ends the program at
      // once (bench::Fail) and no destructor runs. Until the exec, nothing
      // that might wait for a lock another thread held at the fork.
      if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
      dup2(output, 1);
      dup2(output, 2);
      execvp("bindfs", argv);
      const char* said = errno == ENOENT ? "bindfs is not installed" : "cannot run bindfs";
      [[maybe_unused]] const ssize_t written = write(2, said, std::strlen(said));
      _exit(127);
    }
    if (daemon_ < 0) {
      daemon_ = -1;
      close(output);
      return std::string("cannot start bindfs: ") + std::strerror(errno);
    }
    std::string problem;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (int status = 0; !MountedOver(folder.st_dev);) {
      if (waitpid(daemon_, &status, WNOHANG) == daemon_) {
        daemon_ = -1;
        std::string said(4096, '\0');
        const ssize_t size = pread(output, said.data(), said.size(), 0);
        said.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        while (!said.empty() && std::isspace(static_cast<unsigned char>(said.back()))) {
          said.pop_back();
        }
        problem = said.empty() ? fmt::format("bindfs ended with wait status {}", status) : said;
        break;
      }
      if (Clock::now() >= deadline) {
        problem = "bindfs did not mount within ten seconds";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Kept while the daemon says its requests, read by Requests.
    if (debug_ && problem.empty()) {
      output_ = output;
    } else {
      close(output);
    }
    return problem;
  }

  // A FUSE file system other than the folder's own before the mount.
  bool MountedOver(dev_t before) const {
    struct statfs fileSystem {};
    struct stat folder {};
    return statfs(mountFolder_.c_str(), &fileSystem) == 0 &&
           static_cast<unsigned>(fileSystem.f_type) == FUSE_SUPER_MAGIC &&
           stat(mountFolder_.c_str(), &folder) == 0 && folder.st_dev != before;
  }

  const std::string mountFolder_;
  const bool debug_;
  std::string problem_;
  pid_t daemon_ = -1;
  int output_ = -1;
};

// Why a far way cannot be measured here, empty when it can: one bindfs mount
// of an empty folder, tried at the start of main. It also enters the mount
// namespace before any thread exists. A figure of a run skipped for want of
// bindfs would read 0, so its figures are left out of the summary instead.
std::string FarProblem() {
  const fs::path probe = fs::path(g_dir) / "probe";
  fs::create_directories(probe / "back");
  fs::create_directories(probe / "mnt");
  std::string problem = Bindfs((probe / "back").string(), (probe / "mnt").string()).Problem();
  fs::remove_all(probe);
  return problem;
}

// A thread named `name` that runs `work` every kRemoteLookPeriod, counted from
// the end of its last run as a PathWatcher's looks are, until it is destroyed.
class EveryPeriod {
 public:
  EveryPeriod(const char* name, std::function<void()> work) {
    thread_ = std::thread([this, name, work = std::move(work)] {
      pthread_setname_np(pthread_self(), name);
      std::unique_lock<std::mutex> lock(mutex_);
      while (!wake_.wait_until(lock, Clock::now() + PathWatcher::kRemoteLookPeriod,
                               [this] { return stop_; })) {
        lock.unlock();
        work();
        ++runs_;
        lock.lock();
      }
    });
  }
  EveryPeriod(const EveryPeriod&) = delete;
  EveryPeriod& operator=(const EveryPeriod&) = delete;
  ~EveryPeriod() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // The runs made so far.
  int Runs() const { return runs_; }

 private:
  std::atomic<int> runs_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // under mutex_
  std::thread thread_;
};

// The plainest follower of a far file, the baseline of PathWatcher's looks: a
// thread "BareLook" that every kRemoteLookPeriod opens the path (the kernel
// follows the links) and marks `seen` when the file's identity, size or times
// differ from its last look's. It looks at the file alone, where a PathWatcher
// looks at every place from the first far one down, and tells a change at
// once, where a PathWatcher waits for a further look to find it settled.
class BareLook {
 public:
  static constexpr const char* kName = "BareLook";

  BareLook(std::string path, Seen& seen)
      : path_(std::move(path)), last_(Look()), thread_(kName, [this, &seen] {
          const Sight now = Look();
          if (now != last_) {
            last_ = now;
            Mark(seen);
          }
        }) {}

  // The looks made so far.
  int Looks() const { return thread_.Runs(); }

 private:
  struct Sight {
    int error = 0;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modified = 0;  // ns
    int64_t changed = 0;   // ns
    bool operator==(const Sight&) const = default;
  };

  Sight Look() const {
    Sight sight;
    struct stat status {};
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &status) != 0) {
      sight.error = errno;
    } else {
      sight = {0,
               status.st_dev,
               status.st_ino,
               status.st_size,
               int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec,
               int64_t{status.st_ctim.tv_sec} * 1'000'000'000 + status.st_ctim.tv_nsec};
    }
    if (fd >= 0) close(fd);
    return sight;
  }

  const std::string path_;
  Sight last_;          // the thread's alone once started
  EveryPeriod thread_;  // last: stopped and joined before what it reads goes
};

// The least a follower of many far places can ask: a thread "PlaceLook" that
// every kRemoteLookPeriod asks each of `places` once, as a PathWatcher's look
// asks a place (statx with AT_STATX_FORCE_SYNC, links not followed), and
// marks `seen`, with the place's index in `which`, when one differs from its
// last look's. It is what the looks of many watchers of files in one folder
// cost at best: one request a distinct place a look, on one thread.
class PlaceLook {
 public:
  static constexpr const char* kName = "PlaceLook";

  PlaceLook(std::vector<std::string> places, Seen& seen, std::atomic<int64_t>& which)
      : places_(std::move(places)), last_(LookAll()), thread_(kName, [this, &seen, &which] {
          const std::vector<Sight> now = LookAll();
          for (std::size_t i = 0; i < now.size(); ++i) {
            if (now[i] == last_[i]) continue;
            which = static_cast<int64_t>(i);
            Mark(seen);
          }
          last_ = now;
        }) {}

  int Looks() const { return thread_.Runs(); }

 private:
  struct Sight {
    int error = 0;
    uint64_t inode = 0, size = 0;
    int64_t modified = 0, changed = 0;  // ns
    bool operator==(const Sight&) const = default;
  };
  std::vector<Sight> LookAll() const {
    std::vector<Sight> sights;
    for (const std::string& place : places_) {
      struct statx status {};
      Sight sight;
      if (statx(AT_FDCWD, place.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC,
                STATX_BASIC_STATS, &status) != 0) {
        sight.error = errno;
      } else {
        sight = {0, status.stx_ino, status.stx_size,
                 int64_t{status.stx_mtime.tv_sec} * 1'000'000'000 + status.stx_mtime.tv_nsec,
                 int64_t{status.stx_ctime.tv_sec} * 1'000'000'000 + status.stx_ctime.tv_nsec};
      }
      sights.push_back(sight);
    }
    return sights;
  }

  const std::vector<std::string> places_;
  std::vector<Sight> last_;  // the thread's alone once started
  EveryPeriod thread_;       // last: stopped and joined before what it reads goes
};

// The plainest follower of a far file's content: a thread "ReRead" that every
// kRemoteLookPeriod opens the path (the kernel follows the links), reads the
// whole file and marks `seen` when the content differs from its last read's.
class ReRead {
 public:
  static constexpr const char* kName = "ReRead";

  ReRead(std::string path, Seen& seen)
      : path_(std::move(path)), last_(Read()), thread_(kName, [this, &seen] {
          std::string now = Read();
          if (now != last_) {
            last_ = std::move(now);
            Mark(seen);
          }
        }) {}

  int Looks() const { return thread_.Runs(); }

 private:
  std::string Read() const {
    std::ifstream file(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  const std::string path_;
  std::string last_;    // the thread's alone once started
  EveryPeriod thread_;  // last
};

// A thread's CPU time so far and the times it was switched in: the first and
// third fields of its schedstat.
struct Ran {
  int64_t ns = 0;
  int64_t slices = 0;
};

Ran RanOf(const fs::path& task) {
  std::ifstream schedstat(task / "schedstat");
  Ran ran;
  int64_t waited = 0;
  if (!(schedstat >> ran.ns >> waited >> ran.slices)) {
    bench::Fail("no schedstat in " + task.string() + " (a kernel without CONFIG_SCHED_INFO)");
  }
  return ran;
}

// Makes `name` in `folder` and deletes it: two records (created, deleted) for
// the folder's watch, of a name that no watcher follows.
void MakeAndDelete(const fs::path& folder, const std::string& name) {
  const std::string path = (folder / name).string();
  const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || close(fd) != 0 || unlink(path.c_str()) != 0) bench::Fail("cannot make " + path);
}

// The CPU time of the calling thread so far, in ms.
double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// As many watchers as the argument says (quietPeriod 0), each following a file
// of its own in one folder that they all share, <scratch>/shared/f0042: the
// folder is one watch, which asks for the closes after writing of all its
// names. With them all started, three figures, each against the same run with
// fewer watchers:
// - the CPU of the thread "PathWatcher" (schedstat's first field) while 1000
//   names that no watcher follows are made and deleted in the folder, one a
//   millisecond, a name: what a busy folder beside the followed files costs;
//   the run fails if any of these gives a call;
// - an overflow's round: with the thread held in watcher 0's call (its file
//   saved), the folder's names are made and deleted until the queue has
//   overflowed (max_queued_events names, two records each); the time from the
//   call's release until every watcher has been called once, which the run
//   checks, with no further call;
// - the time to stop them all, one after the other, and the median Stop: on a
//   loaded machine a few Stops preempted, and the last one's closing of the
//   instance, weigh on the whole; so also the CPU the stopping thread spent,
//   which is what grows with the number of watchers where a Stop scans them.
void BM_SharedFolder(benchmark::State& state) {
  const int64_t count = state.range(0);
  const fs::path folder = fs::path(g_dir) / "shared";
  fs::create_directories(folder);
  std::vector<std::string> files;
  for (int64_t i = 0; i < count; ++i) {
    files.push_back(fmt::format("{}/f{:04}", folder.string(), i));
    std::ofstream(files.back()) << "volume = 7\n";
  }
  std::atomic<bool> hold{false}, released{false};
  std::atomic<int64_t> called{0};
  std::vector<std::unique_ptr<PathWatcher>> watchers;
  std::string error;
  for (int64_t i = 0; i < count; ++i) {
    watchers.push_back(std::make_unique<PathWatcher>(files[static_cast<std::size_t>(i)],
                                                     std::chrono::milliseconds(0)));
    const bool started = watchers.back()->Start(
        [&, i](const PathWatcher::Change&) {
          ++called;
          if (i == 0 && hold.exchange(false)) released.wait(false);
        },
        error);
    if (!started) bench::Fail(error);
  }
  const auto awaitCalls = [&](int64_t calls) {
    const auto limit = Clock::now() + std::chrono::seconds(60);
    while (called < calls) {
      if (Clock::now() > limit) bench::Fail(fmt::format("{} calls of {}", called.load(), calls));
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the Starts' wake-ups
  const fs::path hub = TaskOf("PathWatcher");
  for (auto _ : state) {
    constexpr int kNames = 1000;
    const Ran before = RanOf(hub);
    for (int n = 0; n < kNames; ++n) {
      MakeAndDelete(folder, "unrelated");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last records read
    state.counters["hub_cpu_us_per_name"] =
        static_cast<double>(RanOf(hub).ns - before.ns) / 1e3 / kNames;
    if (called != 0) bench::Fail(fmt::format("{} calls for names nobody follows", called.load()));

    hold = true;
    std::ofstream(files[0], std::ios::app) << "volume = 8\n";
    awaitCalls(1);
    int64_t queue = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue;
    for (int64_t n = 0; n <= queue; ++n) MakeAndDelete(folder, "flood");
    const auto release = Clock::now();
    released = true;
    released.notify_all();
    awaitCalls(1 + count);
    state.counters["overflow_round_ms"] =
        std::chrono::duration<double, std::milli>(Clock::now() - release).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (called != 1 + count) {
      bench::Fail(fmt::format("{} calls after an overflow with {} watchers", called - 1, count));
    }

    std::vector<double> stops;
    const double cpuBefore = ThreadCpuMs();
    for (const auto& watcher : watchers) {
      const auto stopping = Clock::now();
      if (!watcher->Stop(error)) bench::Fail(error);
      stops.push_back(std::chrono::duration<double, std::milli>(Clock::now() - stopping).count());
    }
    state.counters["stop_all_cpu_ms"] = ThreadCpuMs() - cpuBefore;
    state.counters["stop_all_ms"] = std::accumulate(stops.begin(), stops.end(), 0.0);
    std::nth_element(stops.begin(), stops.begin() + count / 2, stops.end());
    state.counters["stop_median_us"] = stops[static_cast<std::size_t>(count / 2)] * 1e3;
  }
  watchers.clear();
  fs::remove_all(folder);
}

// Returns once a look of the thread whose folder in /proc/self/task is `task`
// has ended, failing if none has within `limit`. A look is found by sampling
// the thread's schedstat every 10 ms: a run of samples in which the times it
// was switched in rose, ended by 100 ms without a rise. Between looks the
// thread sleeps for a period (a second), and a look takes well under 100 ms.
void AwaitLookEnd(const fs::path& task, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  int64_t slices = RanOf(task).slices;
  std::optional<Clock::time_point> rose;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto now = Clock::now();
    const int64_t sampled = RanOf(task).slices;
    if (sampled != slices) {
      slices = sampled;
      rose = now;
    } else if (rose && now - *rose >= std::chrono::milliseconds(100)) {
      return;
    }
    if (now >= deadline) bench::Fail("no look of " + task.string() + " ended in time");
  }
}

// How many looks MeasureIdleLooks counts over, and how many saves BM_FarWay
// times.
constexpr int kIdleLooks = 5;
constexpr int kFarSaves = 24;

// What a follower that looks costs while nothing happens, counted from the
// end of one look to the end of the kIdleLooks-th after it: the context
// switches a second of `threads` (all of the follower's, as BM_Idle counts
// them), the looks a second, and the CPU time of one look, of the thread
// `looker` that makes them and, where `daemon` is a file system's daemon
// rather than -1, of that daemon (its process's CPU clock), whose answers the
// looks wait for. Each look wakes its thread once when it is due; the other
// switches, a look, are mostly sleeps waiting for the daemon's answers (and the
// rare preemption). `made` gives the looks a follower has counted itself,
// where it does: the count found by sampling must match.
void MeasureIdleLooks(benchmark::State& state, const std::vector<std::string>& threads,
                      const std::string& looker, pid_t daemon, const std::function<int()>& made,
                      const std::function<int64_t()>& requests = nullptr) {
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the threads' start-up
  std::vector<fs::path> tasks;
  for (const std::string& name : threads) tasks.push_back(TaskOf(name));
  const fs::path lookerTask = TaskOf(looker);
  clockid_t daemonClock{};
  if (daemon > 0 && clock_getcpuclockid(daemon, &daemonClock) != 0) {
    bench::Fail("no CPU clock of bindfs");
  }
  const auto switches = [&tasks] {
    int64_t sum = 0;
    for (const fs::path& task : tasks) sum += SwitchesOf(task);
    return sum;
  };
  const auto limit = 3 * PathWatcher::kRemoteLookPeriod;
  AwaitLookEnd(lookerTask, limit);
  const int made_before = made ? made() : 0;
  const int64_t switches_before = switches();
  const int64_t ns_before = RanOf(lookerTask).ns;
  const double daemon_before = daemon > 0 ? bench::CpuSeconds(daemonClock) : 0;
  const int64_t requests_before = requests ? requests() : 0;
  const auto wall_before = Clock::now();
  for (int i = 0; i < kIdleLooks; ++i) AwaitLookEnd(lookerTask, limit);
  const double seconds = std::chrono::duration<double>(Clock::now() - wall_before).count();
  const int64_t ns = RanOf(lookerTask).ns - ns_before;
  const int64_t switched = switches() - switches_before;
  if (made && made() - made_before != kIdleLooks) {
    bench::Fail(fmt::format("{} counted {} looks, sampling found {}", looker, made() - made_before,
                            kIdleLooks));
  }
  state.counters["wakeups_per_s"] = static_cast<double>(switched) / seconds;
  state.counters["looks_per_s"] = kIdleLooks / seconds;
  state.counters["waits_per_look"] = static_cast<double>(switched - kIdleLooks) / kIdleLooks;
  state.counters["look_cpu_us"] = static_cast<double>(ns) / 1e3 / kIdleLooks;
  if (requests) {
    state.counters["requests_per_s"] = static_cast<double>(requests() - requests_before) / seconds;
  }
  if (daemon > 0) {
    const double daemon_cpu = bench::CpuSeconds(daemonClock) - daemon_before;
    state.counters["daemon_cpu_us"] = daemon_cpu * 1e6 / kIdleLooks;
  }
}

// A ConfigMap's settings file on a user-space file system, changed behind the
// mount's back: the layout of BM_ConfigMap in a backing folder
// (<scratch>/far/back), shown by bindfs with its default options on
// <scratch>/far/mnt and followed through the mount as mnt/settings.conf. What
// is done in the backing folder raises no inotify event on the mount, so only
// a look finds it. Argument 1: a PathWatcher, which finds mnt on a user-space
// file system and looks at the way from there down; 0: a BareLook, the
// baseline. First what each costs while nothing happens (MeasureIdleLooks).
// Then kFarSaves saves on the backing side, as an update made on the other
// side would: the new content is written beside ..2026_1/settings.conf, closed
// and renamed over it; the time runs from just before the rename to the call.
// bindfs's defaults have the kernel keep attributes and names for a second
// and up to one tick of its clock more: a look a period after the one that
// asked bindfs mostly finds them still kept, and the next one finds them
// expired, so a steady look finds a change only every other period. Each save
// therefore waits a period after the previous call, for the looks to take
// their steady pace again after the settling look, then lands at a moment of
// their two-period cycle.
void BM_FarWay(benchmark::State& state) {
  const fs::path far = fs::path(g_dir) / "far";
  const fs::path back = far / "back";
  const fs::path mnt = far / "mnt";
  fs::remove_all(far);
  MakeConfigMap(back);
  fs::create_directories(mnt);
  const std::string file = back / "..2026_1" / "settings.conf";
  const Bindfs bindfs(back, mnt);
  if (!bindfs.Problem().empty()) {
    state.SkipWithError(("cannot mount bindfs: " + bindfs.Problem()).c_str());
    return;
  }
  const std::string path = mnt / "settings.conf";
  const std::string leadsTo = mnt / "..2026_1" / "settings.conf";
  Seen seen;
  std::optional<BareLook> bare;
  std::optional<ReRead> reread;
  PathWatcher watcher(path);
  std::string error;
  if (state.range(0) == 0) {
    bare.emplace(path, seen);
    MeasureIdleLooks(state, {BareLook::kName}, BareLook::kName, bindfs.Daemon(),
                     [&bare] { return bare->Looks(); });
  } else if (state.range(0) == 2) {
    reread.emplace(path, seen);
    MeasureIdleLooks(state, {ReRead::kName}, ReRead::kName, bindfs.Daemon(),
                     [&reread] { return reread->Looks(); });
  } else {
    const bool started = watcher.Start(
        [&](const PathWatcher::Change& change) {
          if (change.file != leadsTo) {
            bench::Fail("the PathWatcher was told '" + change.file + "': " + change.problem);
          }
          Mark(seen);
        },
        error);
    if (!started) bench::Fail(error);
    if (watcher.Current().file != leadsTo) bench::Fail(watcher.Current().problem);
    if (watcher.WhyLooked().empty()) bench::Fail("the PathWatcher does not look at " + path);
    MeasureIdleLooks(state, {"PathWatcher", "PathWatcherLook"}, "PathWatcherLook", bindfs.Daemon(),
                     nullptr);
  }

  // Each save's moment in the looks' two-period cycle, spread evenly over it
  // and taken in random order: a few saves then stand for saves at any moment,
  // with little of the spread that drawing each moment at random would add to
  // their median.
  std::mt19937 random(42);
  std::vector<double> moments;
  for (int i = 0; i < kFarSaves; ++i) {
    moments.push_back(2 * (i + std::uniform_real_distribution<double>(0, 1)(random)) / kFarSaves);
  }
  std::shuffle(moments.begin(), moments.end(), random);
  int saves = 0;
  Report(state, kFarSaves, [&] {
    std::this_thread::sleep_for(std::chrono::duration_cast<Clock::duration>(
        PathWatcher::kRemoteLookPeriod * (1 + moments[static_cast<std::size_t>(saves)])));
    const std::string temporary = file + ".new";
    const std::string content = fmt::format("volume = {}\n", ++saves);
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 ||
        write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        close(fd) != 0) {
      bench::Fail("cannot write " + temporary);
    }
    const Clock::rep before = seen.at;
    const auto start = Clock::now();
    if (std::rename(temporary.c_str(), file.c_str()) != 0) bench::Fail("cannot rename " + file);
    while (seen.at == before) {
      if (Clock::now() - start > 5 * PathWatcher::kRemoteLookPeriod) {
        bench::Fail(fmt::format("no call within 5 s of save {}", saves));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::chrono::duration<double, std::micro>(Clock::duration(seen.at) -
                                                     start.time_since_epoch())
        .count();
  });
  // A second call for one save would have ended a later save's wait early
  // and given it the wrong time; one that came late shows up here.
  std::this_thread::sleep_for(2 * PathWatcher::kRemoteLookPeriod);
  if (seen.count != saves)
    bench::Fail(fmt::format("{} calls for {} saves", seen.count.load(), saves));
  if (watcher.IsWatching() && !watcher.Stop(error)) bench::Fail(error);
  bare.reset();
  reread.reset();
}

// Many files in one folder on a user-space file system, each changed behind
// the mount's back: <scratch>/farfiles/back/<i>, shown by bindfs -d (its
// defaults, and each request it is asked said, and counted) on mnt. Argument
// 0: how many; argument 1: 1, a PathWatcher of each, whose looks share one
// thread; 0, a PlaceLook of the folder and the files, the baseline: each
// distinct place asked once a look. First what they hold and cost while
// nothing happens (MeasureIdleLooks, with the daemon's requests a second), then
// kFarSaves saves of a file drawn at random, each a period or two after the
// last call, a new content written beside it and renamed over it; the time
// runs from just before the rename to the call for that file.
void BM_FarFiles(benchmark::State& state) {
  const int64_t count = state.range(0);
  const bool watchers = state.range(1) == 1;
  const fs::path far = fs::path(g_dir) / "farfiles";
  fs::remove_all(far);
  fs::create_directories(far / "back");
  fs::create_directories(far / "mnt");
  for (int64_t i = 0; i < count; ++i) std::ofstream(far / "back" / std::to_string(i)) << "v\n";
  const Bindfs bindfs((far / "back").string(), (far / "mnt").string(), /*debug=*/true);
  if (!bindfs.Problem().empty()) {
    state.SkipWithError(("cannot mount bindfs: " + bindfs.Problem()).c_str());
    return;
  }
  Seen seen;
  std::atomic<int64_t> caller{-1};
  std::vector<std::unique_ptr<PathWatcher>> followers;
  std::optional<PlaceLook> places;
  std::string error;
  const Held before = CountHeld();
  const auto requests = [&bindfs] { return bindfs.Requests(); };
  if (watchers) {
    for (int64_t i = 0; i < count; ++i) {
      followers.push_back(std::make_unique<PathWatcher>(far / "mnt" / std::to_string(i),
                                                        std::chrono::milliseconds(0)));
      if (!followers.back()->Start(
              [&caller, &seen, i](const PathWatcher::Change&) {
                caller = i;
                Mark(seen);
              },
              error))
        bench::Fail(error);
    }
    state.counters["threads"] = CountHeld().threads - before.threads;
    MeasureIdleLooks(state, {"PathWatcher", "PathWatcherLook"}, "PathWatcherLook", bindfs.Daemon(),
                     nullptr, requests);
  } else {
    std::vector<std::string> asked = {(far / "mnt").string()};
    for (int64_t i = 0; i < count; ++i) asked.push_back(far / "mnt" / std::to_string(i));
    places.emplace(std::move(asked), seen, caller);
    state.counters["threads"] = CountHeld().threads - before.threads;
    MeasureIdleLooks(
        state, {PlaceLook::kName}, PlaceLook::kName, bindfs.Daemon(),
        [&places] { return places->Looks(); }, requests);
  }
  std::minstd_rand random(42);
  int saves = 0;
  Report(state, kFarSaves, [&] {
    std::this_thread::sleep_for(std::chrono::duration_cast<Clock::duration>(
        PathWatcher::kRemoteLookPeriod *
        (1 + std::uniform_real_distribution<double>(0, 1)(random))));
    const int64_t i = static_cast<int64_t>(random() % static_cast<uint64_t>(count));
    const std::string file = far / "back" / std::to_string(i);
    std::ofstream(file + ".new") << "v" << ++saves << "\n";
    const Clock::rep before_call = seen.at;
    const auto start = Clock::now();
    if (std::rename((file + ".new").c_str(), file.c_str()) != 0) bench::Fail("cannot rename");
    while (seen.at == before_call || caller != i + (watchers ? 0 : 1)) {
      if (Clock::now() - start > 5 * PathWatcher::kRemoteLookPeriod)
        bench::Fail(fmt::format("no call for file {} within 5 s of save {}", i, saves));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::chrono::duration<double, std::micro>(Clock::duration(seen.at) -
                                                     start.time_since_epoch())
        .count();
  });
  for (const auto& follower : followers) {
    if (!follower->Stop(error)) bench::Fail(error);
  }
}

// The looks of BM_FarWay's PathWatcher without the user-space file system: a
// detail::Looks, the part of a PathWatcher that looks, given the five places
// the PathWatcher gives it (the folder, the two links, which it does not ask,
// the folder they lead to and the file), here in a folder on the scratch
// folder's local file system, counted as MeasureIdleLooks counts them. Through
// bindfs, each call that the kernel's caches do not answer is a request to the
// daemon whose answer the look's thread waits for, asleep: a round trip and a
// context switch that a local look does not make.
void BM_LocalLooks(benchmark::State& state) {
  using Kind = TalvornCommon::detail::LookPlace::Kind;
  const fs::path folder = fs::path(g_dir) / "local";
  MakeConfigMap(folder);
  // The settling period after a change, which no idle look comes to.
  using TalvornCommon::detail::LookEngine;
  TalvornCommon::detail::Looks looks(LookEngine::kLookPeriod, LookEngine::kSettlePeriod);
  std::string reason;
  if (!looks.Start(reason)) bench::Fail(reason);
  struct Unchanged : TalvornCommon::detail::LookClient {
    void Looked(bool, bool) override {
      bench::Fail("a look found a change where nothing happened");
    }
  } client;
  looks.Watch(&client, {{Kind::kFolder, folder},
                        {Kind::kLink, folder / "settings.conf"},
                        {Kind::kLink, folder / "..data"},
                        {Kind::kFolder, folder / "..2026_1"},
                        {Kind::kFile, folder / "..2026_1" / "settings.conf"}});
  looks.SightNew(&client);
  for (auto _ : state) {
    MeasureIdleLooks(state, {"PathWatcherLook"}, "PathWatcherLook", -1, nullptr);
  }
  looks.Leave(&client);
  if (!looks.Stop(TalvornCommon::detail::Looks::Clock::now() +
                  TalvornCommon::detail::Looks::kStopWait))
    bench::Fail("the looks did not stop");
}

// The floor under any follower that looks every period: a thread "TimedWake"
// that sleeps a period as the looks do and does nothing when it wakes,
// measured as MeasureIdleLooks measures the looks. What it costs is the
// machine's price of a timed wake-up after a second's sleep (the scheduler's,
// and on a virtual machine the hypervisor's): the part of a look's CPU that no
// look can save.
void BM_TimedWake(benchmark::State& state) {
  constexpr const char* kName = "TimedWake";
  const EveryPeriod wake(kName, [] {});
  for (auto _ : state) {
    MeasureIdleLooks(state, {kName}, kName, -1, [&wake] { return wake.Runs(); });
  }
}

BENCHMARK(BM_WriteToCallback)
    ->ArgsProduct({{0, 1},
                   {kReadWrite, kFileWatcherWrite, kReadClose, kFileWatcherSave, kPathWatcherSave}})
    ->Iterations(1);
BENCHMARK(BM_Stop)->DenseRange(0, 2)->Iterations(1);
BENCHMARK(BM_Idle)->DenseRange(0, 4)->Iterations(1);
BENCHMARK(BM_ConfigMap)->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_ManyFiles)->Arg(1)->Arg(100)->Arg(1000)->Iterations(1);
BENCHMARK(BM_SharedFolder)->Arg(10)->Arg(1000)->Arg(4000)->Iterations(1);
BENCHMARK(BM_FarWay)->Arg(0)->Arg(1)->Arg(2)->Iterations(1);
BENCHMARK(BM_FarFiles)->ArgsProduct({{1, 100, 1000}, {0, 1}})->Iterations(1);
BENCHMARK(BM_LocalLooks)->Iterations(1);
BENCHMARK(BM_TimedWake)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  // Hundreds of Starts and Stops: their info lines would bury the tables.
  spdlog::set_level(spdlog::level::warn);
  std::cout << "scratch folder: " << g_dir << std::endl;
  { std::ofstream create(g_file); }
  // Before any benchmark has started a thread, which would stay outside the
  // mount namespace that the first mount enters.
  const std::string farProblem = FarProblem();
  if (!farProblem.empty()) std::cout << "far way figures left out: " << farProblem << std::endl;
  // Most goals are on the watchers' own figures: the baselines show how much
  // of each is the kernel's rather than the watcher's design.
  std::vector<bench::Figure> figures;
  for (const auto& [phase, arg] : {std::pair{"any", "1"}, {"worst", "0"}}) {
    const std::string run = fmt::format("BM_WriteToCallback/{}/", arg);
    for (const auto& [statistic, limit] : {std::pair{"median", 1100}, {"p99", 2000}}) {
      figures.push_back(
          {fmt::format("write to callback, {} phase, {} us: FileWatcher / read", phase, statistic),
           run + "1", run + "0", statistic + std::string("_us"), '<', static_cast<double>(limit),
           true});
    }
    for (const std::string statistic : {"median", "p99"}) {
      figures.push_back({fmt::format("save to callback, {} phase, {} us: FileWatcher / read of "
                                     "the close",
                                     phase, statistic),
                         run + "3", run + "2", statistic + "_us"});
      // PathWatcher does what the reader does (one wake-up at the close) and
      // resolves its path again before it calls: a few system calls a folder.
      figures.push_back({fmt::format("save to callback, {} phase, {} us: PathWatcher / read of "
                                     "the close",
                                     phase, statistic),
                         run + "4", run + "2", statistic + "_us",
                         statistic == "median" ? '<' : '\0', 5, false});
    }
  }
  for (const auto& [watcher, arg] : {std::pair{"FileWatcher", "1"}, {"PathWatcher", "2"}}) {
    for (const auto& [statistic, goal] : {std::pair{"median", '<'}, {"p99", '\0'}}) {
      figures.push_back({fmt::format("Stop of an idle {}, {} us: Stop / close", watcher, statistic),
                         std::string("BM_Stop/") + arg, "BM_Stop/0", statistic + std::string("_us"),
                         goal, 2000, true});
    }
  }
  figures.push_back({"idle CPU, % of a core: FileWatcher / blocked reader", "BM_Idle/1",
                     "BM_Idle/0", "cpu_pct_of_core", '<', 2, true});
  // A thread that sleeps until the kernel has an event for it costs nothing
  // while nothing happens: a tenth of a percent would already be a poll.
  figures.push_back({"idle CPU, % of a core: PathWatcher / blocked reader", "BM_Idle/2",
                     "BM_Idle/0", "cpu_pct_of_core", '<', 0.1, true});
  figures.push_back({"idle wake-ups a second: FileWatcher / blocked reader", "BM_Idle/1",
                     "BM_Idle/0", "wakeups_per_s"});
  figures.push_back({"idle wake-ups a second: PathWatcher / blocked reader", "BM_Idle/2",
                     "BM_Idle/0", "wakeups_per_s", '<', 2, true});
  // The file is watched by its inode, so its folder is not asked for writes:
  // a log appended beside the settings wakes nobody.
  figures.push_back(
      {"beside a log appended every ms, wake-ups a second: PathWatcher / reader "
       "of the folder's writes",
       "BM_Idle/4", "BM_Idle/3", "wakeups_per_s", '<', 2, true});
  // One instance and one thread whatever the path; the watches are one per
  // folder on the way, from the root, so they have no goal of their own.
  struct Holding {
    const char* label;
    const char* field;
    char goal;
  };
  for (const Holding& held :
       {Holding{"inotify instances", "instances", '<'}, Holding{"inotify watches", "watches", '\0'},
        Holding{"threads", "threads", '<'}}) {
    figures.push_back(
        {fmt::format("ConfigMap layout, {}: PathWatcher / 5 FileWatchers", held.label),
         "BM_ConfigMap/1", "BM_ConfigMap/0", held.field, held.goal, 1, true});
  }
  // Many files, one PathWatcher each, beside a single file's in the same run:
  // one instance and one thread whatever their number, no wake-up while
  // nothing happens, and a call for a save as quick, give or take the work of
  // finding the saved file's watcher among the others. Watches are one per
  // file and per folder not shared, so they have no goal of their own.
  struct Many {
    const char* label;
    const char* field;
    char goal;
    double limit;
    bool absolute;
  };
  for (const int count : {100, 1000}) {
    for (const Many& many : {Many{"inotify instances", "instances", '<', 1, true},
                             Many{"inotify watches", "watches", '\0', 0, false},
                             Many{"threads", "threads", '<', 1, true},
                             Many{"save to call, median us", "median_us", '<', 2, false},
                             Many{"save to call, p99 us", "p99_us", '\0', 0, false},
                             Many{"idle wake-ups a second", "wakeups_per_s", '<', 0, true}}) {
      figures.push_back({fmt::format("{} files, {}: {} PathWatchers / 1", count, many.label, count),
                         fmt::format("BM_ManyFiles/{}", count), "BM_ManyFiles/1", many.field,
                         count == 1000 ? many.goal : '\0', many.limit, many.absolute});
    }
  }
  // What one watcher adds to the process is measured over many; against 100,
  // a ratio near 1 says that the 1000th costs what the 100th did.
  for (const auto& [label, field] :
       {std::pair{"resident", "resident_bytes_per_watcher"}, {"heap", "heap_bytes_per_watcher"}}) {
    figures.push_back(
        {fmt::format("1000 files, {} bytes a watcher: 1000 / 100 PathWatchers", label),
         "BM_ManyFiles/1000", "BM_ManyFiles/100", field});
  }
  // Many watchers in one folder: a name that none follows costs the thread
  // about what it costs beside ten, an overflow calls them all within a
  // moment, and a Stop costs the same however many are started.
  const char* const shared = "BM_SharedFolder/4000";
  figures.push_back({"one folder, hub CPU a name no watcher follows, us: 4000 / 10 watchers",
                     shared, "BM_SharedFolder/10", "hub_cpu_us_per_name", '<', 2});
  figures.push_back({"one folder, overflow's round, ms: 4000 / 10 watchers", shared,
                     "BM_SharedFolder/10", "overflow_round_ms", '<', 2000, true});
  figures.push_back({"one folder, Stop of all, ms: 4000 / 1000 watchers", shared,
                     "BM_SharedFolder/1000", "stop_all_ms", '<', 5});
  figures.push_back({"one folder, Stop of all, CPU ms: 4000 / 1000 watchers", shared,
                     "BM_SharedFolder/1000", "stop_all_cpu_ms"});
  figures.push_back({"one folder, a Stop, median us: 4000 / 1000 watchers", shared,
                     "BM_SharedFolder/1000", "stop_median_us"});
  // A far way on bindfs, changed behind the mount's back, beside a BareLook in
  // the same run, and its looks beside the same looks at a local folder. The
  // delay's goal is on its ratio to the look period, the pace that any
  // follower looking that often is bound to; its columns are the PathWatcher's
  // and the BareLook's delays. While nothing happens: about one wake-up a
  // second, and a look cheap enough to make every second.
  if (farProblem.empty()) {
    const double period_us =
        std::chrono::duration<double, std::micro>(PathWatcher::kRemoteLookPeriod).count();
    for (const auto& [statistic, goal] : {std::pair{"median", '<'}, {"p99", '\0'}}) {
      const std::string field = statistic + std::string("_us");
      figures.push_back({fmt::format("far way, save behind bindfs to call, {} us: PathWatcher, "
                                     "BareLook; ratio to the look period",
                                     statistic),
                         "BM_FarWay/1", "BM_FarWay/0", field, goal, 1.5, false,
                         [field, period_us](const bench::Medians& library, const bench::Medians&) {
                           return library.at(field) / period_us;
                         }});
    }
    struct Far {
      const char* label;
      const char* baseline;
      const char* field;
      char goal;
      double limit;
    };
    for (const Far& far : {
             Far{"save behind bindfs to call, median us: PathWatcher / BareLook", "BM_FarWay/0",
                 "median_us", '\0', 0},
             Far{"idle wake-ups a second: PathWatcher's two threads / BareLook", "BM_FarWay/0",
                 "wakeups_per_s", '<', 1.5},
             Far{"idle looks a second: PathWatcher / BareLook", "BM_FarWay/0", "looks_per_s", '\0',
                 0},
             Far{"other switches a look (waits for the daemon): PathWatcher / BareLook",
                 "BM_FarWay/0", "waits_per_look", '\0', 0},
             Far{"CPU of a look, us: PathWatcherLook / BareLook", "BM_FarWay/0", "look_cpu_us", '<',
                 50},
             Far{"bindfs's CPU a look, us: PathWatcher / BareLook", "BM_FarWay/0", "daemon_cpu_us",
                 '\0', 0},
             Far{"CPU of a look, us: PathWatcherLook through bindfs / at a local folder",
                 "BM_LocalLooks", "look_cpu_us", '\0', 0},
             Far{"idle wake-ups a second: PathWatcher through bindfs / looks at a local folder",
                 "BM_LocalLooks", "wakeups_per_s", '\0', 0},
             Far{"CPU of a look, us: PathWatcherLook through bindfs / a timed wake doing nothing",
                 "BM_TimedWake", "look_cpu_us", '\0', 0},
         }) {
      figures.push_back({fmt::format("far way, {}", far.label), "BM_FarWay/1", far.baseline,
                         far.field, far.goal, far.limit, true});
    }
  }
  // Many far files, one PathWatcher each, beside a PlaceLook of the same
  // places in the same run: one look thread beside the hub's, each distinct
  // place asked once a look, and a save called within a look and a half.
  if (farProblem.empty()) {
    // A thread that reads the file again every second wakes as often as a
    // look of its way: a ConfigMap's looks cost no more.
    figures.push_back(
        {"far way, idle wake-ups a second: PathWatcher / a thread reading the file "
         "again",
         "BM_FarWay/1", "BM_FarWay/2", "wakeups_per_s", '<', 1.0, false});
    for (const int count : {1, 100, 1000}) {
      for (const Many& far :
           {Many{"library threads", "threads", '<', 2, true},
            Many{"look threads' idle wake-ups a second", "wakeups_per_s", '\0', 0, false},
            Many{"requests to bindfs a second", "requests_per_s", '<', 1.1, false},
            Many{"CPU of a look round, us", "look_cpu_us", '\0', 0, false},
            Many{"save behind bindfs to call, median us", "median_us", '<', 1.5e6, true},
            Many{"save behind bindfs to call, p99 us", "p99_us", '\0', 0, false}}) {
        figures.push_back(
            {fmt::format("{} far files, {}: PathWatchers / PlaceLook", count, far.label),
             fmt::format("BM_FarFiles/{}/1", count), fmt::format("BM_FarFiles/{}/0", count),
             far.field, count == 1000 ? far.goal : '\0', far.limit, far.absolute});
      }
    }
  }
  const int status = bench::RunAndSummarise(argc, argv, std::move(figures));
  std::filesystem::remove_all(g_dir);
  return status;
}
