#include "talvorncommon/HybridMutex.h"

#include <mutex>

#include "talvorncommon/detail/SpinThenBlock.h"

namespace TalvornCommon {

class HybridMutex::Impl {
 public:
  explicit Impl(HybridMutex* handle) : owner(handle) {}

  std::mutex mutex;
  // Back pointer to the handle that created this record; the lock operations
  // never read it.
  HybridMutex* owner;
};

HybridMutex::HybridMutex() : impl(std::make_unique<Impl>(this)) {}

HybridMutex::~HybridMutex() { impl.reset(); }

void HybridMutex::lock() {
  std::mutex& mutex = impl->mutex;
  detail::SpinThenBlock([&mutex] { return mutex.try_lock(); }, [&mutex] { mutex.lock(); });
}

bool HybridMutex::try_lock() noexcept { return impl->mutex.try_lock(); }

void HybridMutex::unlock() noexcept { impl->mutex.unlock(); }

}  // namespace TalvornCommon
