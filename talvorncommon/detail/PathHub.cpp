#include "talvorncommon/detail/PathHub.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "talvorncommon/detail/FileSystems.h"
#include "talvorncommon/detail/InotifyEvents.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Shown by debuggers, top and /proc/<pid>/task/<tid>/comm.
constexpr const char* kThreadName = "PathWatcher";

// Room for a few hundred records per read; the thread reads again at once when
// more are queued.
constexpr std::size_t kReadBufferSize = 16384;

std::string ErrorText(int error) { return std::generic_category().message(error); }

// Why no inotify instance could be opened. The kernel says EMFILE both when the
// process is out of descriptors and when the user's programs together hold as
// many instances as fs.inotify.max_user_instances allows (128 by default): a
// descriptor that can still be opened tells the two apart. A process holds one
// instance whatever it follows, so that limit means that as many other
// processes of the user hold one.
std::string InstanceFailure(int error) {
  if (error == EMFILE) {
    const int probe = ::eventfd(0, EFD_CLOEXEC);
    if (probe >= 0) {
      ::close(probe);
      return "the user's programs already hold as many inotify instances as "
             "fs.inotify.max_user_instances allows";
    }
  }
  return ErrorText(error);
}

void Close(int& descriptor) {
  if (descriptor >= 0) ::close(descriptor);
  descriptor = -1;
}

void Close(std::atomic<int>& descriptor) {
  const int closing = descriptor.exchange(-1);
  if (closing >= 0) ::close(closing);
}

}  // namespace

struct PathHub::State {
  std::mutex mutex;
  std::condition_variable changed;
  // The clients by the order they were added in, which their calls in a round
  // keep, each with the deadline it last gave.
  struct Seat {
    std::shared_ptr<Client> client;
    std::optional<Time> deadline;
  };
  std::map<uint64_t, Seat> clients;
  std::unordered_map<const Client*, uint64_t> seats;
  uint64_t added = 0;
  // The deadlines, soonest first: the thread asks a client what is due only
  // when its deadline has come or it was told something (`told`), or when
  // all are asked, so that a record for one watcher costs the same beside ten
  // thousand others.
  std::set<std::pair<Time, uint64_t>> deadlines;
  std::vector<uint64_t> told;
  // The client whose call runs on the thread, null between calls.
  Client* running = nullptr;
  // The clients whose calls Due found due, in the thread's round of calls; a
  // client removed since is null there: its call is not made, also if it has
  // been added again meanwhile, with another way and callback.
  std::vector<std::shared_ptr<Client>> due;
  std::thread thread;
  std::atomic<std::thread::id> threadId{};
  // The last client is gone; the thread ends once it sees so.
  bool stopping = false;
  // The thread has ended (stopping, or on an error).
  bool ended = false;
  // A Remove waits to join the thread; otherwise an ending thread detaches
  // itself, so that no finished thread waits for a join that may never come.
  bool joining = false;
  // Atomic: a way resolved on a thread of its own reads it without the lock,
  // also after the last Stop, when the thread has closed it.
  std::atomic<int> instance{-1};
  int wake = -1;
  // The eventfd for Wake, which runs on other threads without the lock. Under
  // wakeMutex, a leaf lock, so that no Wake writes to the number once it is
  // closed (the thread may end on an error while watchers are started): another
  // open may have taken it, a file of the program's that would get 8 bytes.
  std::mutex wakeMutex;
  int wakeForOthers = -1;
  // What the Wakes since the thread last read the eventfd asked: the clients
  // to ask what is due, or all of them. Under wakeMutex.
  std::vector<const Client*> woken;
  bool askAll = false;
  int mounts = -1;
  // The mount points of far file systems, as the mount table last said.
  std::vector<std::string> farMounts;
  Watches table{instance};

