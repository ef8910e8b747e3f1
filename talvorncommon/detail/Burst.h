// Internal: PathWatcher's rules about time. Its thread gathers the events on
// the way into bursts and reports each burst once it is over; when a burst is
// over, and when a problem is due to be checked again, is decided here. The
// unit is told what happened and when, and never reads a clock, so that its
// rules can be checked at any instant without sleeping.
//
//   detail::Burst burst(quietPeriod, Clock::now(), first.recheck);
//   burst.Hear(Clock::now(), {.content = true});   // an event on the way
//   if (auto end = burst.Due(Clock::now(), Queued(instance))) Resolve(*end);
#ifndef TALVORNCOMMON_DETAIL_BURST_H_
#define TALVORNCOMMON_DETAIL_BURST_H_

#include <chrono>
#include <optional>

namespace TalvornCommon::detail {

class Burst {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // PathWatcher's periods, whose reasons its header gives; PathWatcher.cpp
  // checks that the two agree.
  static constexpr std::chrono::milliseconds kWriterQuietPeriod{1000};
  static constexpr std::chrono::milliseconds kLongestBurst{5000};
  static constexpr std::chrono::milliseconds kRecheckPeriod{2000};

  // What one event on the way says.
  struct Heard {
    bool content = false;   // the file's content or the file itself may have changed
    bool overflow = false;  // the kernel dropped events
    // A writer began writing the file (true) or closed it.
    std::optional<bool> writing = std::nullopt;
  };

  // What a burst ended with, or a due recheck (`resolve` alone).
  struct End {
    bool resolve = false;  // the way must be resolved again before the burst is reported
    bool content = false;
    bool overflow = false;
    bool operator==(const End&) const = default;

    // Whether the end is told to the callback, once the way has been resolved
    // (or kept): `changed` when the path leads to another file or problem than
    // last told, `otherFile` when the file is another inode, `hasFile` when the
    // path leads to a file. A problem told once is not told again unless the
    // kernel dropped events meanwhile.
    [[nodiscard]] bool Calls(bool changed, bool otherFile, bool hasFile) const;
  };

  // A negative quiet period is none; one longer than kLongestBurst is cut to
  // it, which ends every burst as late as before and keeps the times in range.
  // `now` is when the way was last resolved, `recheck` whether that found a
  // problem that no event may end.
  Burst(std::chrono::milliseconds quietPeriod, Time now, bool recheck);

  // An event on the way at `now`: starts a burst, or extends the one under way.
  void Hear(Time now, const Heard& heard);
  // The way was resolved again during the burst (an event touched it, a mount
  // table changed): the burst's end resolves it once more. `writerGone` when
  // the name the writer held open now leads elsewhere, or to no file.
  void Resolved(bool recheck, bool writerGone);
  // A look at a way whose changes the kernel does not report found something
  // changed since the last look (`content` when it was the file itself, not
  // a name beside it), or nothing. A change is an event that also holds the
  // burst until a look finds nothing changed, so a writer on another machine
  // is not read half-way; kLongestBurst still ends it.
  void Looked(Time now, bool changed, bool content);

  // When the thread must wake for Due; nullopt while it may sleep until an
  // event.
  [[nodiscard]] std::optional<Time> Deadline() const;
  // The burst's end once it has been quiet long enough with nothing of it left
  // in the kernel's queue (`queued`), or has lasted kLongestBurst; after it a
  // new burst begins with the next event. Outside a burst, a due recheck.
  // nullopt while neither is due.
  [[nodiscard]] std::optional<End> Due(Time now, bool queued);
  // The way was resolved for an End that asked it, at `now`.
  void Settled(Time now, bool recheck);

 private:
  std::chrono::milliseconds QuietFor() const;

  const std::chrono::milliseconds quietPeriod_;
  bool inBurst_ = false;
  bool content_ = false;
  bool overflow_ = false;
  // The way was resolved during the burst, so may lead elsewhere now.
  bool wayTouched_ = false;
  // A writer holds the file open: the burst lasts until it closes it.
  bool writerOpen_ = false;
  // A look found a change that no later look has found finished.
  bool unsettled_ = false;
  // A problem that no event may end awaits its recheck.
  bool recheck_;
  Time burstStart_;
  Time lastEvent_;
  Time lastCheck_;
};

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_BURST_H_
