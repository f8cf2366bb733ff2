// The journal of a rewrite in place on POSIX, and the removal of what killed
// runs leave: a journal is ".varnok-<inode>.journal" beside the script, or
// "varnok-<device>-<inode>.journal" in /var/tmp where the script's directory
// refuses new files; a temporary file is ".varnok-<inode>-<pid>-<random>.tmp".
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "os/posix_io.h"
#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"

namespace varnok {

namespace {

// Survives a reboot, unlike /tmp, so a journal kept there is found again.
constexpr char kFallbackDirectory[] = "/var/tmp";
constexpr char kTempPrefix[] = ".varnok-";
constexpr size_t kMaxJournalSize = size_t{1} << 32;

std::string BesideName(const struct stat& st) {
  return kTempPrefix + std::to_string(st.st_ino) + ".journal";
}

std::string FallbackName(const struct stat& st) {
  return "varnok-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino) + ".journal";
}

// Whether the journal `journal` may be applied to the file `st`: a plain file
// that only its owner can change, and that owner the caller, root or the
// file's owner. Another user could otherwise plant bytes to be written.
bool Trusted(const struct stat& journal, const struct stat& st) {
  return S_ISREG(journal.st_mode) && journal.st_nlink == 1 && (journal.st_mode & 022) == 0 &&
         (journal.st_uid == geteuid() || journal.st_uid == 0 || journal.st_uid == st.st_uid);
}

// Writes `bytes` to a new file `name` in `dir_fd`, flushed with the
// directory; 0 or an errno, with the file removed again.
int WriteNewFile(int dir_fd, const std::string& name, const std::string& bytes) {
  auto& calls = ReplaceCalls();
  unlinkat(dir_fd, name.c_str(), 0);  // one of ours that a stopped run left
  const int fd = RetryOnSignal(calls.create, dir_fd, name.c_str(),
                               O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode_t{0600});
  if (fd < 0) return errno;
  struct iovec whole = {const_cast<char*>(bytes.data()), bytes.size()};
  int err = WriteAll(fd, &whole, 1, calls.writev);
  if (err == 0 && RetryOnSignal(calls.fsync, fd) != 0) err = errno;
  close(fd);
  if (err == 0) err = SyncDirectory(dir_fd);
  if (err != 0) unlinkat(dir_fd, name.c_str(), 0);
  return err;
}

std::optional<std::string> ReadJournal(int fd, const struct stat& journal) {
  if (static_cast<uint64_t>(journal.st_size) > kMaxJournalSize) return std::nullopt;
  std::string bytes(static_cast<size_t>(journal.st_size), '\0');
  size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = RetryOnSignal(read, fd, &bytes[filled], bytes.size() - filled);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  bytes.resize(filled);
  return bytes;
}

// Puts the record's old bytes back into `fd` and cuts it to the old size.
int PutBack(int fd, const JournalRecord& record) {
  auto& calls = ReplaceCalls();
  struct iovec saved = {const_cast<char*>(record.saved.data()), record.saved.size()};
  if (lseek(fd, static_cast<off_t>(record.offset), SEEK_SET) < 0) return errno;
  if (int err = WriteAll(fd, &saved, 1, calls.writev)) return err;
  if (RetryOnSignal(calls.ftruncate, fd, static_cast<off_t>(record.old_size)) != 0) return errno;
  return RetryOnSignal(calls.fsync, fd) != 0 ? errno : 0;
}

// Applies and removes the journal `name` in `dir_fd` if it belongs to the
// file `st`; 0 or the errno of a failed restore.
int ApplyJournal(int dir_fd, const std::string& name, int fd, const struct stat& st) {
  const int journal_fd =
      RetryOnSignal(openat, dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (journal_fd < 0) return 0;
  struct stat journal;
  std::optional<std::string> bytes;
  if (fstat(journal_fd, &journal) == 0 && Trusted(journal, st)) bytes = ReadJournal(journal_fd, journal);
  close(journal_fd);
  if (!bytes) return 0;
  const std::optional<JournalRecord> record = DecodeJournal(*bytes);
  // A torn journal was being written when its run stopped: the file was
  // not touched yet. One of another file is left to that file.
  if (record && record->identity != JournalIdentity(st)) return 0;
  if (record) {
    if (int err = PutBack(fd, *record)) return err;
  }
  // A journal that stays would be put back again after later changes.
  if (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) return errno;
  return SyncDirectory(dir_fd);
}

// The inode in `name` if it is one of the temporary files' names, else 0.
ino_t TempTag(const char* name) {
  const size_t prefix = sizeof kTempPrefix - 1;
  const std::string_view whole(name);
  if (whole.compare(0, prefix, kTempPrefix) != 0 || whole.size() < prefix + 4 ||
      whole.substr(whole.size() - 4) != ".tmp") {
    return 0;
  }
  char* end = nullptr;
  const unsigned long long tag = std::strtoull(name + prefix, &end, 10);
  return end && *end == '-' ? static_cast<ino_t>(tag) : 0;
}

// Whether the entry `name` is the file `tag` and no run holds its lock: an
// old file that a stopped run had swapped out but not yet removed.
bool IsAbandonedOldFile(int dir_fd, const char* name, ino_t tag) {
  const int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat entry;
  const bool abandoned = fstat(fd, &entry) == 0 && S_ISREG(entry.st_mode) && entry.st_ino == tag &&
                         RetryOnSignal(flock, fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return abandoned;
}

}  // namespace

std::string JournalIdentity(const struct stat& st) {
  std::string identity;
  for (uint64_t part : {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}) {
    for (int i = 0; i < 8; ++i) identity.push_back(static_cast<char>(part >> (8 * i)));
  }
  return identity;
}

JournalFile::~JournalFile() {
  if (dir_fd_ >= 0) close(dir_fd_);
}

int JournalFile::Save(int dir_fd, const struct stat& st, const JournalRecord& record) {
  const std::string bytes = EncodeJournal(record);
  dir_fd_ = RetryOnSignal(fcntl, dir_fd, F_DUPFD_CLOEXEC, 0);
  if (dir_fd_ < 0) return errno;
  name_ = BesideName(st);
  int err = WriteNewFile(dir_fd_, name_, bytes);
  if (!IsPermissionRefusal(err)) return err;
  close(dir_fd_);
  dir_fd_ = OpenDirectory(kFallbackDirectory);
  if (dir_fd_ < 0) return err;
  name_ = FallbackName(st);
  return WriteNewFile(dir_fd_, name_, bytes);
}

int JournalFile::Drop() {
  if (unlinkat(dir_fd_, name_.c_str(), 0) != 0 && errno != ENOENT) return errno;
  return SyncDirectory(dir_fd_);
}

int RecoverJournal(int dir_fd, int fd, const struct stat& st) {
  if (int err = ApplyJournal(dir_fd, BesideName(st), fd, st)) return err;
  const int fallback = OpenDirectory(kFallbackDirectory);
  if (fallback < 0) return 0;
  const int err = ApplyJournal(fallback, FallbackName(st), fd, st);
  close(fallback);
  return err;
}

std::string TempName(const struct stat& st) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  static unsigned counter = 0;
  char name[96];
  std::snprintf(name, sizeof name, "%s%llu-%ld-%lx%x.tmp", kTempPrefix,
                static_cast<unsigned long long>(st.st_ino), static_cast<long>(getpid()),
                static_cast<unsigned long>(now.tv_nsec), counter++);
  return name;
}

void RemoveStaleTemps(int dir_fd, const struct stat& st) {
  const int list_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
  if (!listing) {
    if (list_fd >= 0) close(list_fd);
    return;
  }
  // Only a run holding the lock of the file `tag` writes temporary files
  // tagged so: this one, for its own file.
  while (const dirent* entry = readdir(listing)) {
    const ino_t tag = TempTag(entry->d_name);
    if (tag != 0 && (tag == st.st_ino || IsAbandonedOldFile(dir_fd, entry->d_name, tag))) {
      unlinkat(dir_fd, entry->d_name, 0);
    }
  }
  closedir(listing);
}

}  // namespace varnok
