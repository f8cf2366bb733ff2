// The system calls through which the POSIX file replacement changes the disk,
// one for each step that can fail. The program always makes the real calls:
// nothing in it changes this table. Tests put in doubles that fail a chosen
// call, to prove that every failure leaves the old file whole.
#ifndef VARNOK_FILE_FILE_REPLACE_CALLS_POSIX_H_
#define VARNOK_FILE_FILE_REPLACE_CALLS_POSIX_H_

#include <sys/types.h>
#include <sys/uio.h>

namespace varnok {

struct FileReplaceCalls {
  /// Creates the temporary file (openat with a mode).
  int (*create)(int dir_fd, const char* name, int flags, mode_t mode);
  int (*fchmod)(int fd, mode_t mode);
  ssize_t (*writev)(int fd, const struct iovec* parts, int count);
  /// Flushes the new file, a file rewritten in place, or the directory.
  int (*fsync)(int fd);
  int (*linkat)(int from_dir, const char* from, int to_dir, const char* to, int flags);
  int (*renameat)(int from_dir, const char* from, int to_dir, const char* to);
  /// Answers an errno, as posix_fallocate does.
  int (*posix_fallocate)(int fd, off_t offset, off_t length);
  int (*ftruncate)(int fd, off_t length);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*fsetxattr)(int fd, const char* name, const void* value, size_t size, int flags);
  /// Swaps two names atomically (renameat2 with RENAME_EXCHANGE); -1 with
  /// errno EINVAL, ENOSYS or EOPNOTSUPP where the system cannot.
  int (*exchange)(int from_dir, const char* from, int to_dir, const char* to);
};

/// The calls the file replacement makes: the real ones unless a test put
/// others in.
FileReplaceCalls& ReplaceCalls();

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_REPLACE_CALLS_POSIX_H_
