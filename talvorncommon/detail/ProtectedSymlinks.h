// Internal: where PathWatcher::Start reads the kernel's fs.protected_symlinks,
// so that tests can give the watcher either value of the setting without
// changing the kernel's, which belongs to the whole machine.
//
//   detail::SetProtectedSymlinksFile(settingFile.c_str());  // a file holding "1"
//
// Programs never set it; tests set it, start their watchers and clear it again.
#ifndef TALVORNCOMMON_DETAIL_PROTECTEDSYMLINKS_H_
#define TALVORNCOMMON_DETAIL_PROTECTEDSYMLINKS_H_

namespace TalvornCommon::detail {

// Every later Start reads the setting from `path`, which must outlive those
// Starts (null: /proc/sys/fs/protected_symlinks again).
void SetProtectedSymlinksFile(const char* path) noexcept;

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_PROTECTEDSYMLINKS_H_
