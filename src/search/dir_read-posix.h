// Reading one directory for the search on POSIX: the Windows search's
// matching and NTFS order emulated over the system's listing (getdents64 on
// Linux, readdir elsewhere). Internal to dir_list-posix.cc.
//
// A listing is no snapshot. On some file systems (btrfs) an entry renamed
// while its directory is read, or just before, can be missing from the
// listing: a script that an editor is saving, or whose name another program
// exchanges, would be missed though it exists under its name throughout. So
// a listing is trusted only when the directory's change time shows that
// nothing changed from before the directory was opened until after it was
// read. Otherwise a name without wildcards is looked up by its exact
// spelling (one fstatat, which a rename never hides) before anything is
// decided, and the directory is listed again, a bounded number of times. In a
// big directory the exact name is looked up after its first entries, so
// that a run costs no more for the script's many neighbours.
//
// A symbolic link counts only where the kernel follows it for this run: a
// link it refuses (fs.protected_symlinks in a sticky world-writable
// directory, or a target this user may not reach) is neither a match nor a
// directory, so the search goes on past it.
#ifndef VARNOK_SEARCH_DIR_READ_POSIX_H_
#define VARNOK_SEARCH_DIR_READ_POSIX_H_

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "os/posix_io.h"
#include "search/dir_entries-posix.h"
#include "search/dir_list.h"
#include "search/name_match.h"

