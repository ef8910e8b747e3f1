#include "talvorncommon/FileWatcher.h"

#include <fmt/format.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "talvorncommon/HybridMutex.h"
#include "talvorncommon/HybridSharedMutex.h"
#include "talvorncommon/detail/FileWatcherEvents.h"
#include "talvorncommon/detail/Log.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon {
namespace {

using detail::Verbosity;

// Large enough for a burst of records, each at most 16 bytes plus a name of
// NAME_MAX + 1 bytes rounded up, and small enough to live on the thread's stack.
constexpr std::size_t kReadBufferSize = 4096;

// The watch thread polls a non-blocking instance and sleeps this long when
// nothing is pending: it bounds both the delay of an event and the time Stop
// waits for the thread, at the price of about a thousand wake-ups a second.
constexpr long kIdleSleepNanoseconds = 1'000'000;

// Shown by debuggers, top and /proc/<pid>/task/<tid>/comm.
constexpr const char* kThreadName = "FileWatcher";

std::atomic<detail::WatchThreadHook> watchThreadHook{nullptr};

// The record whose watch runs on this thread, null on other threads. While a
// Stop is pending the only watch thread of that record is the one being
// joined, so a Start that finds its own record here is one of the callbacks
// that Stop waits for. (A thread id would not do: once joined, its id may be
// given to a new thread before the Stop has cleared its state.)
thread_local const void* currentWatchRecord = nullptr;

// Watches whose handle was destroyed or assigned to from one of their own
// callbacks: each goes on, on its own thread and no longer reachable from the
// handle, until that callback returns. A watcher the handle holds meanwhile
// (the one assigned to it, or one built where it was destroyed) must not start
// yet, or its callbacks would run alongside the old one. Keyed by the handle's
// address, the only thing the two records share. Never destroyed: a thread
// that outlives main may still end its hand-over.
struct HandOver {
  const void* handle;
  // The old watch's thread, which takes the entry out before it ends, so the
  // id cannot pass to another thread meanwhile. Not the record: a stale copy
  // left in the vector's spare room would hide the record's leak from LSan.
  std::thread::id thread;
};
struct HandOvers {
  std::mutex mutex;
  std::condition_variable ended;
  std::vector<HandOver> running;  // guarded by mutex
};
HandOvers& PendingHandOvers() {
  static HandOvers* const instance = new HandOvers;
  return *instance;
}

void SleepIdle() {
  timespec remaining{0, kIdleSleepNanoseconds};
  // A signal that cuts the sleep short leaves the rest in `remaining`.
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void CloseDescriptor(int descriptor) {
  if (descriptor >= 0) ::close(descriptor);
}

}  // namespace

namespace detail {

void SetWatchThreadHook(WatchThreadHook hook) noexcept { watchThreadHook.store(hook); }

WatchThreadHook GetWatchThreadHook() noexcept { return watchThreadHook.load(); }

}  // namespace detail

// Who frees a watcher's record, and when. The handle owns it through `impl`
// except in one case, and at most one watch thread exists per record at any
// time (a Start waits for the end of a watch that a Stop is still joining):
//
//   path                           frees the record          when, on which thread
//   handle destroyed or assigned   the handle (~unique_ptr)  after Dispose has joined the watch
//     to, not on the record's                                thread, on the caller's thread
//     own watch thread
//   handle destroyed or assigned   the watch thread (Run)    when Run leaves its loop, after the
//     to from one of its own                                 callback returns, on the watch thread
//     callbacks
//   handle moved from              nobody: `impl` is null    -
//
// Flags, all written under startStopMutex:
//   disposing            set by Dispose on every path above; Start refuses from then on, so no
//                        watch begins on a record that is about to be freed.
//   isWatching           cleared by Stop, Dispose and a Start that cannot create its thread;
//                        the watch thread's stop signal.
//   stopPending          set while a Stop joins the watch thread it took out of watchThread;
//                        Start waits while it is set, and refuses on that very thread (the
//                        thread-local currentWatchRecord tells it apart).
//   ownedByWatchThread   set by Dispose, on the watch thread only, together with detaching the
//                        thread and releasing `impl`: from then on the record belongs to that
//                        thread, which stops calling callbacks and frees the record (and closes
//                        the instance) when Run ends. Atomic so that the hand-over reads the same
//                        from any thread that looks at it.
// Until that Run ends, the handle's next record may not start: Dispose lists the hand-over in
// PendingHandOvers, Run takes it out, and Start refuses on that thread and waits on others.
class FileWatcher::Impl {
 public:
  Impl(FileWatcher* ownerHandle, const std::string& path);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Calls every live subscriber with `eventType`, in subscription order, on
  // the calling (watch) thread. A callback that throws is logged and skipped.
  void EmitOnFileChangedHandlers(EventType eventType);