  void Run();
  // Reads and hands out what the instance holds; false on an error. Sets
  // `all` when the queue overflowed, which every client has heard.
  bool Dispatch(std::array<char, kReadBufferSize>& buffer, Time woke, bool& all);
  // Asks the clients told something, those whose deadline has come, or all,
  // what is due, and makes the calls.
  void Serve(std::unique_lock<std::mutex>& lock, bool all);
  // Notes that `client` was told something: it is asked what is due.
  void Told(const Client* client) {
    const auto seat = seats.find(client);
    if (seat != seats.end()) told.push_back(seat->second);
  }
  // Takes the client's deadline again, after it was told or asked something.
  void Reschedule(uint64_t key) {
    const auto seat = clients.find(key);
    if (seat == clients.end()) return;
    if (seat->second.deadline) deadlines.erase({*seat->second.deadline, key});
    seat->second.deadline = seat->second.client->Deadline();
    if (seat->second.deadline) deadlines.emplace(*seat->second.deadline, key);
  }
  // Forgets a client removed: it is asked and told nothing any more.
  void Unseat(std::map<uint64_t, Seat>::iterator seat) {
    if (seat->second.deadline) deadlines.erase({*seat->second.deadline, seat->first});
    seats.erase(seat->second.client.get());
    clients.erase(seat);
  }
  // Closes every descriptor. The table is empty by then, or dropped at the
  // thread's end: its watches went with the instance.
  void CloseAll() {
    {
      std::lock_guard<std::mutex> lock(wakeMutex);
      wakeForOthers = -1;
      woken.clear();
      askAll = false;
      Close(wake);
    }
    Close(instance);
    Close(mounts);
  }
  // Reads the mount table again: its text is made afresh at each read from its
  // start. Without /proc no far place is known ahead.
  void ReadMounts() {
    std::string text;
    std::array<char, 4096> chunk;
    ssize_t size = 0;
    while (mounts >= 0 && (size = ::pread(mounts, chunk.data(), chunk.size(),
                                          static_cast<off_t>(text.size()))) > 0)
      text.append(chunk.data(), static_cast<std::size_t>(size));
    farMounts = FarMountPoints(text);
  }
  void Wake() const {
    const uint64_t one = 1;
    // An eventfd's counter cannot overflow from a few writes; nothing to handle.
    static_cast<void>(::write(wake, &one, sizeof one));
  }
};

namespace {

std::atomic<PathHub*> currentHub{nullptr};

// A child made by fork has only the thread that forked: the hub's thread is
// the parent's, its lock may be held by a thread that is not there, and its
// descriptors are copies. The child closes them, abandons the old hub's memory
// and starts from an empty hub.
void ForgetHubInChild();

}  // namespace

struct HubForkHandler {
  static PathHub* Fresh() {
    auto* hub = new PathHub();
    hub->state_ = new PathHub::State();
    return hub;
  }
  static void InChild() {
    PathHub* old = currentHub.load();
    if (old != nullptr) {
      for (const int descriptor :
           {old->state_->instance.load(), old->state_->wake, old->state_->mounts})
        if (descriptor >= 0) ::close(descriptor);
    }
    currentHub.store(Fresh());
  }
};

namespace {
void ForgetHubInChild() { HubForkHandler::InChild(); }
}  // namespace

PathHub& PathHub::Get() {
  static const bool once = [] {
    currentHub.store(HubForkHandler::Fresh());
    ::pthread_atfork(nullptr, nullptr, ForgetHubInChild);
    return true;
  }();
  static_cast<void>(once);
  return *currentHub.load();
}

const std::vector<std::string>& PathHub::FarMounts() const { return state_->farMounts; }

bool PathHub::OnThread() const { return state_->threadId.load() == std::this_thread::get_id(); }

