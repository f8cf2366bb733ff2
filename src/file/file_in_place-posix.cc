// The rewrite of the script in place on POSIX, for a file that must keep its
// identity: the bytes it will change are saved in a journal first, so a kill
// at any moment is undone by the next run that opens the file.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "os/posix_io.h"
#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"

namespace varnok {

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
  touched = false;
  JournalFile journal;
  const JournalRecord record{JournalIdentity(st), old->size(), keep, old->substr(keep)};
  if (int err = journal.Save(dir_fd, st, record)) return err;
  int err = WriteInPlace(new_size, keep, copy, count);
  if (err == 0) err = journal.Drop();
  if (err == 0) return 0;
  // Put the old bytes back now; where that fails too, the journal stays and
  // the next run that opens the file puts them back.
  if (RestoreInPlace(keep) == 0) journal.Drop();
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