  // Opens the instance, adds the watch and starts the thread. Runs under
  // startStopMutex with isWatching false. On failure nothing stays open.
  bool StartInternal(std::string& error);

  // What FileWatcher::Stop does; also used by the destructor and the move
  // assignment.
  bool StopWatch(std::string& error);

  // Joins the thread taken out of the record and only then closes the
  // descriptor taken out with it, so the thread never reads a closed (and
  // possibly reused) descriptor number. Runs without startStopMutex, which
  // the callbacks still finishing may need; a Start waits until it is done.
  void StopInternal(std::thread thread, int descriptor);

  // The watch thread, reading `descriptor`, its instance for its whole life.
  void Run(int descriptor);

  // Undoes a StartInternal that got past inotify_add_watch.
  void AbandonStart();

  // Ends the watch of the record in `slot`, whose `handle` is being destroyed
  // or assigned to; the caller then frees or replaces the record. The record
  // stays in the slot while the watch thread is joined, so a callback still
  // running can call its watcher and reach this record. On the record's own
  // watch thread (a callback destroying its watcher) the thread cannot be
  // joined; it is told to stop, takes the record out of the slot, and frees it
  // itself once it leaves its loop, after which the handle's Start may go on.
  static void Dispose(std::unique_ptr<Impl>& slot, const FileWatcher* handle);

  const std::string filePath;
  std::string directoryPath;
  std::string fileName;
  // The open instance while watching, else -1 (or the failed inotify_init1
  // result). Read and written only under startStopMutex.
  int inotifyFd = -1;
  int watchDescriptor = -1;
  HybridMutex startStopMutex;
  std::atomic<bool> isWatching{false};
  HybridSharedMutex handlersMutex;
  std::vector<std::weak_ptr<OnFileChangedHandler>> handlers;
  std::thread watchThread;
  FileWatcher* const owner;
  // See the table above the class for these three.
  bool stopPending{false};
  std::atomic<bool> ownedByWatchThread{false};
  bool disposing = false;
  // Signalled, with startStopMutex free, when a Stop's join has returned and
  // stopPending is cleared.
  std::condition_variable_any stopEnded;
};

FileWatcher::Impl::Impl(FileWatcher* ownerHandle, const std::string& path)
    : filePath(path), owner(ownerHandle) {
  const std::filesystem::path parsed(filePath);
  directoryPath = parsed.parent_path().string();
  fileName = parsed.filename().string();
}

void FileWatcher::Impl::EmitOnFileChangedHandlers(EventType eventType) {
  std::vector<std::shared_ptr<OnFileChangedHandler>> live;
  {
    std::shared_lock<HybridSharedMutex> lock(handlersMutex);
    live.reserve(handlers.size());
    for (const std::weak_ptr<OnFileChangedHandler>& entry : handlers) {
      if (std::shared_ptr<OnFileChangedHandler> handler = entry.lock()) {
        live.push_back(std::move(handler));
      }
    }
  }
  for (const std::shared_ptr<OnFileChangedHandler>& handler : live) {
    // A callback destroyed its own watcher: its owner may be freeing what the
    // other callbacks capture, so none of them may run any more.
    if (ownedByWatchThread) return;
    // Callbacks should not throw, but one that does must not take the watch
    // thread (and with it the process) down, nor keep the others from
    // hearing about the change.
    try {
      (*handler)(eventType);
    } catch (const std::exception& exception) {
      detail::LogPath(Verbosity::kError, detail::kLineHandlerThrew,
                      "An OnFileChanged event handler on '{}' threw an exception: {}", filePath,
                      exception.what());
    } catch (...) {
      detail::LogPath(Verbosity::kError, detail::kLineHandlerThrewUnknown,
                      "An OnFileChanged event handler on '{}' threw an unknown exception!",
                      filePath);
    }
  }
}

bool FileWatcher::Impl::StartInternal(std::string& error) {
  // inotify reads the directory as a C string, up to the first NUL: it would
  // watch another directory than the one the path names.
  if (filePath.find('\0') != std::string::npos) {
    error = "the path contains a NUL character";
    return false;
  }
  // IN_CLOEXEC: an instance inherited by a child the host execs would outlive
  // Stop, keep its watch alive and count against the per-user instance limit.
  inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd < 0) {
    error = "inotify_init1 failed!";
    return false;
  }
  watchDescriptor = ::inotify_add_watch(inotifyFd, directoryPath.c_str(), detail::kWatchMask);
  if (watchDescriptor < 0) {
    CloseDescriptor(std::exchange(inotifyFd, -1));
    error = "inotify_add_watch failed!";
    return false;
  }
  // Set before the thread exists, so the thread finds it set when it looks.
  isWatching = true;
  try {
    if (detail::WatchThreadHook hook = detail::GetWatchThreadHook()) hook();
    watchThread = std::thread(&Impl::Run, this, inotifyFd);
  } catch (const std::system_error& exception) {
    AbandonStart();
    error = fmt::format("watch thread creation failed: {}", exception.what());
    return false;
  } catch (...) {
    AbandonStart();
    throw;
  }
  return true;
}

