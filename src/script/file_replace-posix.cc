// The script file on POSIX: flock for the lock, O_TMPFILE (where the system
// has it) so that a killed run leaves no named temporary file, fsync and
// rename for the atomic replacement.
#include "script/file_replace.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "posix_io.h"
#include "script/file_replace_calls-posix.h"

namespace varnok {

FileReplaceCalls& ReplaceCalls() {
  static FileReplaceCalls calls = {
      [](int dir_fd, const char* name, int flags, mode_t mode) {
        return openat(dir_fd, name, flags, mode);
      },
      fchmod, writev, fsync, linkat, renameat, posix_fallocate, ftruncate};
  return calls;
}

namespace {

constexpr int kMaxLinkDepth = 40;
constexpr int kMaxOpenAttempts = 100;
constexpr int kFileFlags = O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;

void CloseIfOpen(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

void LockExclusive(int fd) {
  // A file system without locks still gets its change; only the guard
  // against concurrent runs is lost there.
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
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
    ssize_t got = read(fd, &(*content)[filled], content->size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  content->resize(filled);
  return true;
}

std::string TempName(int attempt) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char name[64];
  std::snprintf(name, sizeof name, ".varnok-%ld-%lx%x.tmp", static_cast<long>(getpid()),
                static_cast<unsigned long>(now.tv_nsec), attempt);
  return name;
}

// The errno values with which a directory refuses a new file for lack of
// permission, where rewriting in place is still allowed.
bool IsPermissionRefusal(int err) { return err == EACCES || err == EPERM; }

}  // namespace

struct LockedFile::State {
  ~State() { Reset(); }
  void Reset() {
    CloseIfOpen(&fd);
    CloseIfOpen(&dir_fd);
  }

  // One attempt at opening and locking; -1 to try again (the name moved
  // meanwhile), else 1 for success and 0 for no readable regular file.
  int TryOpen(const std::string& path);
  int WriteReplacement(const struct iovec* parts, int count);
  int FillTemp(int temp, const struct iovec* parts, int count);
  int SyncDirectory(const std::string& old);
  int ReplaceInPlace(const std::string& old, const struct iovec* parts, int count);
  int WriteInPlace(size_t old_size, size_t new_size, size_t keep, struct iovec* parts, int count);
  void RestoreInPlace(const std::string& old, size_t keep);
  int CreateTemp(std::string* temp_name, bool* anonymous);
  int LinkTemp(int temp_fd, std::string* temp_name);

  int dir_fd = -1;          // the directory holding the file itself
  std::string name;         // the file's name in that directory
  int fd = -1;
  int write_errno = 0;      // why the file cannot be written, 0 when it can
  struct stat st = {};
};

int LockedFile::State::TryOpen(const std::string& path) {
  Reset();
  std::string current = path, dir;
  for (int depth = 0;; ++depth) {
    SplitPath(current, &dir, &name);
    dir_fd = OpenDirectory(dir);
    if (dir_fd < 0 || name.empty() || fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) break;
    if (depth == kMaxLinkDepth || !FollowLink(dir_fd, dir, name, st.st_size, &current)) return 0;
    CloseIfOpen(&dir_fd);
  }
  if (!S_ISREG(st.st_mode)) return 0;
  fd = openat(dir_fd, name.c_str(), O_RDWR | kFileFlags);
  write_errno = 0;
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)) {
    write_errno = errno;
    fd = openat(dir_fd, name.c_str(), O_RDONLY | kFileFlags);
  }
  if (fd < 0) return errno == ELOOP ? -1 : 0;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  // A file without any write permission is read-only to every user, root
  // included, as the read-only attribute is on Windows.
  if (write_errno == 0 && (st.st_mode & 0222) == 0) write_errno = EACCES;
  LockExclusive(fd);
  struct stat now;
  if (fstatat(dir_fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, st)) {
    return -1;
  }
  return 1;
}

