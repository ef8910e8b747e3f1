// HybridSharedMutex: a reader/writer lock. Any number of threads may hold it
// shared, or one thread exclusively. Both lock() and lock_shared() use the
// spin-then-block scheme of HybridMutex: up to 1024 tries with a spin-wait
// hint between them and a thread yield every 64th, then one blocking
// acquisition. Which of waiting readers and writers goes first is the
// platform read/write lock's own policy.
//
//   TalvornCommon::HybridSharedMutex mutex;
//   { std::shared_lock<TalvornCommon::HybridSharedMutex> reader(mutex); Read(); }
//   { std::unique_lock<TalvornCommon::HybridSharedMutex> writer(mutex); Write(); }
//
// It meets the standard Lockable and SharedLockable requirements. Errors
// follow std::shared_mutex: lock() and lock_shared() throw std::system_error
// with std::errc::resource_deadlock_would_occur when the calling thread
// already holds the lock exclusively (the first hold stays); the tries and
// unlocks never throw.
#ifndef TALVORNCOMMON_HYBRIDSHAREDMUTEX_H_
#define TALVORNCOMMON_HYBRIDSHAREDMUTEX_H_

#include <memory>

namespace TalvornCommon {

class HybridSharedMutex {
 public:
  // The new lock is free. Allocation failure throws std::bad_alloc.
  HybridSharedMutex();
  // The lock must be free.
  virtual ~HybridSharedMutex();

  HybridSharedMutex(const HybridSharedMutex&) = delete;
  HybridSharedMutex& operator=(const HybridSharedMutex&) = delete;
  HybridSharedMutex(HybridSharedMutex&&) = delete;
  HybridSharedMutex& operator=(HybridSharedMutex&&) = delete;

  // Exclusive side. lock() blocks until the calling thread holds the lock
  // exclusively; neither side is recursive.
  void lock();
  // False if anyone holds the lock, shared or exclusively.
  [[nodiscard]] bool try_lock() noexcept;
  void unlock() noexcept;

  // Shared side. lock_shared() blocks until the calling thread holds the lock
  // shared. A thread that holds the lock shared must not acquire it again.
  void lock_shared();
  // False if the lock is held exclusively or the platform's reader limit is
  // reached.
  [[nodiscard]] bool try_lock_shared() noexcept;
  void unlock_shared() noexcept;

 private:
  class Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace TalvornCommon

#endif  // TALVORNCOMMON_HYBRIDSHAREDMUTEX_H_