namespace varnok {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

// How many times a directory that keeps changing is listed at most; then
// what all its listings saw together decides. The pause before the third
// listing; each further one waits twice as long (7.5 ms in all).
constexpr int kMostListings = 6;
constexpr long kFirstPauseUs = 500;

inline bool IsEarlier(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// The clock that file systems stamp changes with. Read it before a
// directory is opened, for ShowsNoChangeSince.
inline struct timespec StampClock() {
  struct timespec now = {};
#ifdef CLOCK_REALTIME_COARSE
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
#else
  clock_gettime(CLOCK_REALTIME, &now);
#endif
  return now;
}

// Whether a directory whose fstat gave the change time `changed` cannot
// have changed since StampClock() gave `opened`, read before it was opened.
// File systems stamp a change with a clock that advances in ticks (of a few
// milliseconds, or whole seconds where the stamps have no fraction): a
// change made after that reading bears the reading's tick or a later one,
// so a time before that tick shows that nothing changed. (A time closer than
// that proves nothing: a change in the tick of the last one may leave the
// time as it was. Some file systems, btrfs among them, also list a renamed
// entry at neither place for a moment after the rename.) A time far ahead
// of the reading comes from another clock, and tells what it can.
inline bool ShowsNoChangeSince(struct timespec changed, struct timespec opened) {
  struct timespec skewed = opened;
  skewed.tv_sec += 2;
  if (changed.tv_nsec == 0) opened.tv_sec -= 2;
  return IsEarlier(changed, opened) || IsEarlier(skewed, changed);
}

// Reads directories for one search name; one reader serves one thread.
class DirectoryReader {
 public:
  explicit DirectoryReader(const std::string& name)
      : pattern_(name), exact_(pattern_.ExactName()), buffer_(kBufferSize) {}

  // Scans the directory open on `fd`, opened after StampClock() gave
  // `opened`: the entry the name matches (the exact name first, else the
  // first in listing order) or, without one, the sorted subdirectories.
  // `st` gets the directory's fstat, made after it was read. False when
  // there is none.
  bool Read(int fd, struct timespec opened, struct stat* st, DirectoryScan* scan);

 private:
  // What listings of one directory offered.
  struct Seen {
    std::vector<std::string> matches;  // refused links left out
    std::vector<std::string> subdirs;  // collected while nothing matched
    bool exact_looked_up = false;      // found by its exact spelling
  };

  static constexpr size_t kBufferSize = 32768;
  // Entries after which a listing stops to look up the exact name.
  static constexpr size_t kBigDirectory = 256;

  bool HasExactEntry(int fd) const;
  bool ListAgain(int fd, int listings, Seen* all, DirectoryScan* scan);
  void ListOnce(int fd, Seen* seen);
  void Choose(Seen* seen, DirectoryScan* scan) const;
  void ChooseExisting(int fd, Seen* seen, DirectoryScan* scan) const;
  bool SortsFirst(const std::string& a, const std::string& b) const;

  const NamePattern pattern_;
  const std::string exact_;   // the name without wildcards, or empty
  std::vector<char> buffer_;  // the listing's blocks, reused for every directory
};

inline bool DirectoryReader::Read(int fd, struct timespec opened, struct stat* st,
                                  DirectoryScan* scan) {
  scan->match.clear();
  scan->subdirs.clear();
  Seen once;
  ListOnce(fd, &once);
  if (fstat(fd, st) != 0) return false;
  const bool unchanged = ShowsNoChangeSince(st->st_ctim, opened);
  if (once.exact_looked_up || (!unchanged && HasExactEntry(fd))) {
    scan->match = exact_;
    return true;
  }
  if (unchanged) {
    Choose(&once, scan);
    return true;
  }
  for (int listings = 1; listings < kMostListings; ++listings) {
    if (ListAgain(fd, listings, &once, scan)) return true;
  }
  ChooseExisting(fd, &once, scan);
  return true;
}

// Opens the directory open on `fd` anew and lists it, after `listings` were
// made; true when this listing decided, else what it saw is added to `all`.
// From the third listing on it waits first, twice as long each time, so
// that the listings span a few milliseconds: a moment in which a file
// system shows a renamed entry nowhere, or a change is stamped with the time
// of the last one, is over.
inline bool DirectoryReader::ListAgain(int fd, int listings, Seen* all, DirectoryScan* scan) {
  if (listings >= 2) {
    const long pause_us = kFirstPauseUs << (listings - 2);
    const struct timespec pause = {pause_us / 1000000, pause_us % 1000000 * 1000};
    nanosleep(&pause, nullptr);
  }
  const struct timespec opened = StampClock();
  const int again = RetryOnSignal(openat, fd, ".", kDirectoryFlags);
  if (again < 0) return false;
  Seen once;
  ListOnce(again, &once);
  struct stat st;
  const bool unchanged = fstat(again, &st) == 0 && ShowsNoChangeSince(st.st_ctim, opened);
  close(again);
  if (once.exact_looked_up) {
    scan->match = exact_;
    return true;
  }
  if (unchanged) {
    Choose(&once, scan);
    return true;
  }
  for (std::string& name : once.matches) all->matches.push_back(std::move(name));
  for (std::string& name : once.subdirs) all->subdirs.push_back(std::move(name));
  return false;
}

// Whether the exact name is an entry here (a link the kernel refuses is not).
inline bool DirectoryReader::HasExactEntry(int fd) const {
  struct stat st;
  if (exact_.empty() || fstatat(fd, exact_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return !S_ISLNK(st.st_mode) || !IsRefusedLink(fd, exact_.c_str(), DT_LNK);
}

inline void DirectoryReader::ListOnce(int fd, Seen* seen) {
  size_t entries = 0;
  ForEachEntry(fd, &buffer_, [&](const char* name, unsigned char type) {
    if (++entries == kBigDirectory && HasExactEntry(fd)) {
      seen->exact_looked_up = true;
      return false;
    }
    if (IsDotOrDotDot(name)) return true;
    if (pattern_.Matches(name)) {
      if (IsRefusedLink(fd, name, type)) return true;
      seen->matches.emplace_back(name);
      return !pattern_.IsExactly(name);  // nothing can win over the exact name
    }
    if (seen->matches.empty() && IsDirectoryEntry(fd, name, type)) seen->subdirs.emplace_back(name);
    return true;
  });
}

// The exact name first, then listing order.
inline bool DirectoryReader::SortsFirst(const std::string& a, const std::string& b) const {
  const bool a_exact = pattern_.IsExactly(a), b_exact = pattern_.IsExactly(b);
  if (a_exact != b_exact) return a_exact;
  return CompareListingOrder(a, b) < 0;
}

// Chooses from one listing that can be trusted.
inline void DirectoryReader::Choose(Seen* seen, DirectoryScan* scan) const {
  auto sorts_first = [this](const std::string& a, const std::string& b) { return SortsFirst(a, b); };
  if (!seen->matches.empty()) {
    scan->match = std::move(*std::min_element(seen->matches.begin(), seen->matches.end(), sorts_first));
    return;
  }
  scan->subdirs = std::move(seen->subdirs);
  std::sort(scan->subdirs.begin(), scan->subdirs.end(),
            [](const std::string& a, const std::string& b) { return CompareListingOrder(a, b) < 0; });
}

// Chooses from what several listings of a changing directory saw: the first
// match that is still there, else every subdirectory any of them saw (one
// that is gone by now cannot be entered, so it adds nothing).
inline void DirectoryReader::ChooseExisting(int fd, Seen* seen, DirectoryScan* scan) const {
  std::sort(seen->matches.begin(), seen->matches.end(),
            [this](const std::string& a, const std::string& b) { return SortsFirst(a, b); });
  for (const std::string& name : seen->matches) {
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      scan->match = name;
      return;
    }
  }
  Seen subdirs_only;
  subdirs_only.subdirs = std::move(seen->subdirs);
  Choose(&subdirs_only, scan);
  scan->subdirs.erase(std::unique(scan->subdirs.begin(), scan->subdirs.end()), scan->subdirs.end());
}

}  // namespace varnok

#endif  // VARNOK_SEARCH_DIR_READ_POSIX_H_