int LockedFile::State::CreateTemp(std::string* temp_name, bool* anonymous) {
#ifdef O_TMPFILE
  int temp = ReplaceCalls().create(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (temp >= 0 && access("/proc/self/fd", X_OK) == 0) {
    *anonymous = true;
    return temp;
  }
  if (temp >= 0) close(temp);
  else if (errno != EISDIR && errno != EOPNOTSUPP && errno != EINVAL) return -1;
#endif
  *anonymous = false;
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    *temp_name = TempName(attempt);
    int temp = ReplaceCalls().create(dir_fd, temp_name->c_str(),
                                     O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (temp >= 0 || errno != EEXIST) return temp;
  }
  return -1;
}

// Gives an anonymous temporary file a name; 0 or an errno.
int LockedFile::State::LinkTemp(int temp_fd, std::string* temp_name) {
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", temp_fd);
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    *temp_name = TempName(attempt);
    if (ReplaceCalls().linkat(AT_FDCWD, proc_path, dir_fd, temp_name->c_str(),
                              AT_SYMLINK_FOLLOW) == 0) {
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// Writes the new content to a temporary file beside the old one and renames
// it over the old name; 0 or an errno, with no temporary file left behind.
int LockedFile::State::WriteReplacement(const struct iovec* parts, int count) {
  std::string temp_name;
  bool anonymous = false;
  int temp = CreateTemp(&temp_name, &anonymous);
  if (temp < 0) return errno;
  bool named = !anonymous;
  int err = FillTemp(temp, parts, count);
  if (err == 0 && anonymous) named = (err = LinkTemp(temp, &temp_name)) == 0;
  close(temp);
  if (err == 0 && ReplaceCalls().renameat(dir_fd, temp_name.c_str(), dir_fd, name.c_str()) != 0) {
    err = errno;
  }
  if (err != 0 && named) unlinkat(dir_fd, temp_name.c_str(), 0);
  return err;
}

// Gives the temporary file the old file's owner (where allowed) and
// permission bits, then its bytes, flushed to disk.
int LockedFile::State::FillTemp(int temp, const struct iovec* parts, int count) {
  struct iovec copy[3] = {};
  for (int i = 0; i < count; ++i) copy[i] = parts[i];
  if (fchown(temp, st.st_uid, st.st_gid) != 0) {
    // Only root may give a file away; the file then stays the caller's own.
  }
  if (ReplaceCalls().fchmod(temp, st.st_mode & 07777) != 0) return errno;
  if (int err = WriteAll(temp, copy, count, ReplaceCalls().writev)) return err;
  return ReplaceCalls().fsync(temp) != 0 ? errno : 0;
}

// Flushes the directory after the rename; 0 or an errno. When that fails the
// rename may not last, so the old content is put back under the name.
int LockedFile::State::SyncDirectory(const std::string& old) {
  // EINVAL: the file system cannot flush directories, and needs not.
  if (ReplaceCalls().fsync(dir_fd) == 0 || errno == EINVAL) return 0;
  int err = errno;
  struct iovec back = {const_cast<char*>(old.data()), old.size()};
  WriteReplacement(&back, 1);
  return err;
}

int LockedFile::State::ReplaceInPlace(const std::string& old, const struct iovec* parts,
                                      int count) {
  struct iovec copy[3] = {};
  size_t new_size = 0, keep = 0;
  for (int i = 0; i < count; ++i) copy[i] = parts[i], new_size += parts[i].iov_len;
  // The leading bytes that stay need no rewrite.
  while (keep < copy[0].iov_len && keep < old.size() &&
         static_cast<const char*>(copy[0].iov_base)[keep] == old[keep]) {
    ++keep;
  }
  copy[0].iov_base = static_cast<char*>(copy[0].iov_base) + keep;
  copy[0].iov_len -= keep;
  int err = WriteInPlace(old.size(), new_size, keep, copy, count);
  if (err != 0) RestoreInPlace(old, keep);
  return err;
}

// The new bytes from offset `keep` on, and the new size; 0 or an errno.
int LockedFile::State::WriteInPlace(size_t old_size, size_t new_size, size_t keep,
                                    struct iovec* parts, int count) {
  if (new_size > old_size) {
    // Reserve the room first, so a full disk mostly fails before a byte changes.
    int err = ReplaceCalls().posix_fallocate(fd, static_cast<off_t>(old_size),
                                             static_cast<off_t>(new_size - old_size));
    if (err != 0 && err != EOPNOTSUPP && err != EINVAL) return err;
  }
  if (lseek(fd, static_cast<off_t>(keep), SEEK_SET) < 0) return errno;
  if (int err = WriteAll(fd, parts, count, ReplaceCalls().writev)) return err;
  if (new_size < old_size && ReplaceCalls().ftruncate(fd, static_cast<off_t>(new_size)) != 0) {
    return errno;
  }
  return ReplaceCalls().fsync(fd) != 0 ? errno : 0;
}

// After a failed rewrite in place: the old bytes from `keep` on and the old
// size back (a failed fallocate may have grown the file), as far as the
// system lets. The bytes before `keep` were never touched.
void LockedFile::State::RestoreInPlace(const std::string& old, size_t keep) {
  struct iovec back = {const_cast<char*>(old.data()) + keep, old.size() - keep};
  if (lseek(fd, static_cast<off_t>(keep), SEEK_SET) < 0) return;
  if (WriteAll(fd, &back, 1, ReplaceCalls().writev) != 0) return;
  if (ReplaceCalls().ftruncate(fd, static_cast<off_t>(old.size())) == 0) ReplaceCalls().fsync(fd);
}

LockedFile::LockedFile() : state_(std::make_unique<State>()) {}

LockedFile::~LockedFile() = default;

bool LockedFile::Open(const std::string& path) {
  content_.clear();
  int result = -1;
  for (int attempt = 0; attempt < kMaxOpenAttempts && result < 0; ++attempt) {
    result = state_->TryOpen(path);
  }
  if (result != 1 || !ReadWhole(state_->fd, static_cast<size_t>(state_->st.st_size), &content_)) {
    state_->Reset();
    content_.clear();
    return false;
  }
  return true;
}

int LockedFile::Replace(std::string_view head, std::string_view middle, std::string_view tail) {
  State& s = *state_;
  if (s.fd < 0) return EBADF;
  if (s.write_errno != 0) return s.write_errno;
  struct iovec parts[3] = {{const_cast<char*>(head.data()), head.size()},
                           {const_cast<char*>(middle.data()), middle.size()},
                           {const_cast<char*>(tail.data()), tail.size()}};
  if (s.st.st_nlink > 1) return s.ReplaceInPlace(content_, parts, 3);
  int err = s.WriteReplacement(parts, 3);
  // A directory that refuses a new file for lack of permission still lets
  // a writable file be rewritten; no other failure may fall back to that,
  // nor any after the rename, when the old file no longer has the name.
  if (IsPermissionRefusal(err)) return s.ReplaceInPlace(content_, parts, 3);
  return err != 0 ? err : s.SyncDirectory(content_);
}

}  // namespace varnok
