// A program outside the project that links the installed library the way a
// user would: it touches every unit, so each object file and the private
// dependencies (spdlog and fmt, through the watcher) must resolve.
#include <talvorncommon/FileIO.h>
#include <talvorncommon/FileWatcher.h>
#include <talvorncommon/HybridMutex.h>
#include <talvorncommon/HybridSharedMutex.h>
#include <talvorncommon/PathWatcher.h>
#include <talvorncommon/StringUtils.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

int main() {
  namespace TC = TalvornCommon;
  TC::HybridMutex mutex;
  TC::HybridSharedMutex shared;
  { std::scoped_lock guard(mutex); }
  { std::shared_lock reader(shared); }
  TC::FileWatcher watcher("/tmp/talvorn-consumer-probe");
  std::shared_ptr<TC::FileWatcher::OnFileChangedHandler> token;
  TC::PathWatcher path_watcher("/tmp/talvorn-consumer-probe");
  std::string error;
  const bool ok = watcher.SubscribeOnFileChanged([](TC::FileWatcher::EventType) {}, token, error) &&
                  watcher.Start(error) && watcher.Stop(error) &&
                  path_watcher.Start([](const TC::PathWatcher::Change&) {}, error) &&
                  path_watcher.Stop(error) &&
                  TC::StringUtils::CharVectorToBase64({'\xff', '\xfe'}) == "//4=" &&
                  !TC::FileIO::GetTalvornHomePath().empty();
  std::puts(ok ? "consumer: ok" : ("consumer: " + error).c_str());
  return ok ? 0 : 1;
}
