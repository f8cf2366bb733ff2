// The script file on POSIX: the turn (an open-file-description lock), the
// opening and reading, and the choice between a replacement by a new file
// (file_swap-posix.cc) and a rewrite in place (file_in_place-posix.cc).
#include "file/file_replace.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>

#include "base/failure.h"
#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"
#include "os/posix_io.h"

namespace varnok {

namespace {

int ExchangeNames(int from_dir, const char* from, int to_dir, const char* to) {
#if defined(SYS_renameat2)
  constexpr unsigned kRenameExchange = 1u << 1;  // RENAME_EXCHANGE, which older headers lack
  return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, kRenameExchange));
#else
  (void)from_dir, (void)from, (void)to_dir, (void)to;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

FileReplaceCalls& ReplaceCalls() {
  static FileReplaceCalls calls = {
      [](int dir_fd, const char* name, int flags, mode_t mode) {
        return openat(dir_fd, name, flags, mode);
      },
      fchmod, writev, fsync, linkat, renameat, posix_fallocate, ftruncate, fchown, fsetxattr,
      ExchangeNames};
  return calls;
}

namespace {

constexpr int kMaxLinkDepth = 40;
constexpr int kFileFlags = O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
// A run gives up waiting for its turn, or for other writers, after this long.
constexpr std::chrono::minutes kGiveUpAfter(5);

void CloseIfOpen(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

// The target of the link `name` in `dir_fd`, joined to `dir` when relative.
bool FollowLink(int dir_fd, const std::string& dir, const std::string& name, off_t size,
                std::string* path) {
  std::string target(size > 0 ? static_cast<size_t>(size) + 1 : PATH_MAX, '\0');
  ssize_t length = readlinkat(dir_fd, name.c_str(), &target[0], target.size());
  if (length <= 0 || static_cast<size_t>(length) >= target.size()) return false;
  target.resize(static_cast<size_t>(length));
  *path = target[0] == '/' ? target : dir + "/" + target;
  return true;
}

// Asks for huge pages behind a large buffer before it is first written: it
// then costs a few hundred page faults instead of one per 4 KiB. A hint only.
void AdviseHugePages(char* data, size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr size_t kHugePagesFrom = 4 << 20;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) / page * page;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) / page * page;
  if (size >= kHugePagesFrom && end > begin) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#else
  (void)data, (void)size;
#endif
}

bool ReadWhole(int fd, size_t size_hint, std::string* content) {
  content->reserve(size_hint + 1);
  AdviseHugePages(content->data(), size_hint + 1);
  content->assign(size_hint + 1, '\0');
  size_t filled = 0;
  while (true) {
    if (filled == content->size()) content->resize(content->size() * 2);
    ssize_t got = RetryOnSignal(read, fd, &(*content)[filled], content->size() - filled);
    if (got < 0) return false;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  content->resize(filled);
  return true;
}

}  // namespace

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int SyncDirectory(int dir_fd) {
  if (RetryOnSignal(ReplaceCalls().fsync, dir_fd) == 0 || errno == EINVAL) return 0;
  return errno;
}

bool IsPermissionRefusal(int err) { return err == EACCES || err == EPERM; }

void LockedFile::State::Reset() {
  CloseIfOpen(&fd);
  CloseIfOpen(&dir_fd);
  CloseIfOpen(&new_fd);
}

// Follows `path` to the entry that is no link; 1 with dir_fd, dir, name and
// st (its status) set, and `followed` telling whether a link led there;
// else 0.
int LockedFile::State::Resolve(const std::string& path, bool* followed) {
  std::string current = path;
  for (int depth = 0;; ++depth) {
    *followed = depth > 0;
    SplitPath(current, &dir, &name);
    dir_fd = OpenDirectory(dir);
    if (dir_fd < 0 || name.empty() || fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) return 1;
    if (depth == kMaxLinkDepth || !FollowLink(dir_fd, dir, name, st.st_size, &current)) return 0;
    CloseIfOpen(&dir_fd);
  }
}

// Whether the system itself follows `path` to the file found, links and all:
// it refuses some links that protect other users (fs.protected_symlinks).
bool LockedFile::State::KernelFollows(const std::string& path) const {
  const int reached = RetryOnSignal(open, path.c_str(), O_PATH | O_CLOEXEC);
  if (reached < 0) return false;
  struct stat there;
  const bool same = fstat(reached, &there) == 0 && SameFile(there, st);
  close(reached);
  return same;
}

int LockedFile::State::TryOpen(const std::string& path) {
  Reset();
  bool followed = false;
  if (Resolve(path, &followed) == 0) return 0;
  if (followed && !KernelFollows(path)) return 0;
  if (!S_ISREG(st.st_mode)) return 0;
  fd = RetryOnSignal(openat, dir_fd, name.c_str(), O_RDWR | kFileFlags);
  write_errno = 0;
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)) {
    write_errno = errno;
    fd = RetryOnSignal(openat, dir_fd, name.c_str(), O_RDONLY | kFileFlags);
  }
  if (fd < 0) return errno == ELOOP ? -1 : 0;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  if (TakeTurn(fd, write_errno == 0, started + kGiveUpAfter) != 0) return -2;
  struct stat now;
  if (fstatat(dir_fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, st)) {
    return -1;
  }
  // A file without any write permission is read-only to every user, root
  // included, as the read-only attribute is on Windows.
  if (write_errno == 0 && (st.st_mode & 0222) == 0) write_errno = EACCES;
  if (write_errno == 0) RemoveLeftoverTemp(dir_fd, name, st);
  named = st;
  return 1;
}