bool PathHub::Add(const std::shared_ptr<Client>& client, const std::function<void(Watches&)>& setUp,
                  std::string& reason) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (OnThread()) {
    s.stopping = false;  // a callback starts a watcher as the last one goes: serve on
  } else {
    s.changed.wait(lock, [&s] { return !s.stopping || s.ended; });
  }
  if (s.ended) {
    if (s.thread.joinable()) s.thread.join();
    s.ended = s.stopping = false;
  }
  if (!s.thread.joinable()) {
    // IN_CLOEXEC and EFD_CLOEXEC: a child the host execs must not inherit them,
    // or the instance would outlive Stop and count against the user's limit.
    s.instance = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (s.instance < 0) {
      reason = "inotify_init1 failed: " + InstanceFailure(errno);
      s.CloseAll();
      return false;
    }
    s.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wake < 0) {
      reason = "eventfd failed: " + ErrorText(errno);
      s.CloseAll();
      return false;
    }
    // The kernel reports no inotify event for a mount: a file system mounted
    // over a folder on the way (or over the file) is heard as a change of the
    // mount table, which polls as POLLPRI. Without /proc mounts go unheard.
    // The calling thread's table: /proc/self names the main thread, whose
    // table cannot be opened once it has ended with pthread_exit.
    s.mounts = ::open("/proc/thread-self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (s.mounts < 0 && errno != ENOENT) {
      reason = "opening /proc/thread-self/mountinfo failed: " + ErrorText(errno);
      s.CloseAll();
      return false;
    }
    try {
      if (WatchThreadHook hook = GetWatchThreadHook()) hook();
      s.thread = std::thread([&s] { s.Run(); });
    } catch (const std::system_error& exception) {
      reason = fmt::format("watch thread creation failed: {}", exception.what());
      s.CloseAll();
      return false;
    }
    s.threadId = s.thread.get_id();
    {
      std::lock_guard<std::mutex> wakeLock(s.wakeMutex);
      s.wakeForOthers = s.wake;
    }
    s.ReadMounts();
  }
  setUp(s.table);
  const uint64_t key = s.added++;
  s.clients[key].client = client;
  s.seats[client.get()] = key;
  s.Reschedule(key);
  s.told.push_back(key);
  s.Wake();  // its deadline may come first
  return true;
}

void PathHub::Wake(const Client* client) {
  std::lock_guard<std::mutex> lock(state_->wakeMutex);
  if (state_->wakeForOthers < 0) return;
  if (client != nullptr) {
    state_->woken.push_back(client);
  } else {
    state_->askAll = true;
  }
  const uint64_t one = 1;
  static_cast<void>(::write(state_->wakeForOthers, &one, sizeof one));
}

void PathHub::Remove(Client* client, const std::function<void(Watches&)>& tearDown) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  const bool onThread = OnThread();
  if (!onThread) s.changed.wait(lock, [&] { return s.running != client; });
  const auto found = s.seats.find(client);
  if (found == s.seats.end()) return;
  const auto seat = s.clients.find(found->second);
  // Kept alive past the erase: tearDown may still need it.
  const std::shared_ptr<Client> keep = seat->second.client;
  s.Unseat(seat);
  std::replace(s.due.begin(), s.due.end(), keep, std::shared_ptr<Client>());
  tearDown(s.table);
  if (!s.clients.empty()) return;
  s.stopping = true;
  s.Wake();
  if (onThread) return;  // the thread ends once the call it runs returns
  s.joining = true;
  s.changed.wait(lock, [&s] { return s.ended || !s.stopping; });
  s.joining = false;
  if (!s.ended) return;  // a callback started another watcher meanwhile
  // Ended on an error before this Remove waited to join it: it detached itself.
  if (s.thread.joinable()) s.thread.join();
  s.ended = s.stopping = false;
  s.changed.notify_all();
}

