// Internal: a seam in PathWatcher's resolution of its path, for a race that
// cannot be caused reliably for real: a writer that writes and closes the file
// just as the way is resolved again.
//
//   detail::SetResolveHook([] { AppendAndClose(path); });
//
// The resolution calls the hook, when one is set, right after the file's own
// watch is set and before the watches of the folders are settled. Programs
// never set it; tests set it, check what follows, and clear it again.
#ifndef TALVORNCOMMON_DETAIL_RESOLVEHOOK_H_
#define TALVORNCOMMON_DETAIL_RESOLVEHOOK_H_

namespace TalvornCommon::detail {

using ResolveHook = void (*)();

// Installs `hook` for every PathWatcher of the process (null removes it).
void SetResolveHook(ResolveHook hook) noexcept;

// The installed hook, or null.
ResolveHook GetResolveHook() noexcept;

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_RESOLVEHOOK_H_
