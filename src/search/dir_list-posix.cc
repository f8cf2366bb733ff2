// Directory listing on POSIX: the Windows search's matching and NTFS order
// emulated over the system's listing (getdents64 on Linux, readdir
// elsewhere). The cursor holds one directory descriptor between steps (two
// while a child is listed); it moves up through "..", checked against the
// identity recorded on the way down, and reopens by path where that differs
// (a level entered through a link). The scanner serves the read-ahead: it
// opens each directory by path, relative to the last one it kept open when
// the path lies below it.
#include "search/dir_list.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>

#include "os/posix_io.h"
#include "search/name_match.h"

namespace varnok {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
constexpr size_t kListingBufferSize = 32768;

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

#ifdef __linux__
// Calls `visit(name, d_type)` for each entry of the directory open on `fd`
// until it answers false. A failing read ends the listing, as readdir does.
// Records follow the kernel's linux_dirent64 layout: the record length at
// byte 16, the type at byte 18, the NUL-terminated name from byte 19.
template <typename Visit>
void ForEachEntry(int fd, std::vector<char>* buffer, Visit visit) {
  while (true) {
    const long got = syscall(SYS_getdents64, fd, buffer->data(), buffer->size());
    if (got <= 0) return;
    for (long pos = 0; pos < got;) {
      const char* record = buffer->data() + pos;
      uint16_t length;
      std::memcpy(&length, record + 16, sizeof length);
      pos += length;
      if (!visit(record + 19, static_cast<unsigned char>(record[18]))) return;
    }
  }
}
#else
// As above, through readdir on a duplicate of `fd` (closedir closes the
// descriptor that fdopendir took over).
template <typename Visit>
void ForEachEntry(int fd, std::vector<char>*, Visit visit) {
  const int own = dup(fd);
  DIR* dir = own >= 0 ? fdopendir(own) : nullptr;
  if (dir == nullptr) {
    if (own >= 0) close(own);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    if (!visit(entry->d_name, entry->d_type)) break;
  }
  closedir(dir);
}
#endif

// Whether the entry is a directory, links followed; stats only where the
// listing does not say.
bool IsDirectoryEntry(int dir_fd, const char* name, unsigned char type) {
  if (type == DT_DIR) return true;
  if (type != DT_LNK && type != DT_UNKNOWN) return false;
  struct stat st;
  return fstatat(dir_fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Reads the listing whole: the best match (the exact name first, else the
// first in listing order) or, without one, the sorted subdirectories.
void ListEntries(int fd, const NamePattern& pattern, std::vector<char>* buffer,
                 DirectoryScan* scan) {
  scan->match.clear();
  scan->subdirs.clear();
  ForEachEntry(fd, buffer, [&](const char* name, unsigned char type) {
    if (IsDotOrDotDot(name)) return true;
    if (pattern.Matches(name)) {
      if (pattern.IsExactly(name)) {
        scan->match = name;
        return false;
      }
      if (scan->match.empty() || CompareListingOrder(name, scan->match) < 0) scan->match = name;
    } else if (scan->match.empty() && IsDirectoryEntry(fd, name, type)) {
      scan->subdirs.emplace_back(name);
    }
    return true;
  });
  if (!scan->match.empty()) {
    scan->subdirs.clear();
    return;
  }
  std::sort(scan->subdirs.begin(), scan->subdirs.end(),
            [](const std::string& a, const std::string& b) { return CompareListingOrder(a, b) < 0; });
}

}  // namespace

struct DirectoryCursor::State {
  explicit State(const std::string& name) : pattern(name), buffer(kListingBufferSize) {}
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

  // Records and lists the directory open on `new_fd` (which this takes over);
  // false when it was listed before or cannot be listed.
  bool Enter(int new_fd, DirectoryScan* scan);
  // Makes the descriptor stand on the innermost level.
  bool Reposition();

  NamePattern pattern;
  std::vector<char> buffer;  // the listing's blocks, reused for every directory
  std::string path;
  std::vector<Level> levels;  // the root first; the last is the current level
  std::set<std::pair<dev_t, ino_t>> listed;
  int fd = -1;          // the descriptor held
  size_t fd_level = 0;  // the level it stands on; Reposition moves it to the current one
};

bool DirectoryCursor::State::Enter(int new_fd, DirectoryScan* scan) {
  struct stat st;
  if (fstat(new_fd, &st) != 0 || !listed.insert({st.st_dev, st.st_ino}).second) {
    close(new_fd);
    return false;
  }
  ListEntries(new_fd, pattern, &buffer, scan);
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
    up = openat(fd, parents.c_str(), kDirectoryFlags);
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
  int child = openat(s.fd, name.c_str(), kDirectoryFlags);
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

struct DirectoryScanner::State {
  explicit State(const std::string& name) : pattern(name), buffer(kListingBufferSize) {}
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
      return openat(kept_fd, path.c_str() + base + 1, kDirectoryFlags);
    }
    return OpenDirectory(path);
  }

  NamePattern pattern;
  std::vector<char> buffer;  // the listing's blocks, reused for every directory
  int kept_fd = -1;          // the last directory scanned that has subdirectories
  std::string kept_path;
};

DirectoryScanner::DirectoryScanner(const std::string& pattern)
    : state_(std::make_unique<State>(pattern)) {}

DirectoryScanner::~DirectoryScanner() = default;

bool DirectoryScanner::Scan(const std::string& path, DirectoryScan* scan, DirectoryIdentity* id) {
  State& s = *state_;
  const int fd = s.Open(path);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  *id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, true};
  ListEntries(fd, s.pattern, &s.buffer, scan);
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
