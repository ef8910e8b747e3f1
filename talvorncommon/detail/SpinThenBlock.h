// Internal: the spin-then-block acquisition shared by HybridMutex and
// HybridSharedMutex (both of its sides). It is a template over the four steps
// so that tests can drive it with counting steps instead of real locks.
#ifndef TALVORNCOMMON_DETAIL_SPINTHENBLOCK_H_
#define TALVORNCOMMON_DETAIL_SPINTHENBLOCK_H_

#include <thread>

namespace TalvornCommon::detail {

// 1024 tries with one pause between them is roughly 10-40 us on current
// x86-64 cores (a pause costs 10-140 cycles depending on the generation):
// long enough to ride out a short critical section on another core, short
// enough that a waiter behind a long hold gives up its core quickly.
inline constexpr int kSpinLimit = 1024;
// Every 64th failed try offers the core to another ready thread, so a waiter
// does not starve the holder when both share one core.
inline constexpr int kYieldPeriod = 64;

// Tells the processor that this is a spin-wait loop: it saves power and, on
// SMT cores, gives the sibling hyper-thread the pipeline.
inline void SpinWaitHint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield" ::: "memory");
#else
  // No hint on this processor; the empty asm keeps the loop from being
  // optimised into something the caller did not ask for.
  asm volatile("" ::: "memory");
#endif
}

// The spin after a failed try 0, out of line: its counter and loop would
// otherwise be set up in the caller before every first try, and an
// uncontended lock is nothing but that first try. The steps come by value
// (the callers' are lambdas holding a reference), so the caller's fast path
// passes them in registers instead of spilling them for their addresses.
template <typename TryFn, typename HintFn, typename YieldFn, typename BlockFn>
[[gnu::noinline]] void SpinAfterFailedFirstTry(TryFn try_acquire, HintFn hint, YieldFn yield,
                                               BlockFn block) {
  for (int k = 0;; ++k) {
    hint();
    if (k != 0 && k % kYieldPeriod == 0) yield();
    if (k == kSpinLimit - 1) break;
    if (try_acquire()) return;  // try k + 1
  }
  block();
}

// Makes try 0; after each failed try k issues one hint, yields the thread when
// k is a non-zero multiple of kYieldPeriod, and makes try k + 1 while
// k < kSpinLimit - 1. When all kSpinLimit tries fail it calls block() once.
// A successful try returns at once. Whatever block() throws propagates.
template <typename TryFn, typename HintFn, typename YieldFn, typename BlockFn>
void SpinThenBlock(TryFn&& try_acquire, HintFn&& hint, YieldFn&& yield, BlockFn&& block) {
  if (try_acquire()) [[likely]] {
    return;
  }
  SpinAfterFailedFirstTry(try_acquire, hint, yield, block);
}

// The production form: the hardware hint and std::this_thread::yield.
template <typename TryFn, typename BlockFn>
void SpinThenBlock(TryFn&& try_acquire, BlockFn&& block) {
  SpinThenBlock(
      try_acquire, SpinWaitHint, [] { std::this_thread::yield(); }, block);
}

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_SPINTHENBLOCK_H_