LockedFile::LockedFile() : state_(std::make_unique<State>()) {}

LockedFile::~LockedFile() = default;

bool LockedFile::Open(const std::string& path) {
  content_.clear();
  problem_.clear();
  must_reopen_ = false;
  State& s = *state_;
  int result = -1;
  for (int attempt = 0; (result = s.TryOpen(path)) == -1; ++attempt) {
    // Each attempt found the name moved to another file: other writers make
    // progress, so this run gets its turn; only a name that keeps moving for
    // minutes ends it.
    if (std::chrono::steady_clock::now() - s.started > kGiveUpAfter) break;
    if (attempt >= 16) usleep(1000);
  }
  if (result < 0) {
    s.Reset();
    RaiseIniFileError(path, result == -2 ? "its turn did not come for five minutes" : "");
  }
  if (result != 1 || !ReadWhole(s.fd, static_cast<size_t>(s.st.st_size), &content_)) {
    s.Reset();
    content_.clear();
    return false;
  }
  if (s.write_errno == 0 && RecoverRewrite(s.fd, s.st, &content_, &problem_) != 0) {
    s.Reset();
    RaiseIniFileError(path, problem_);
  }
  return true;
}

int LockedFile::Replace(std::string_view head, std::string_view middle, std::string_view tail) {
  State& s = *state_;
  must_reopen_ = false;
  if (s.fd < 0) return EBADF;
  if (s.write_errno != 0) return s.write_errno;
  struct iovec parts[3] = {{const_cast<char*>(head.data()), head.size()},
                           {const_cast<char*>(middle.data()), middle.size()},
                           {const_cast<char*>(tail.data()), tail.size()}};
  s.old = &content_;
  s.problem.clear();
  int err = 0;
  if (s.st.st_nlink > 1) {
    err = s.ReplaceInPlace(parts, 3);
  } else {
    s.renamed = false;
    err = s.WriteReplacement(parts, 3);
    must_reopen_ = err == kRaced;
    // A directory that refuses a new file, or a new file that cannot get
    // the old one's owner or attributes, leaves a writable file to be
    // rewritten in place; no other failure may fall back to that, nor any
    // once the name took the new file.
    if (IsPermissionRefusal(err) && !s.renamed) err = s.ReplaceInPlace(parts, 3);
  }
  problem_ = s.problem;
  return must_reopen_ ? 0 : err;
}

}  // namespace varnok
