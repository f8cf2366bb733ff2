// Whether the search's readers pay, judged from the walk's own progress.
// Internal to the read-ahead search.
#ifndef VARNOK_SEARCH_READ_AHEAD_JUDGE_H_
#define VARNOK_SEARCH_READ_AHEAD_JUDGE_H_

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace varnok {

// Decides from what it measures whether the walk goes on with readers or
// alone. Readers cost as well as help: handing directories over takes time,
// listings from several threads can cost the kernel more than they save,
// and a reader may take the very core the walk needs. So the walk times its
// progress (directories taken per second) over a stretch alone and then over
// one with readers, each timed only once the way before has worn off (the
// readers are ahead of the walk; what they listed or brought into memory
// ahead is used up), keeps the faster way for a while, then times both again,
// since a tree can turn from a part in memory to one read from a disk, and
// the machine from idle to busy. A way is kept for four times the
// directories or the time its two trials took, whichever ends first, and
// four times longer after each further trial (up to 256 times): where the
// two ways are about equal, their verdicts follow the noise, and only the
// trials cost. A keeping ends at once where the walk's own listings turn
// from fast to slow or back: it has reached another part of the tree; and
// one with readers ends as soon as a trial's length of it went slower than
// the last trial alone: they no longer pay.
class PaceJudge {
 public:
  using Clock = std::chrono::steady_clock;

  // A trial stretch takes at least `directories` directories and `time`,
  // after `settle` directories from a change of way that are not timed.
  // The walk's first `first_directories` directories are listed alone and
  // not timed (a small project starts no thread; the first listings of a
  // run are slow).
  PaceJudge(size_t first_directories, size_t directories, Clock::duration time, size_t settle)
      : directories_(std::max<size_t>(directories, 1)),
        time_(time),
        settle_(settle),
        stretch_directories_(first_directories) {}

  // The walk takes its next directory at `now`; `walk_listed` tells whether
  // it listed the one before itself (rather than taking a listing a reader
  // made), `listings_slow` whether its own recent listings were slow.
  // Whether readers are to work until the next call.
  bool Next(Clock::time_point now, bool walk_listed, bool listings_slow);

 private:
  enum class Phase { kWarmUp, kAlone, kWithReaders, kKeeping };

  // The directories of a stretch and the time they took.
  struct Tally {
    size_t directories = 0;
    Clock::duration time{};
  };

  // Readers pay when they make the walk this much faster, at least: a gain
  // within the noise of a busy machine is not worth the threads.
  static constexpr double kMargin = 1.1;
  static constexpr size_t kFirstKeep = 4, kKeepGrowth = 4, kLongestKeep = 256;

  // Whether `a` made faster progress than `b`, by `margin`.
  static bool Faster(const Tally& a, const Tally& b, double margin) {
    return static_cast<double>(a.directories) * static_cast<double>(b.time.count()) >
           margin * static_cast<double>(b.directories) * static_cast<double>(a.time.count());
  }
  // A trial lasts its directories and its time (readers from a disk need
  // a few listings' time before their reads overlap). A way is kept for its
  // directories or its time, whichever ends first: where the walk has
  // reached a part of the tree that is faster or slower to list, the other
  // one would keep it too long.
  bool StretchDone() const {
    const bool time_done = stretch_.time >= stretch_time_;
    const bool directories_done = stretch_.directories >= stretch_directories_;
    return phase_ == Phase::kKeeping ? time_done || directories_done
                                     : time_done && directories_done;
  }
  bool StillPaying(Clock::duration took);
  void EndStretch();
  void Begin(Phase phase, size_t directories, Clock::duration time);

  const size_t directories_;
  const Clock::duration time_;
  const size_t settle_;
  size_t settle_left_ = 0;  // directories still to pass before the stretch is timed
  Phase phase_ = Phase::kWarmUp;
  Tally stretch_;  // the current stretch so far
  Tally alone_;    // the last trial alone
  Tally check_;    // the part of a keeping with readers since it was last checked
  size_t stretch_directories_;
  Clock::duration stretch_time_{};
  size_t keep_for_ = kFirstKeep;  // trial lengths the next keeping lasts
  bool listings_slow_ = false;    // as the walk's listings were at its last directory
  bool readers_ = false;          // the way taken now
  bool started_ = false;
  Clock::time_point last_;
};

inline bool PaceJudge::Next(Clock::time_point now, bool walk_listed, bool listings_slow) {
  if (phase_ == Phase::kKeeping && listings_slow != listings_slow_) EndStretch();
  listings_slow_ = listings_slow;
  if (!started_) {
    started_ = true;
    last_ = now;
    return readers_;
  }
  const Clock::duration took = now - last_;
  last_ = now;
  // Alone, a directory a reader listed before the readers stopped took the
  // walk no listing: it would make the walk alone look faster than it is.
  if (settle_left_ > 0) {
    --settle_left_;
  } else if (phase_ != Phase::kAlone || walk_listed) {
    ++stretch_.directories;
    stretch_.time += took;
    if (phase_ == Phase::kKeeping && readers_ && !StillPaying(took)) EndStretch();
  }
  if (StretchDone()) EndStretch();
  return readers_;
}

// Whether readers that are kept still pay: over each trial's length of the
// keeping (the directory just taken `took`), the walk is not slower than in
// its last trial alone.
inline bool PaceJudge::StillPaying(Clock::duration took) {
  ++check_.directories;
  check_.time += took;
  if (check_.directories < directories_ || check_.time < time_) return true;
  const bool paying = Faster(check_, alone_, 1.0);
  check_ = Tally();
  return paying;
}

inline void PaceJudge::EndStretch() {
  switch (phase_) {
    case Phase::kWarmUp:
      Begin(Phase::kAlone, directories_, time_);
      return;
    case Phase::kAlone:
      alone_ = stretch_;
      Begin(Phase::kWithReaders, directories_, time_);
      settle_left_ = settle_;
      readers_ = true;
      return;
    case Phase::kWithReaders: {
      const Tally& with = stretch_;
      readers_ = Faster(with, alone_, kMargin);
      Begin(Phase::kKeeping, keep_for_ * (alone_.directories + with.directories),
            (alone_.time + with.time) * static_cast<long>(keep_for_));
      keep_for_ = std::min(keep_for_ * kKeepGrowth, kLongestKeep);
      return;
    }
    case Phase::kKeeping:
      Begin(Phase::kAlone, directories_, time_);
      if (readers_) settle_left_ = settle_;
      readers_ = false;
      return;
  }
}

inline void PaceJudge::Begin(Phase phase, size_t directories, Clock::duration time) {
  phase_ = phase;
  stretch_ = Tally();
  check_ = Tally();
  stretch_directories_ = directories;
  stretch_time_ = time;
}

}  // namespace varnok

#endif  // VARNOK_SEARCH_READ_AHEAD_JUDGE_H_
