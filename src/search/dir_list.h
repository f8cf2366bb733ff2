// The directory listing behind the script search: one directory at a time,
// each listed whole and closed before the search goes deeper, so that only a
// few descriptors are open at any depth.
#ifndef VARNOK_SEARCH_DIR_LIST_H_
#define VARNOK_SEARCH_DIR_LIST_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace varnok {

/// The separator that joins a directory and a name into a path.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

/// What one directory holds for the search.
struct DirectoryScan {
  /// The entry the name pattern chose (any kind of entry), or empty.
  std::string match;
  /// When nothing matched: the directories listed (neither hidden, system nor
  /// volume label), in the platform's listing order.
  std::vector<std::string> subdirs;
};

/// Who a directory is, whatever path reached it: the device or volume and
/// the file's number on it, up to 128 bits wide (`index_high` holds the upper
/// half where the system gives one). `known` is false where the file system
/// gives no number; such a directory never counts as listed before.
struct DirectoryIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  uint64_t index_high = 0;
  bool known = false;
};

inline bool operator<(const DirectoryIdentity& a, const DirectoryIdentity& b) {
  if (a.volume != b.volume) return a.volume < b.volume;
  return a.index_high != b.index_high ? a.index_high < b.index_high : a.index < b.index;
}

/// Scans single directories named by full path. One scanner serves one
/// thread at a time; several scanners may work at once. A scanner may keep
/// one directory it scanned open, to reach that directory's children without
/// resolving the whole path again: it holds at most one descriptor between
/// calls and three during one (a path longer than the system takes is
/// opened piece by piece).
class DirectoryScanner {
 public:
  /// `pattern` is the script name, matched as the platform's search does.
  explicit DirectoryScanner(const std::string& pattern);
  ~DirectoryScanner();
  DirectoryScanner(const DirectoryScanner&) = delete;
  DirectoryScanner& operator=(const DirectoryScanner&) = delete;

  /// Scans the directory `path` (links followed) and tells who it is in
  /// `id`. False when it cannot be listed.
  bool Scan(const std::string& path, DirectoryScan* scan, DirectoryIdentity* id);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// A position in the directory tree, moved one level at a time. Each
/// directory is entered at most once per cursor, so link cycles end.
class DirectoryCursor {
 public:
  /// `pattern` is the script name, matched as the platform's search does.
  explicit DirectoryCursor(const std::string& pattern);
  ~DirectoryCursor();
  DirectoryCursor(const DirectoryCursor&) = delete;
  DirectoryCursor& operator=(const DirectoryCursor&) = delete;

  /// Moves to the directory `path` and scans it. False when it cannot be
  /// listed; the cursor then stands nowhere.
  bool OpenRoot(const std::string& path, DirectoryScan* scan);
  /// Moves into the subdirectory `name` of the current directory and scans
  /// it. False, without moving, when it cannot be listed or was entered before.
  bool OpenChild(const std::string& name, DirectoryScan* scan);
  /// Moves back to the directory the last successful OpenChild left.
  void ReturnToParent();
  /// The current directory's path: the root path, then one separator and
  /// one name for each level below it.
  const std::string& path() const;
  /// The directories entered so far, as DirectoryScanner identifies them,
  /// for a walk that goes on without this cursor; the cursor forgets them.
  std::set<DirectoryIdentity> TakeListed();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace varnok

#endif  // VARNOK_SEARCH_DIR_LIST_H_
