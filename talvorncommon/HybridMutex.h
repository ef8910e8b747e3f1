// HybridMutex: an exclusive lock for short critical sections. lock() first
// spins for a bounded number of tries (a processor spin-wait hint between
// tries, a thread yield every 64th) and only then blocks in the kernel, so a
// lock held briefly changes hands without the waiter sleeping, while a waiter
// behind a long hold costs a bounded spin and then sleeps.
//
//   TalvornCommon::HybridMutex mutex;
//   std::lock_guard<TalvornCommon::HybridMutex> guard(mutex);
//   ++shared_counter;
//
// It meets the standard Lockable requirements, so std::lock_guard,
// std::unique_lock, std::scoped_lock and std::lock work with it. Errors follow
// std::mutex: lock() throws std::system_error if the kernel refuses the
// blocking lock; try_lock() and unlock() never throw.
#ifndef TALVORNCOMMON_HYBRIDMUTEX_H_
#define TALVORNCOMMON_HYBRIDMUTEX_H_

#include <memory>

namespace TalvornCommon {

class HybridMutex {
 public:
  // The new lock is unlocked. Allocation failure throws std::bad_alloc.
  HybridMutex();
  // The lock must be unlocked.
  virtual ~HybridMutex();

  // Stays at the address it was built at.
  HybridMutex(const HybridMutex&) = delete;
  HybridMutex& operator=(const HybridMutex&) = delete;
  HybridMutex(HybridMutex&&) = delete;
  HybridMutex& operator=(HybridMutex&&) = delete;

  // Blocks until the calling thread holds the lock: up to 1024 tries with a
  // spin-wait hint after each failed one and a yield after tries 64, 128, ...,
  // 960, then one blocking acquisition. Not recursive: a thread that holds the
  // lock must not call lock() again.
  void lock();

  // One attempt without waiting, spinning or yielding: true if the calling
  // thread now holds the lock.
  [[nodiscard]] bool try_lock() noexcept;

  // Releases the lock; only the holding thread may call it.
  void unlock() noexcept;

 private:
  class Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace TalvornCommon

#endif  // TALVORNCOMMON_HYBRIDMUTEX_H_
