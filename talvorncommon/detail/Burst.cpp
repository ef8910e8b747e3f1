#include "talvorncommon/detail/Burst.h"

#include <algorithm>

namespace TalvornCommon::detail {

bool Burst::End::Calls(bool changed, bool otherFile, bool hasFile) const {
  return overflow || changed || ((content || otherFile) && hasFile);
}

Burst::Burst(std::chrono::milliseconds quietPeriod, Time now, bool recheck)
    : quietPeriod_(std::clamp(quietPeriod, std::chrono::milliseconds(0), kLongestBurst)),
      recheck_(recheck),
      lastCheck_(now) {}

std::chrono::milliseconds Burst::QuietFor() const {
  return writerOpen_ ? std::max(quietPeriod_, kWriterQuietPeriod) : quietPeriod_;
}

void Burst::Hear(Time now, const Heard& heard) {
  if (!inBurst_) burstStart_ = now;
  inBurst_ = true;
  lastEvent_ = now;
  content_ |= heard.content;
  overflow_ |= heard.overflow;
  if (heard.writing) writerOpen_ = *heard.writing;
}

void Burst::Resolved(bool recheck, bool writerGone) {
  recheck_ = recheck;
  wayTouched_ = true;
  if (writerGone) writerOpen_ = false;
}

void Burst::Looked(Time now, bool changed, bool content) {
  if (changed) Hear(now, {.content = content});
  unsettled_ = changed;
}

std::optional<Burst::Time> Burst::Deadline() const {
  if (inBurst_) {
    const Time longest = burstStart_ + kLongestBurst;
    return unsettled_ ? longest : std::min(lastEvent_ + QuietFor(), longest);
  }
  if (recheck_) return lastCheck_ + kRecheckPeriod;
  return std::nullopt;
}

std::optional<Burst::End> Burst::Due(Time now, bool queued) {
  const bool recheckDue = recheck_ && now - lastCheck_ >= kRecheckPeriod;
  if (!inBurst_) {
    if (!recheckDue) return std::nullopt;
    return End{.resolve = true};
  }
  // Records still queued belong to this burst, whatever the time.
  const bool longest = now - burstStart_ >= kLongestBurst;
  if (!longest && (now - lastEvent_ < QuietFor() || queued || unsettled_)) return std::nullopt;
  // Writes alone leave the way as the last resolution found it: no event on
  // it, no mount. Not resolving it again halves a save's delay. A problem due
  // to be checked again is, or a writer that never pauses would put its check
  // off for ever.
  const End end{.resolve = wayTouched_ || recheckDue, .content = content_, .overflow = overflow_};
  // A writer still open has had its second; its next write or its close
  // starts another burst.
  inBurst_ = content_ = overflow_ = writerOpen_ = wayTouched_ = unsettled_ = false;
  return end;
}

void Burst::Settled(Time now, bool recheck) {
  lastCheck_ = now;
  recheck_ = recheck;
}

}  // namespace TalvornCommon::detail
