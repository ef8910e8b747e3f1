// A program outside the project that uses the installed library the way a
// user would. It exits non-zero if anything it relies on misbehaves.
#include <talvorncommon/FileIO.h>
#include <talvorncommon/FileWatcher.h>
#include <talvorncommon/HybridMutex.h>
#include <talvorncommon/HybridSharedMutex.h>
#include <talvorncommon/StringUtils.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

int main() {
  TalvornCommon::HybridMutex mutex;
  TalvornCommon::HybridSharedMutex shared;
  int counter = 0;
  std::thread other([&] {
    for (int i = 0; i < 1000; ++i) {
      std::lock_guard<TalvornCommon::HybridMutex> guard(mutex);
      ++counter;
    }
  });
  for (int i = 0; i < 1000; ++i) {
    std::lock_guard<TalvornCommon::HybridMutex> guard(mutex);
    ++counter;
  }
  other.join();
  { std::shared_lock<TalvornCommon::HybridSharedMutex> reader(shared); }
  if (counter != 2000) {
    std::fprintf(stderr, "counter %d\n", counter);
    return 1;
  }
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  const std::string talvornHome = TalvornCommon::FileIO::GetTalvornHomePath();
  if (talvornHome != "/cfg/Talvorn") {
    std::fprintf(stderr, "GetTalvornHomePath gave %s\n", talvornHome.c_str());
    return 1;
  }
  if (TalvornCommon::StringUtils::CharVectorToBase64({'\xff', '\xfe'}) != "//4=" ||
      TalvornCommon::StringUtils::QuickSplit("a,,b", ',', 2) != "b") {
    std::fputs("StringUtils\n", stderr);
    return 1;
  }
  // The watcher pulls in spdlog and fmt, which the package config must find.
  TalvornCommon::FileWatcher watcher("/tmp/talvorn-consumer-probe");
  std::shared_ptr<TalvornCommon::FileWatcher::OnFileChangedHandler> token;
  std::string error;
  if (!watcher.SubscribeOnFileChanged([](TalvornCommon::FileWatcher::EventType) {}, token, error) ||
      !watcher.Start(error) || !watcher.Stop(error) ||
      !watcher.UnsubscribeOnFileChanged(token, error)) {
    std::fprintf(stderr, "watcher: %s\n", error.c_str());
    return 1;
  }
  std::puts("consumer: ok");
  return 0;
}