void PathHub::State::Run() {
  ::pthread_setname_np(::pthread_self(), kThreadName);
  alignas(inotify_event) std::array<char, kReadBufferSize> buffer;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (stopping && clients.empty()) break;
    // Asleep in the kernel until an event, a wake-up or the first deadline of
    // a client: with none, no timeout at all.
    const std::optional<Time> deadline =
        deadlines.empty() ? std::nullopt : std::optional<Time>(deadlines.begin()->first);
    timespec timeout{};
    if (deadline) {
      const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
      timeout.tv_sec = static_cast<time_t>(seconds.count());
      timeout.tv_nsec = static_cast<long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
    }
    std::array<pollfd, 3> polled{{{instance, POLLIN, 0}, {wake, POLLIN, 0}, {mounts, POLLPRI, 0}}};
    lock.unlock();
    const int ready = ::ppoll(polled.data(), polled.size(), deadline ? &timeout : nullptr, nullptr);
    const int pollError = errno;
    lock.lock();
    if (ready < 0) {
      if (pollError == EINTR) continue;
      for (const auto& [key, seat] : clients)
        seat.client->Failed("poll failed: " + ErrorText(pollError));
      break;
    }
    bool all = false;
    if ((polled[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      static_cast<void>(::read(wake, &count, sizeof count));
      std::lock_guard<std::mutex> wakeLock(wakeMutex);
      all = std::exchange(askAll, false);
      // A client woken for may have been removed since: Told skips it.
      for (const Client* client : std::exchange(woken, {})) Told(client);
    }
    const Time woke = Clock::now();
    if ((polled[2].revents & POLLPRI) != 0) {  // mounted or unmounted anywhere
      ReadMounts();
      for (const auto& [key, seat] : clients) seat.client->OnMountsChanged(woke);
      all = true;
    }
    if ((polled[0].revents & POLLIN) != 0 && !Dispatch(buffer, woke, all)) break;
    Serve(lock, all);
  }
  // Nothing of the hub outlives its thread: a watcher that destroyed itself
  // from its callback, the last one, leaves no descriptor open either.
  CloseAll();
  table.Clear();
  ended = true;
  threadId = std::thread::id();
  if (!joining) thread.detach();
  changed.notify_all();
}

void PathHub::State::Serve(std::unique_lock<std::mutex>& lock, bool all) {
  const Time now = Clock::now();
  int bytes = 0;
  const bool queued = ::ioctl(instance, FIONREAD, &bytes) == 0 && bytes > 0;
  std::vector<uint64_t> asked;
  if (all) {
    for (const auto& [key, seat] : clients) asked.push_back(key);
  } else {
    asked = told;
    for (auto next = deadlines.begin(); next != deadlines.end() && next->first <= now; ++next)
      asked.push_back(next->second);
    std::sort(asked.begin(), asked.end());
    asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
  }
  told.clear();
  for (const uint64_t key : asked) {
    // A client told something may have been removed since.
    const auto seat = clients.find(key);
    if (seat == clients.end()) continue;
    if (seat->second.client->Due(now, queued)) due.push_back(seat->second.client);
    Reschedule(key);
  }
  // One call after the other, without the lock: a callback may start, stop
  // or destroy any watcher, its own included.
  for (std::size_t next = 0; next < due.size(); ++next) {
    const std::shared_ptr<Client> client = due[next];
    if (!client) continue;
    running = client.get();
    lock.unlock();
    client->Call();
    lock.lock();
    running = nullptr;
    changed.notify_all();
  }
  due.clear();
}

bool PathHub::State::Dispatch(std::array<char, kReadBufferSize>& buffer, Time woke, bool& all) {
  const ssize_t size = ::read(instance, buffer.data(), buffer.size());
  if (size < 0 && errno != EAGAIN && errno != EINTR) {
    const std::string why = "reading the inotify instance failed: " + ErrorText(errno);
    for (const auto& [key, seat] : clients) seat.client->Failed(why);
    return false;
  }
  std::vector<void*> served;
  const auto handOut = [&](const inotify_event& record, std::string_view name) {
    if ((record.mask & IN_Q_OVERFLOW) != 0) {
      for (const auto& [key, seat] : clients) seat.client->OnRecord(record, name, woke);
      all = true;
      return;
    }
    // Only the clients whose ways look the name up there, or all the watch's
    // for a record of the watched inode itself.
    table.ClientsOf(record.wd, name, served);
    for (void* client : served) {
      static_cast<Client*>(client)->OnRecord(record, name, woke);
      Told(static_cast<Client*>(client));
    }
    if ((record.mask & IN_IGNORED) != 0) table.Dropped(record.wd);
  };
  ForEachInotifyRecord(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(size, 0)),
                       handOut);
  return true;
}

}  // namespace TalvornCommon::detail
