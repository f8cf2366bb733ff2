// Directory listing on POSIX (each directory read by dir_read-posix.h). The
// cursor holds one directory descriptor between steps (two while a child is
// listed, three while a child that keeps changing is listed again); it moves
// up through "..", checked against the identity recorded on the way down,
// and reopens by path where that differs (a level entered through a link).
// The scanner serves the read-ahead: it opens each directory by path,
// relative to the last one it kept open when the path lies below it.
#include "search/dir_list.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <utility>

#include "os/posix_io.h"
#include "search/dir_read-posix.h"

namespace varnok {

struct DirectoryCursor::State {
  explicit State(const std::string& name) : reader(name) {}
  ~State() { CloseCurrent(); }

  struct Level {
    size_t path_size;
    dev_t dev;
    ino_t ino;
  };

  void CloseCurrent() {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // Records and lists the directory open on `new_fd` (which this takes over),
  // opened after StampClock() gave `opened`; false when it was listed before
  // or cannot be listed.
  bool Enter(int new_fd, struct timespec opened, DirectoryScan* scan);
  // Makes the descriptor stand on the innermost level.
  bool Reposition();

  DirectoryReader reader;
  std::string path;
  std::vector<Level> levels;  // the root first; the last is the current level
  std::set<std::pair<dev_t, ino_t>> listed;
  int fd = -1;          // the descriptor held
  size_t fd_level = 0;  // the level it stands on; Reposition moves it to the current one
};

bool DirectoryCursor::State::Enter(int new_fd, struct timespec opened, DirectoryScan* scan) {
  struct stat st;
  if (!reader.Read(new_fd, opened, &st, scan) || !listed.insert({st.st_dev, st.st_ino}).second) {
    close(new_fd);
    return false;
  }
  levels.push_back({path.size(), st.st_dev, st.st_ino});
  if (scan->subdirs.empty() && fd >= 0) {
    // Nothing below this level will be opened: keep the parent's descriptor,
    // which the next sibling needs, instead of climbing back to it.
    close(new_fd);
    return true;
  }
  CloseCurrent();
  fd = new_fd;
  fd_level = levels.size() - 1;
  return true;
}

bool DirectoryCursor::State::Reposition() {
  const size_t target = levels.size() - 1;
  if (fd_level == target && fd >= 0) return true;
  int up = -1;
  const size_t steps = fd_level - target;
  if (fd >= 0 && fd_level > target && steps * 3 < PATH_MAX) {
    std::string parents = "..";
    for (size_t i = 1; i < steps; ++i) parents += "/..";
    up = RetryOnSignal(openat, fd, parents.c_str(), kDirectoryFlags);
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
  const struct timespec opened = StampClock();
  int root = OpenDirectory(path);
  return root >= 0 && s.Enter(root, opened, scan);
}

bool DirectoryCursor::OpenChild(const std::string& name, DirectoryScan* scan) {
  State& s = *state_;
  if (s.levels.empty() || !s.Reposition()) return false;
  const struct timespec opened = StampClock();
  int child = RetryOnSignal(openat, s.fd, name.c_str(), kDirectoryFlags);
  if (child < 0) return false;
  const size_t parent_size = s.path.size();
  s.path.append(1, kPathSeparator).append(name);
  if (!s.Enter(child, opened, scan)) {
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

std::set<DirectoryIdentity> DirectoryCursor::TakeListed() {
  std::set<DirectoryIdentity> ids;
  for (const std::pair<dev_t, ino_t>& id : state_->listed) {
    ids.insert(ids.end(), {static_cast<uint64_t>(id.first), static_cast<uint64_t>(id.second), 0, true});
  }
  state_->listed.clear();
  return ids;
}

struct DirectoryScanner::State {
  explicit State(const std::string& name) : reader(name) {}
  ~State() { ForgetKept(); }

  void ForgetKept() {
    if (kept_fd >= 0) close(kept_fd);
    kept_fd = -1;
    kept_path.clear();
  }

  // Opens `path` relative to the kept directory when it lies below it (one
  // short step, no path resolution from the root), else from the start.
  int Open(const std::string& path) const {
    const size_t base = kept_path.size();
    if (kept_fd >= 0 && path.size() > base + 1 && path.size() - base < PATH_MAX &&
        path[base] == kPathSeparator && path.compare(0, base, kept_path) == 0) {
      return RetryOnSignal(openat, kept_fd, path.c_str() + base + 1, kDirectoryFlags);
    }
    return OpenDirectory(path);
  }

  DirectoryReader reader;
  int kept_fd = -1;          // the last directory scanned that has subdirectories
  std::string kept_path;
};

DirectoryScanner::DirectoryScanner(const std::string& pattern)
    : state_(std::make_unique<State>(pattern)) {}

DirectoryScanner::~DirectoryScanner() = default;

bool DirectoryScanner::Scan(const std::string& path, DirectoryScan* scan, DirectoryIdentity* id) {
  State& s = *state_;
  const struct timespec opened = StampClock();
  const int fd = s.Open(path);
  struct stat st;
  if (fd < 0 || !s.reader.Read(fd, opened, &st, scan)) {
    if (fd >= 0) close(fd);
    return false;
  }
  *id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, true};
  if (scan->subdirs.empty()) {
    close(fd);  // nothing below to reach: keep the directory kept before
    return true;
  }
  s.ForgetKept();
  s.kept_fd = fd;
  s.kept_path = path;
  return true;
}

}  // namespace varnok
