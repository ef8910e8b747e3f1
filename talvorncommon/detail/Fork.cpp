#include "talvorncommon/detail/Fork.h"

#include <pthread.h>

#include <mutex>
#include <new>
#include <utility>

namespace TalvornCommon::detail {
namespace {

// Both are initialised before any code runs: a record may be made, and a line
// logged, from a static constructor.
std::mutex logGate;
// Adoptions, one at a time: two threads of a child may use the same record
// first. A thread of the parent (itself a child adopting a record) may hold it
// at the fork, so every child makes it afresh.
std::mutex adoptions;
// This thread holds logGate: a line being written, or a fork under way.
thread_local bool writing = false;
thread_local bool heldForFork = false;

void BeforeFork() {
  if (writing) return;  // forked from within a line: no other thread is in one
  logGate.lock();
  heldForFork = true;
}

void AfterForkInParent() {
  if (std::exchange(heldForFork, false)) logGate.unlock();
}

void AfterForkInChild() {
  ::new (static_cast<void*>(&adoptions)) std::mutex();
  AfterForkInParent();
}

// At load, before any thread of the library can exist.
[[maybe_unused]] const bool registered =
    ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;

}  // namespace

bool ForkStamp::Adopt(const std::function<void()>& abandon) {
  if (Ours()) return false;
  const std::lock_guard<std::mutex> lock(adoptions);
  if (Ours()) return false;  // adopted by another thread meanwhile
  abandon();
  pid_.store(::getpid(), std::memory_order_release);
  return true;
}

LogGate::LogGate() : held_(!writing) {
  if (!held_) return;
  logGate.lock();
  writing = true;
}

LogGate::~LogGate() {
  if (!held_) return;
  writing = false;
  logGate.unlock();
}

}  // namespace TalvornCommon::detail
