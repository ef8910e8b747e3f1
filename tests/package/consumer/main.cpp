// A program outside the project that uses the installed library the way a
// user would. It exits non-zero if anything it relies on misbehaves.
#include <talvorncommon/FileIO.h>
#include <talvorncommon/HybridMutex.h>
#include <talvorncommon/HybridSharedMutex.h>

#include <cstdio>
#include <cstdlib>
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
  std::puts("consumer: ok");
  return 0;
}
