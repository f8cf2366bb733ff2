// Finding the script file below the project directory.
#ifndef VARNOK_SEARCH_FIND_SCRIPT_H_
#define VARNOK_SEARCH_FIND_SCRIPT_H_

#include <cstddef>
#include <string>

namespace varnok {

/// The path of the first entry named `Name` in `Dir` or below it, or empty.
///
/// Depth-first, pre-order: an entry directly in a directory wins over any in
/// its subdirectories, and the subdirectories are searched in listing order.
/// Directories whose names begin with "." (and, on Windows, hidden and system
/// ones) are not descended into; `Dir` itself always is. `Name` may hold the
/// wildcards '*' and '?'; a name holding a directory separator matches
/// nothing. The answer joins `Dir`, unchanged, and the entry's own name.
///
/// A few threads list directories ahead of the walk while that makes the
/// walk faster (see ReadAheadOptions); the answer is the one-directory-at-
/// a-time walk's, FindScriptSequential.
std::string FindScript(const std::string& Dir, const std::string& Name);

/// How far the read-ahead goes and with how many threads.
struct ReadAheadOptions {
  /// Threads that list directories besides the walking one where listings
  /// are slow; 0 walks alone. The work is then mostly waiting on the disk,
  /// so more threads than cores pay. Where listings come from memory, at
  /// most 3 of them run, and no more than the other cores the process may
  /// use (its CPU affinity and CPU quota).
  size_t readers = 8;
  /// Directories ahead of the walk, in walking order, that may be listed or
  /// queued before the walk reaches them; bounds the memory the listings
  /// held ahead take.
  size_t window = 128;
  /// Directories the walk lists alone, at least, before it starts the
  /// readers, so a small project pays no thread start.
  size_t start_after = 16;
  /// A listing by the walk that takes at least this long (microseconds),
  /// with the walk's short work on the directory, counts as slow: read from
  /// a disk or a network rather than from memory, where a small directory
  /// takes under ten. Once half of the walk's recent
  /// listings were slow, the readers work at the slow pace; 0 counts every
  /// listing as slow, a very large value none.
  long slow_listing_us = 20;
  /// Whether readers work only while they pay: the walk times its progress
  /// alone and with readers in turn, over stretches of at least
  /// `trial_directories` directories and `trial_us` microseconds, and goes
  /// on the faster way (see PaceJudge). False keeps the readers working
  /// from `start_after` on, to compare.
  bool judge_pace = true;
  size_t trial_directories = 64;
  long trial_us = 2000;
};

/// FindScript with the read-ahead set by `options`.
std::string FindScriptWithReadAhead(const std::string& Dir, const std::string& Name,
                                    const ReadAheadOptions& options);

/// FindScript walking one directory at a time: no threads, a few descriptors.
std::string FindScriptSequential(const std::string& Dir, const std::string& Name);

/// Whether `Name` can name an entry of a directory at all: not empty, and
/// without a directory separator.
bool IsPlainEntryName(const std::string& Name);

}  // namespace varnok

#endif  // VARNOK_SEARCH_FIND_SCRIPT_H_