void FileWatcher::Impl::AbandonStart() {
  isWatching = false;
  CloseDescriptor(std::exchange(inotifyFd, -1));
}

bool FileWatcher::Impl::StopWatch(std::string& error) {
  std::thread thread;
  int descriptor = -1;
  {
    std::lock_guard<HybridMutex> guard(startStopMutex);
    if (!isWatching) {
      error =
          fmt::format("A FileWatcher on '{}' has not been started yet; stop aborted!", filePath);
      return false;
    }
    if (watchThread.get_id() == std::this_thread::get_id()) {
      // A callback asking to stop its own watch: joining the thread we run
      // on cannot work, and the watch is left as it is.
      error = fmt::format(
          "A FileWatcher on '{}' cannot be stopped from its own OnFileChanged event handler; stop "
          "aborted!",
          filePath);
      return false;
    }
    isWatching = false;
    thread = std::move(watchThread);
    descriptor = std::exchange(inotifyFd, -1);
    stopPending = true;
  }
  // The join runs without the lock: the callbacks that are finishing may
  // still subscribe, unsubscribe and call Stop on this watcher.
  StopInternal(std::move(thread), descriptor);
  {
    std::lock_guard<HybridMutex> ended(startStopMutex);
    stopPending = false;
  }
  stopEnded.notify_all();
  return true;
}

void FileWatcher::Impl::StopInternal(std::thread thread, int descriptor) {
  if (thread.joinable()) thread.join();
  CloseDescriptor(descriptor);
}

void FileWatcher::Impl::Run(int descriptor) {
  ::pthread_setname_np(::pthread_self(), kThreadName);
  currentWatchRecord = this;
  alignas(inotify_event) std::array<char, kReadBufferSize> buffer;
  // Once the folder is gone from its path, nothing the watch still hears of
  // it (a moved folder's inode goes on being watched) concerns the path.
  bool folderGone = false;
  while (isWatching.load()) {
    const ssize_t bytesRead = ::read(descriptor, buffer.data(), buffer.size());
    if (bytesRead <= 0) {
      // Nothing pending, or an error: neither is reported, the poll goes on.
      SleepIdle();
      continue;
    }
    // A batch is dispatched in full even if Stop begins meanwhile; Stop waits
    // for it in its join.
    detail::ForEachInotifyEvent(
        buffer.data(), static_cast<std::size_t>(bytesRead),
        [this, &folderGone](std::uint32_t mask, std::string_view name) {
          if (detail::EndsWatch(mask)) folderGone = true;
          if (folderGone || fileName.empty() || name != fileName) return;
          if (const std::optional<EventType> type = detail::ClassifyEventMask(mask)) {
            EmitOnFileChangedHandlers(*type);
          }
        });
  }
  if (ownedByWatchThread) {
    CloseDescriptor(descriptor);
    {
      HandOvers& handOvers = PendingHandOvers();
      std::lock_guard<std::mutex> lock(handOvers.mutex);
      std::erase_if(handOvers.running, [](const HandOver& entry) {
        return entry.thread == std::this_thread::get_id();
      });
    }
    PendingHandOvers().ended.notify_all();
    delete this;
  }
}

