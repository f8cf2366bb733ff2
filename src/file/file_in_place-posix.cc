// The rewrite of the script in place on POSIX, for a file that must keep its
// identity: the bytes it will change are saved in a journal and the file is
// marked first, so a kill at any moment is undone by the next run that opens
// the file through any of its names. Setuid, setgid and file capabilities,
// which a write clears, are given back; where this run could not give them
// back, the file is not written.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"
#include "os/posix_io.h"

namespace varnok {

namespace {

std::string Joined(const struct iovec* parts, int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes.append(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
  return bytes;
}

}  // namespace

int LockedFile::State::ReplaceInPlace(const struct iovec* parts, int count) {
  struct iovec copy[3] = {};
  size_t new_size = 0, keep = 0;
  for (int i = 0; i < count; ++i) copy[i] = parts[i], new_size += parts[i].iov_len;
  // The leading bytes that stay need no rewrite, nor saving.
  while (keep < copy[0].iov_len && keep < old->size() &&
         static_cast<const char*>(copy[0].iov_base)[keep] == (*old)[keep]) {
    ++keep;
  }
  copy[0].iov_base = static_cast<char*>(copy[0].iov_base) + keep;
  copy[0].iov_len -= keep;
  const Privileges held = PrivilegesOf(fd, st);
  problem = PrivilegesAtRisk(held, st);
  if (!problem.empty()) return EPERM;
  touched = false;
  JournalFile journal;
  const JournalRecord record{FileIdentity(fd, st), "", keep, old->substr(keep), Joined(copy, count)};
  if (int err = journal.Save(fd, dir_fd, dir, record)) {
    if (err == EOPNOTSUPP) problem = "its file system keeps no extended attributes, which a rewrite in place needs";
    return err;
  }
  int err = WriteInPlace(new_size, keep, copy, count);
  if (err == 0 && RestorePrivileges(fd, held) != 0) {
    problem = "its setuid or setgid bit or its file capabilities could not be kept";
    err = EPERM;
  }
  if (err == 0 && !journal.Intact()) {
    problem = "somebody else moved or removed its journal while it was written";
    err = EPERM;
  }
  if (err == 0 && (err = journal.Finish()) == 0) return 0;
  // Put the old bytes back now; where that fails too, the journal stays and
  // the next run that opens the file puts them back.
  if (RestoreInPlace(keep) == 0) {
    RestorePrivileges(fd, held);
    journal.Finish();
  }
  return err;
}

// The new bytes from offset `keep` on, and the new size; 0 or an errno.
int LockedFile::State::WriteInPlace(size_t new_size, size_t keep, struct iovec* parts, int count) {
  auto& calls = ReplaceCalls();
  const size_t old_size = old->size();
  if (new_size > old_size) {
    // Reserve the room first, so a full disk mostly fails before a byte changes.
    int err;
    do {
      err = calls.posix_fallocate(fd, static_cast<off_t>(old_size),
                                  static_cast<off_t>(new_size - old_size));
    } while (err == EINTR);
    if (err != 0 && err != EOPNOTSUPP && err != EINVAL) return err;
  }
  if (lseek(fd, static_cast<off_t>(keep), SEEK_SET) < 0) return errno;
  touched = true;
  if (int err = WriteAll(fd, parts, count, calls.writev)) return err;
  if (new_size < old_size &&
      RetryOnSignal(calls.ftruncate, fd, static_cast<off_t>(new_size)) != 0) {
    return errno;
  }
  return RetryOnSignal(calls.fsync, fd) != 0 ? errno : 0;
}

// After a failed rewrite in place: the old bytes from `keep` on and the old
// size back (a failed fallocate may have grown the file). The bytes before
// `keep` were never touched. 0 or an errno.
int LockedFile::State::RestoreInPlace(size_t keep) {
  auto& calls = ReplaceCalls();
  struct iovec back = {const_cast<char*>(old->data()) + keep, old->size() - keep};
  // Untouched bytes need no rewrite, which may fail where the first write
  // did (past the file-size limit).
  if (touched && lseek(fd, static_cast<off_t>(keep), SEEK_SET) < 0) return errno;
  if (int err = touched ? WriteAll(fd, &back, 1, calls.writev) : 0) return err;
  if (RetryOnSignal(calls.ftruncate, fd, static_cast<off_t>(old->size())) != 0) return errno;
  return RetryOnSignal(calls.fsync, fd) != 0 ? errno : 0;
}

}  // namespace varnok
