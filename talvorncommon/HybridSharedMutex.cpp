#include "talvorncommon/HybridSharedMutex.h"

#include <shared_mutex>

#include "talvorncommon/detail/SpinThenBlock.h"

namespace TalvornCommon {

class HybridSharedMutex::Impl {
 public:
  explicit Impl(HybridSharedMutex* handle) : owner(handle) {}

  std::shared_mutex mutex;
  // Back pointer to the handle that created this record; the lock operations
  // never read it.
  HybridSharedMutex* owner;
};

HybridSharedMutex::HybridSharedMutex() : impl(std::make_unique<Impl>(this)) {}

HybridSharedMutex::~HybridSharedMutex() { impl.reset(); }

void HybridSharedMutex::lock() {
  std::shared_mutex& mutex = impl->mutex;
  detail::SpinThenBlock([&mutex] { return mutex.try_lock(); }, [&mutex] { mutex.lock(); });
}

bool HybridSharedMutex::try_lock() noexcept { return impl->mutex.try_lock(); }

void HybridSharedMutex::unlock() noexcept { impl->mutex.unlock(); }

// std::shared_mutex::lock_shared already retries at once while the kernel
// reports the reader limit (EAGAIN), and try_lock_shared counts that limit as
// a failed try, which is what the spin wants.
void HybridSharedMutex::lock_shared() {
  std::shared_mutex& mutex = impl->mutex;
  detail::SpinThenBlock([&mutex] { return mutex.try_lock_shared(); },
                        [&mutex] { mutex.lock_shared(); });
}

bool HybridSharedMutex::try_lock_shared() noexcept { return impl->mutex.try_lock_shared(); }

void HybridSharedMutex::unlock_shared() noexcept { impl->mutex.unlock_shared(); }

}  // namespace TalvornCommon
