// How the search's walk and its readers share the work, and how they wait
// for each other. Internal to the read-ahead search.
#ifndef VARNOK_SEARCH_READ_AHEAD_PACE_H_
#define VARNOK_SEARCH_READ_AHEAD_PACE_H_

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace varnok {

// The pace the walk and the readers keep; chosen from how fast the walk's
// own listings come.
struct Pace {
  size_t readers = 0;         // readers to run
  size_t most_in_flight = 0;  // directories queued or being listed, at most
  // The walk queues more directories only when fewer than this are in
  // flight, so that looking ahead is paid once for a batch.
  size_t refill_below = std::numeric_limits<size_t>::max();
  bool walk_takes_queued = false;  // the walk lists a queued directory itself
  bool readers_take_last = false;  // readers take the queued directory farthest ahead
  bool spin = false;  // a thread that waits spins a moment before it sleeps
};

// The most readers that list from memory: the walk, which judges every
// listing in order, keeps no more than a few busy.
constexpr size_t kMostFastReaders = 3;

// Listings from memory take microseconds. Waking a sleeping thread costs
// more than that, so readers and walk wait for each other by spinning, and
// there are no more readers than other `cores` the process may use. They
// work from opposite ends of a wide window: the readers from the far end,
// the walk at its own place listing whatever no reader has taken, so
// neither waits on the other.
inline Pace FastPace(size_t readers, size_t window, size_t cores) {
  Pace pace;
  pace.readers = std::min({readers, kMostFastReaders, cores > 1 ? cores - 1 : 0});
  pace.most_in_flight = std::max<size_t>(window / 2, 2);
  pace.refill_below = pace.most_in_flight / 2;
  pace.walk_takes_queued = true;
  pace.readers_take_last = true;
  pace.spin = true;
  return pace;
}

// Listings from a disk or a network: many readers, each mostly waiting on
// the device, take the directories next in the walk's order; waits are long,
// so threads sleep.
inline Pace SlowPace(size_t readers) {
  Pace pace;
  pace.readers = readers;
  pace.most_in_flight = 2 * readers;
  return pace;
}

// How long a waiting thread spins before it sleeps: several listings from
// memory, and short enough to cost little where the other thread is not
// running at all.
constexpr std::chrono::microseconds kSpinFor(50);
// How long the walk waits for a reader's listing from memory before it
// lists the directory itself: two listings.
constexpr std::chrono::microseconds kListAfter(20);

// Tells the processor that this is a spin loop.
inline void CpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

// Spins until `done()` or `spin_for` has passed; whether `done()` held.
template <typename Done>
bool SpinUntil(Done done, std::chrono::microseconds spin_for = kSpinFor) {
  const auto until = std::chrono::steady_clock::now() + spin_for;
  while (true) {
    for (int i = 0; i < 32; ++i) {
      if (done()) return true;
      CpuRelax();
    }
    if (std::chrono::steady_clock::now() >= until) return done();
  }
}

// Whether the walk's recent listings were slow: half of its last 16 took
// at least the time the options set.
class ListingTimes {
 public:
  explicit ListingTimes(long slow_us)
      : slow_(std::chrono::microseconds(std::min(slow_us, kSlowest))) {}

  void Note(std::chrono::steady_clock::duration took) {
    recent_ = static_cast<uint16_t>(recent_ << 1 | (took >= slow_ ? 1 : 0));
  }

  bool Slow() const {
    int count = 0;
    for (uint16_t bits = recent_; bits != 0; bits &= static_cast<uint16_t>(bits - 1)) ++count;
    return count >= 8;
  }

 private:
  // Times above 1,000 seconds count as slow whatever the options say, far
  // from overflowing the clock's nanoseconds (or a 32-bit long).
  static constexpr long kSlowest = 1000L * 1000 * 1000;

  const std::chrono::steady_clock::duration slow_;
  uint16_t recent_ = 0;  // one bit for each of the last listings, 1 if slow
};

}  // namespace varnok

#endif  // VARNOK_SEARCH_READ_AHEAD_PACE_H_
