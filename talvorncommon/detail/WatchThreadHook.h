// Internal: a seam for the one failure of FileWatcher::Start that cannot be
// caused reliably for real, the creation of the watch thread.
//
//   detail::SetWatchThreadHook([] { throw std::system_error(EAGAIN, std::generic_category()); });
//
// Start calls the hook, when one is set, right where it creates the watch
// thread; whatever the hook throws is handled as if std::thread had thrown it.
// Programs never set it; tests set it, check the failure, and clear it again.
#ifndef TALVORNCOMMON_DETAIL_WATCHTHREADHOOK_H_
#define TALVORNCOMMON_DETAIL_WATCHTHREADHOOK_H_

namespace TalvornCommon::detail {

using WatchThreadHook = void (*)();

// Installs `hook` for every watcher of the process (null removes it).
void SetWatchThreadHook(WatchThreadHook hook) noexcept;

// The installed hook, or null.
WatchThreadHook GetWatchThreadHook() noexcept;

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_WATCHTHREADHOOK_H_
