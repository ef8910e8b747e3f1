// FileWatcher: follows one file on disk through Linux inotify and calls the
// subscribed callbacks, on its own thread, when the file is modified, created,
// deleted, or has another file moved onto its name. It watches the file's
// directory and keeps the events that carry the file's name, so the file need
// not exist when watching starts, and it keeps following the name after the
// file is deleted and created again.
//
//   TalvornCommon::FileWatcher watcher("/etc/app/settings.json");
//   std::shared_ptr<TalvornCommon::FileWatcher::OnFileChangedHandler> token;
//   std::string error;
//   if (!watcher.SubscribeOnFileChanged([](auto type) { Reload(type); }, token, error) ||
//       !watcher.Start(error)) { Report(error); }
//
// Errors: every operation that can fail returns false and assigns a complete
// English text to `error`, whose first quoted part is the path exactly as given
// to the constructor. The subscription operations clear `error` on entry;
// Start and Stop leave it untouched when they succeed. Nothing is thrown for a
// failure of the watcher itself; allocation failures and std::system_error from
// a failed blocking lock pass through unchanged.
//
// Callbacks run on the watch thread, one at a time, in subscription order,
// also across a Stop and a Start made concurrently from other threads. The
// watcher holds them only weakly: a subscription lasts while any copy of its
// token lives. A callback may subscribe and unsubscribe on any watcher; Stop
// from one of the watcher's own callbacks is refused, since the thread cannot
// wait for itself.
//
// Once the watched folder itself is renamed, moved away or deleted, nothing
// more is reported, even if a folder of that name appears again (IsWatching
// stays true until Stop): follow the folder by its name in its own parent to
// learn of that. A move of a folder further up is not noticed: the watch goes
// on in the folder's new place. Links in the folder part are resolved once, by
// Start; the file name is watched as a name, so a link there is not followed.
//
// What the caller must not do (each ends in a crash, a use after free or a
// hang, as it would with any C++ object): destroy or assign to a watcher while
// another thread is inside its Start or Stop (a callback that destroys its own
// watcher during another thread's Stop does this); destroy a watcher from the
// destructor of a handler that the same watcher's Subscribe releases (the
// token's previous handler); make callbacks of two watchers wait for each
// other. A callback that destroys or stops another watcher waits for that
// watcher's callbacks, and so does a Start made during another thread's Stop
// or while the watch its handle replaced still runs a callback; a cycle of such
// waits (two callbacks destroying each other's watcher, say) never ends.
#ifndef TALVORNCOMMON_FILEWATCHER_H_
#define TALVORNCOMMON_FILEWATCHER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace TalvornCommon {

class FileWatcher {
 public:
  // The kind of change a callback is told about.
  enum class EventType : uint8_t {
    Modified = 0,  // the file's content was written
    Created = 1,   // a file or directory appeared under the name
    Deleted = 2,   // the entry under the name was removed
    Renamed = 3,   // another entry was moved onto the name (an editor's atomic save)
  };

  // A subscriber's callback; it should not throw (a throwing callback is logged
  // and skipped, the watch goes on).
  using OnFileChangedHandler = std::function<void(EventType)>;

  // Splits `filePath` into its directory and its file name and opens nothing:
  // a missing directory, or a path with no directory part, is found out by
  // Start. A path ending in a separator has an empty name, so it never reports
  // an event. A relative directory is resolved when Start runs.
  FileWatcher(const std::string& filePath);  // NOLINT(google-explicit-constructor)

  // Takes `other`'s watcher, running watch and subscriptions included; `other`
  // may afterwards only be destroyed, moved from or assigned to.
  FileWatcher(FileWatcher&& other) noexcept;

  // Ends this handle's own watch as the destructor does, then takes `other`'s
  // watcher. From any thread but the old watch's, it returns once the old
  // watch has ended, and until then a running callback's calls on this handle
  // still act on the old watcher. From one of the old watch's own callbacks it
  // returns at once and the handle's calls act on the new watcher, while the
  // old watch ends when that callback returns; until then a Start on this
  // handle fails from that callback and waits on any other thread, so the
  // callbacks of the two never overlap. Assigning a handle to itself changes
  // nothing.
  FileWatcher& operator=(FileWatcher&& other);

  // Stops the watch if it runs, joining its thread and closing its inotify
  // instance, then releases the subscriber list. Tokens stay valid; their
  // callbacks are simply never called again. A callback that is still running
  // meanwhile may call this watcher: subscribe and unsubscribe work, Stop
  // reports it not started and Start is refused; once the destructor returns
  // no callback runs and nothing of the watcher remains. From one of the
  // watcher's own callbacks the thread cannot be joined: no further callback is
  // called once that one returns, and the thread then ends and frees the watch
  // on its own; a watcher built meanwhile at the same address (an emplace into
  // the same std::optional, say) starts as one assigned from that callback does.
  virtual ~FileWatcher();

  FileWatcher(const FileWatcher&) = delete;
  FileWatcher& operator=(const FileWatcher&) = delete;

  // Opens an inotify instance on the file's directory and starts the watch
  // thread, named "FileWatcher". Fails if the watcher is already watching or
  // is being destroyed or assigned to, if the path contains a NUL character,
  // if no inotify instance can be opened, if the directory cannot be watched
  // (missing, not accessible, empty) or if the thread cannot be created; a
  // failed Start leaves no descriptor and no thread behind. Any thread may
  // call it; a watcher can be started again after Stop. While another
  // thread's Stop is still waiting for the previous watch's callbacks, Start
  // first waits for that watch to end (holding no lock the callbacks need);
  // called from one of those very callbacks it fails instead. It does the same
  // while the watch this handle replaced from its own callback still runs
  // that callback (see the assignment).
  [[nodiscard]] bool Start(std::string& error);

  // Ends the watch: returns once the watch thread has finished the callbacks
  // it was running and has exited, then closes the inotify instance. After it
  // returns true no callback of this watcher runs until the next Start. Fails
  // if the watcher is not watching, or when called from one of this watcher's
  // own callbacks (a thread cannot wait for itself); a failed Stop changes
  // nothing. Any other thread may call it, concurrently with Start and Stop.
  bool Stop(std::string& error);

  // True from a successful Start until a Stop begins. Takes no lock.
  [[nodiscard]] bool IsWatching() const;

  // "Modified", "Created", "Deleted" or "Renamed"; "Unknown" for any other
  // value. A static string, never null.
  static const char* ToString(EventType type);

  // Adds a copy of `handler` at the end of the subscriber list and makes
  // `token` its only owner (the token's previous subscription loses that
  // owner). The callback is called for the events that follow, until every
  // copy of the token is released or it is unsubscribed. Fails, leaving
  // `token` as it was, when `handler` is empty. Works whether or not the
  // watcher is started; callable from any thread, callbacks included.
  [[nodiscard]] bool SubscribeOnFileChanged(const OnFileChangedHandler& handler,
                                            std::shared_ptr<OnFileChangedHandler>& token,
                                            std::string& error) const;

  // Removes the entry of `token` from the subscriber list, and drops the
  // entries of released tokens that it passes on the way. True if the token's
  // entry was removed, or, for an empty token, if a released entry was
  // dropped; otherwise false. A dispatch that began before the call may still
  // call the callback once. Callable from any thread, callbacks included.
  bool UnsubscribeOnFileChanged(std::shared_ptr<OnFileChangedHandler> token,
                                std::string& error) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace TalvornCommon

#endif  // TALVORNCOMMON_FILEWATCHER_H_
