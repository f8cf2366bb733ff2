// The directory listing behind the script search: one directory at a time,
// each listed whole and closed before the search goes deeper, so that only a
// few descriptors are open at any depth.
#ifndef VARNOK_SCRIPT_DIR_LIST_H_
#define VARNOK_SCRIPT_DIR_LIST_H_

#include <memory>
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

/// A position in the directory tree, moved one level at a time. Each
/// directory is listed at most once per cursor, so link cycles end.
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
  /// it. False, without moving, when it cannot be listed or was listed before.
  bool OpenChild(const std::string& name, DirectoryScan* scan);
  /// Moves back to the directory the last successful OpenChild left.
  void ReturnToParent();
  /// The current directory's path: the root path, then one separator and
  /// one name for each level below it.
  const std::string& path() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace varnok

#endif  // VARNOK_SCRIPT_DIR_LIST_H_