void FileWatcher::Impl::Dispose(std::unique_ptr<Impl>& slot, const FileWatcher* handle) {
  Impl* const record = slot.get();
  if (record == nullptr) return;
  {
    std::unique_lock<HybridMutex> guard(record->startStopMutex);
    record->disposing = true;
    if (record->isWatching && record->watchThread.get_id() == std::this_thread::get_id()) {
      // No further callback runs (the dispatch checks the flag); the loop
      // then sees isWatching cleared and the thread frees the record.
      record->isWatching = false;
      record->watchThread.detach();
      record->ownedByWatchThread = true;
      {
        HandOvers& handOvers = PendingHandOvers();
        std::lock_guard<std::mutex> lock(handOvers.mutex);
        handOvers.running.push_back({handle, std::this_thread::get_id()});
      }
      guard.unlock();
      static_cast<void>(slot.release());
      return;
    }
  }
  std::string ignored;
  static_cast<void>(record->StopWatch(ignored));
}

FileWatcher::FileWatcher(const std::string& filePath)
    : impl(std::make_unique<Impl>(this, filePath)) {}

FileWatcher::FileWatcher(FileWatcher&& other) noexcept : impl(std::move(other.impl)) {}

FileWatcher& FileWatcher::operator=(FileWatcher&& other) {
  if (&other == this) return *this;
  // The old record is replaced only once its watch has ended: until then a
  // callback of that watch that calls this handle must still reach it, not
  // the record taken from `other`. From one of those callbacks the watch
  // cannot end first: Dispose hands it to its thread, and Start holds the
  // record taken from `other` back until the callback has returned.
  Impl::Dispose(impl, this);
  impl = std::move(other.impl);
  return *this;
}

// The record is freed by the member's destructor, after Dispose has joined the
// watch: a callback that calls this handle meanwhile still finds its record.
FileWatcher::~FileWatcher() { Impl::Dispose(impl, this); }

bool FileWatcher::Start(std::string& error) {
  Impl& self = *impl;
  std::unique_lock<HybridMutex> guard(self.startStopMutex);
  for (;;) {
    if (self.isWatching) {
      error = fmt::format("A FileWatcher on '{}' has already been started; start aborted!",
                          self.filePath);
      return false;
    }
    if (self.disposing) {
      error =
          fmt::format("A FileWatcher on '{}' is being destroyed; start aborted!", self.filePath);
      return false;
    }
    {
      HandOvers& handOvers = PendingHandOvers();
      std::unique_lock<std::mutex> lock(handOvers.mutex);
      const auto mine = [this](const HandOver& entry) { return entry.handle == this; };
      if (std::ranges::any_of(handOvers.running, [&](const HandOver& entry) {
            return mine(entry) && entry.thread == std::this_thread::get_id();
          })) {
        // The old watch ends only when this very callback returns.
        error = fmt::format(
            "A FileWatcher on '{}' cannot be started from an OnFileChanged event handler of the "
            "watch it replaces; start aborted!",
            self.filePath);
        return false;
      }
      if (std::ranges::any_of(handOvers.running, mine)) {
        // Another thread: wait for the old watch's callback to return, without
        // the lock, which that callback reaches through this handle now.
        guard.unlock();
        handOvers.ended.wait(lock, [&] { return std::ranges::none_of(handOvers.running, mine); });
        lock.unlock();
        guard.lock();
        continue;
      }
    }
    if (!self.stopPending) break;
    if (currentWatchRecord == &self) {
      // The Stop waits for this very callback to return: waiting here for
      // that Stop to end would never end.
      error = fmt::format(
          "A FileWatcher on '{}' cannot be started from an OnFileChanged event handler while it "
          "is being stopped; start aborted!",
          self.filePath);
      return false;
    }
    // Another thread's Stop is still joining the previous watch, whose
    // callbacks may be running. Starting now would run the new watch's
    // callbacks alongside them; the wait releases the lock, which those
    // callbacks may need.
    self.stopEnded.wait(guard);
  }
  std::string reason;
  if (self.StartInternal(reason)) return true;
  error = fmt::format("Encountered an error while starting a FileWatcher on '{}': {}",
                      self.filePath, reason);
  return false;
}

