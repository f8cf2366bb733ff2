// The journal of a rewrite in place on POSIX, and the mark that leads to it.
//
// The journal lies beside the script (".varnok-<token>.journal") where only
// this user or root may rename or remove entries there, else in this user's
// own directory "/var/tmp/varnok-<uid>" (mode 0700; should somebody else hold
// that name, a fresh "/var/tmp/varnok-<uid>-XXXXXX"). The mark is the
// extended attribute "user.varnok.write" on the script, which every name of
// it carries and only a writer of it can set; it names the journal by its
// full path.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"
#include "os/posix_io.h"
#include "os/random.h"

namespace varnok {

namespace {

// Survives a reboot, unlike /tmp, so a journal kept there is found again.
constexpr char kPrivateBase[] = "/var/tmp/varnok-";
constexpr size_t kTokenSize = 16;
constexpr int kMaxNameAttempts = 8;

void PutNumber(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

// Whether only this user or root may rename or remove entries of the
// directory `dir_fd`: its owner is one of them, and nobody else may write
// it, or it is sticky.
bool OnlyOursToRename(int dir_fd) {
  struct stat dir;
  return fstat(dir_fd, &dir) == 0 && (dir.st_uid == geteuid() || dir.st_uid == 0) &&
         ((dir.st_mode & 022) == 0 || (dir.st_mode & S_ISVTX) != 0);
}

// Opens this user's own directory for journals, made where missing; -1 when
// there is none. `path` is its path; `spare` says it was made for this run.
int OpenPrivateDirectory(std::string* path, bool* spare) {
  *path = kPrivateBase + std::to_string(geteuid());
  *spare = false;
  mkdir(path->c_str(), 0700);
  int fd = RetryOnSignal(open, path->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat dir;
  if (fd >= 0 && fstat(fd, &dir) == 0 && dir.st_uid == geteuid() && (dir.st_mode & 077) == 0) {
    return fd;
  }
  // Somebody else holds the name: a directory of this run's own instead.
  if (fd >= 0) close(fd);
  std::string spare_path = *path + "-XXXXXX";
  if (mkdtemp(&spare_path[0]) == nullptr) return -1;
  *path = spare_path;
  *spare = true;
  return RetryOnSignal(open, path->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::string Absolute(const std::string& dir) {
  if (!dir.empty() && dir[0] == '/') return dir;
  std::string cwd(4096, '\0');
  while (getcwd(&cwd[0], cwd.size()) == nullptr) {
    if (errno != ERANGE) return dir;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(cwd.find('\0'));
  return cwd + "/" + dir;
}

}  // namespace

int SetMark(int fd, const WriteMark& mark) {
  const std::string value = EncodeMark(mark);
  if (RetryOnSignal(ReplaceCalls().fsetxattr, fd, kMarkAttribute,
                    static_cast<const void*>(value.data()), value.size(), 0) == 0) {
    return 0;
  }
  return errno == ENOTSUP ? EOPNOTSUPP : errno;
}

int MarkDone(int fd, WriteMark mark) {
  mark.state = WriteMark::kDone;
  int err = SetMark(fd, mark);
  if (err == 0 && RetryOnSignal(ReplaceCalls().fsync, fd) != 0) err = errno;
  // Where the mark cannot say so (no room for it), it goes instead: a
  // journal without a mark is never applied.
  if (err != 0 && fremovexattr(fd, kMarkAttribute) == 0 &&
      RetryOnSignal(ReplaceCalls().fsync, fd) == 0) {
    err = 0;
  }
  return err;
}

std::string FileIdentity(int fd, const struct stat& st) {
  std::string identity;
  PutNumber(&identity, static_cast<uint64_t>(st.st_ino), 8);
#ifdef STATX_BTIME
  struct statx born = {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &born) == 0 && (born.stx_mask & STATX_BTIME)) {
    identity += 'b';
    PutNumber(&identity, static_cast<uint64_t>(born.stx_btime.tv_sec), 8);
    PutNumber(&identity, born.stx_btime.tv_nsec, 4);
  }
#endif
  int generation = 0;
  if (ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) {
    identity += 'g';
    PutNumber(&identity, static_cast<uint32_t>(generation), 4);
  }
  return identity;
}

JournalFile::~JournalFile() {
  if (journal_fd_ >= 0) close(journal_fd_);
  if (dir_fd_ >= 0) close(dir_fd_);
}

int JournalFile::Save(int fd, int dir_fd, const std::string& dir_path, JournalRecord record) {
  fd_ = fd;
  bool private_dir = !OnlyOursToRename(dir_fd);
  int err = EEXIST;
  for (int attempt = 0; attempt < kMaxNameAttempts && err == EEXIST; ++attempt) {
    err = Locate(dir_fd, dir_path, private_dir);
    record.token = RandomBytes(kTokenSize);
    mark_ = WriteMark{WriteMark::kPrepared, record.token, dir_path_ + "/" + JournalName(record.token)};
    if (err == 0) err = SetMark(fd_, mark_);
    bool refused = false;
    if (err == 0) err = Create(record, &refused);
    // A directory that refuses the journal leaves this user's own.
    if (refused && !private_dir) private_dir = true, err = EEXIST;
  }
  if (err == 0) {
    mark_.state = WriteMark::kWriting;
    err = SetMark(fd_, mark_);
    if (err == 0 && RetryOnSignal(ReplaceCalls().fsync, fd_) != 0) err = errno;
  }
  if (err != 0) Abandon();
  return err;
}

// Opens the directory the journal goes to: `dir_fd` (at `dir_path`) or
// this user's own one.
int JournalFile::Locate(int dir_fd, const std::string& dir_path, bool private_dir) {
  if (dir_fd_ >= 0) close(dir_fd_);
  if (private_dir) {
    dir_fd_ = OpenPrivateDirectory(&dir_path_, &spare_dir_);
  } else {
    dir_path_ = Absolute(dir_path);
    dir_fd_ = RetryOnSignal(fcntl, dir_fd, F_DUPFD_CLOEXEC, 0);
  }
  return dir_fd_ < 0 ? errno : 0;
}

// Writes the record under its name, flushed with its directory; 0 or an
// errno, with nothing left under the name. `refused` tells a directory
// that refused the new file for lack of permission.
int JournalFile::Create(const JournalRecord& record, bool* refused) {
  auto& calls = ReplaceCalls();
  const std::string name = JournalName(record.token);
  journal_fd_ = RetryOnSignal(calls.create, dir_fd_, name.c_str(),
                              O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode_t{0600});
  if (journal_fd_ < 0) return *refused = IsPermissionRefusal(errno), errno;
  name_ = name;
  const std::string bytes = EncodeJournal(record);
  struct iovec whole = {const_cast<char*>(bytes.data()), bytes.size()};
  int err = WriteAll(journal_fd_, &whole, 1, calls.writev);
  if (err == 0 && RetryOnSignal(calls.fsync, journal_fd_) != 0) err = errno;
  if (err == 0) err = SyncDirectory(dir_fd_);
  return err;
}

bool JournalFile::Intact() const {
  struct stat held, named;
  return fstat(journal_fd_, &held) == 0 && held.st_nlink == 1 &&
         fstatat(dir_fd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(held, named);
}

int JournalFile::Finish() {
  if (int err = MarkDone(fd_, mark_)) return err;
  Abandon();
  return 0;
}

// Removes the journal, flushed, then the mark, and a directory made for
// this run. A journal that cannot be removed keeps its mark, which leads the
// next run to it; one that somebody else moved is not this run's to remove.
void JournalFile::Abandon() {
  struct stat held, named;
  if (!name_.empty()) {
    if (fstatat(dir_fd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return;  // cannot tell: the mark stays for the next run
    } else if (fstat(journal_fd_, &held) != 0) {
      return;
    } else if (SameFile(held, named)) {
      if (unlinkat(dir_fd_, name_.c_str(), 0) != 0) return;
      SyncDirectory(dir_fd_);
    }
  }
  name_.clear();
  fremovexattr(fd_, kMarkAttribute);
  if (spare_dir_) rmdir(dir_path_.c_str());
  spare_dir_ = false;
}

}  // namespace varnok
