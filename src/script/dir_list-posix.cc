// Directory listing on POSIX: readdir with the Windows search's matching and
// NTFS order emulated. The cursor holds one directory descriptor; it moves up
// through "..", checked against the identity recorded on the way down, and
// reopens by path where that differs (a level entered through a link).
#include "script/dir_list.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include "posix_io.h"
#include "script/name_match.h"

namespace varnok {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Whether the entry is a directory, links followed; stats only where the
// listing does not say.
bool IsDirectoryEntry(int dir_fd, const dirent* entry) {
  if (entry->d_type == DT_DIR) return true;
  if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) return false;
  struct stat st;
  return fstatat(dir_fd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Reads the listing whole: the best match (the exact name first, else the
// first in listing order) or, without one, the sorted subdirectories.
void ListEntries(DIR* dir, const NamePattern& pattern, DirectoryScan* scan) {
  scan->match.clear();
  scan->subdirs.clear();
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (IsDotOrDotDot(name)) continue;
    if (pattern.Matches(name)) {
      if (pattern.IsExactly(name)) {
        scan->match = name;
        break;
      }
      if (scan->match.empty() || CompareListingOrder(name, scan->match) < 0) scan->match = name;
    } else if (scan->match.empty() && IsDirectoryEntry(dirfd(dir), entry)) {
      scan->subdirs.emplace_back(name);
    }
  }
  if (!scan->match.empty()) {
    scan->subdirs.clear();
    return;
  }
  std::sort(scan->subdirs.begin(), scan->subdirs.end(),
            [](const std::string& a, const std::string& b) { return CompareListingOrder(a, b) < 0; });
}

}  // namespace

struct DirectoryCursor::State {
  explicit State(const std::string& name) : pattern(name) {}
  ~State() { CloseCurrent(); }

  struct Level {
    size_t path_size;
    dev_t dev;
    ino_t ino;
  };

  void CloseCurrent() {
    if (dir != nullptr) closedir(dir);
    else if (fd >= 0) close(fd);
    dir = nullptr;
    fd = -1;
  }
  int CurrentFd() const { return dir != nullptr ? dirfd(dir) : fd; }

  // Records and lists the directory open on `new_fd` (which this takes over);
  // false when it was listed before or cannot be listed.
  bool Enter(int new_fd, DirectoryScan* scan);
  // Makes the descriptor stand on the innermost level.
  bool Reposition();

  NamePattern pattern;
  std::string path;
  std::vector<Level> levels;  // the root first; the last is the current level
  std::set<std::pair<dev_t, ino_t>> listed;
  DIR* dir = nullptr;   // the current descriptor, when it was listed
  int fd = -1;          // the current descriptor, when it was reached upwards
  size_t fd_level = 0;  // the level the descriptor stands on
};

bool DirectoryCursor::State::Enter(int new_fd, DirectoryScan* scan) {
  struct stat st;
  if (fstat(new_fd, &st) != 0 || !listed.insert({st.st_dev, st.st_ino}).second) {
    close(new_fd);
    return false;
  }
  DIR* new_dir = fdopendir(new_fd);
  if (new_dir == nullptr) {
    close(new_fd);
    return false;
  }
  ListEntries(new_dir, pattern, scan);
  levels.push_back({path.size(), st.st_dev, st.st_ino});
  if (scan->subdirs.empty() && CurrentFd() >= 0) {
    // Nothing below this level will be opened: keep the parent's descriptor,
    // which the next sibling needs, instead of climbing back to it.
    closedir(new_dir);
    return true;
  }
  CloseCurrent();
  dir = new_dir;
  fd_level = levels.size() - 1;
  return true;
}

bool DirectoryCursor::State::Reposition() {
  const size_t target = levels.size() - 1;
  if (fd_level == target && CurrentFd() >= 0) return true;
  int up = -1;
  const size_t steps = fd_level - target;
  if (CurrentFd() >= 0 && fd_level > target && steps * 3 < PATH_MAX) {
    std::string parents = "..";
    for (size_t i = 1; i < steps; ++i) parents += "/..";
    up = openat(CurrentFd(), parents.c_str(), kDirectoryFlags);
    struct stat st;
    if (up >= 0 && (fstat(up, &st) != 0 || st.st_dev != levels.back().dev ||
                    st.st_ino != levels.back().ino)) {
      close(up);
      up = -1;
    }
  }
  if (up < 0) up = OpenDirectory(path);
  CloseCurrent();
  fd = up;
  fd_level = target;
  return up >= 0;
}

DirectoryCursor::DirectoryCursor(const std::string& pattern)
    : state_(std::make_unique<State>(pattern)) {}

DirectoryCursor::~DirectoryCursor() = default;

bool DirectoryCursor::OpenRoot(const std::string& path, DirectoryScan* scan) {
  State& s = *state_;
  s.CloseCurrent();
  s.levels.clear();
  s.path = path;
  int root = OpenDirectory(path);
  return root >= 0 && s.Enter(root, scan);
}

bool DirectoryCursor::OpenChild(const std::string& name, DirectoryScan* scan) {
  State& s = *state_;
  if (s.levels.empty() || !s.Reposition()) return false;
  int child = openat(s.CurrentFd(), name.c_str(), kDirectoryFlags);
  if (child < 0) return false;
  const size_t parent_size = s.path.size();
  s.path.append(1, kPathSeparator).append(name);
  if (!s.Enter(child, scan)) {
    s.path.resize(parent_size);
    return false;
  }
  return true;
}

void DirectoryCursor::ReturnToParent() {
  State& s = *state_;
  if (s.levels.size() < 2) return;
  s.levels.pop_back();
  s.path.resize(s.levels.back().path_size);
}

const std::string& DirectoryCursor::path() const { return state_->path; }

}  // namespace varnok