bool FileWatcher::Stop(std::string& error) { return impl->StopWatch(error); }

bool FileWatcher::IsWatching() const { return impl->isWatching.load(); }

const char* FileWatcher::ToString(EventType type) {
  static constexpr std::array<const char*, 4> kNames{"Modified", "Created", "Deleted", "Renamed"};
  const auto index = static_cast<std::size_t>(static_cast<std::uint8_t>(type));
  return index < kNames.size() ? kNames[index] : "Unknown";
}

bool FileWatcher::SubscribeOnFileChanged(const OnFileChangedHandler& handler,
                                         std::shared_ptr<OnFileChangedHandler>& token,
                                         std::string& error) const {
  Impl& self = *impl;
  detail::LogPath(Verbosity::kInfo, detail::kLineSubscribing,
                  "Subscribing to the OnFileChanged event on '{}'...", self.filePath);
  error.clear();
  if (!handler) {
    // Calling it would throw std::bad_function_call on the watch thread at
    // every event; refusing it here tells the caller where the mistake is.
    error = fmt::format("Refused to subscribe an empty OnFileChanged event handler on '{}'!",
                        self.filePath);
    detail::LogText(Verbosity::kError, detail::kLineSubscribeRefused, error);
    return false;
  }
  std::shared_ptr<OnFileChangedHandler> fresh = std::make_shared<OnFileChangedHandler>(handler);
  {
    std::unique_lock<HybridSharedMutex> lock(self.handlersMutex);
    self.handlers.emplace_back(fresh);
  }
  // The token's earlier handler, if the token was its last owner, dies here,
  // outside the lock, so whatever its captures do on destruction cannot
  // deadlock against the subscriber list.
  std::shared_ptr<OnFileChangedHandler> previous = std::exchange(token, std::move(fresh));
  previous.reset();
  detail::LogPath(Verbosity::kInfo, detail::kLineSubscribed,
                  "Successfully subscribed to the OnFileChanged event on '{}'!", self.filePath);
  return true;
}

bool FileWatcher::UnsubscribeOnFileChanged(std::shared_ptr<OnFileChangedHandler> token,
                                           std::string& error) const {
  Impl& self = *impl;
  detail::LogPath(Verbosity::kInfo, detail::kLineUnsubscribing,
                  "Unsubscribing from the OnFileChanged event on '{}'...", self.filePath);
  error.clear();
  std::unique_lock<HybridSharedMutex> lock(self.handlersMutex);
  std::vector<std::weak_ptr<OnFileChangedHandler>>& handlers = self.handlers;
  // One pass that keeps the order of the survivors: expired entries met on
  // the way are dropped, and the walk ends at the token's own entry.
  bool removedOwn = false;
  bool droppedExpired = false;
  std::size_t read = 0;
  std::size_t write = 0;
  for (; read < handlers.size(); ++read) {
    std::weak_ptr<OnFileChangedHandler>& entry = handlers[read];
    if (entry.expired()) {
      droppedExpired = true;
      continue;
    }
    // Same control block as the token: only then is a strong reference taken,
    // and the token's own keeps it from being the last one.
    const bool sameOwner =
        token != nullptr && !entry.owner_before(token) && !token.owner_before(entry);
    if (sameOwner && entry.lock() == token) {
      removedOwn = true;
      ++read;
      break;
    }
    if (write != read) handlers[write] = std::move(entry);
    ++write;
  }
  for (; read < handlers.size(); ++read, ++write) {
    if (write != read) handlers[write] = std::move(handlers[read]);
  }
  handlers.resize(write);

  if (removedOwn || (token == nullptr && droppedExpired)) {
    detail::LogPath(Verbosity::kInfo, detail::kLineUnsubscribed,
                    "Successfully unsubscribed from the OnFileChanged event on '{}'!",
                    self.filePath);
    return true;
  }
  error = fmt::format("Failed to find the OnFileChanged event handler on '{}'!", self.filePath);
  detail::LogText(Verbosity::kError, detail::kLineUnsubscribeFailed, error);
  return false;
}

}  // namespace TalvornCommon
