// Giving a new file everything the script had on POSIX: owner and group, mode
// bits and extended attributes (POSIX ACLs among them).
#include <errno.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "os/posix_io.h"
#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"

namespace varnok {

namespace {

// The names of `fd`'s extended attributes, each ending in NUL; false with
// errno set on failure.
bool ListAttributes(int fd, std::string* names) {
  while (true) {
    const ssize_t size = RetryOnSignal(flistxattr, fd, static_cast<char*>(nullptr), size_t{0});
    if (size <= 0) return names->clear(), size == 0;
    names->assign(static_cast<size_t>(size), '\0');
    const ssize_t got = RetryOnSignal(flistxattr, fd, &(*names)[0], names->size());
    if (got >= 0) return names->resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
  }
}

bool GetAttribute(int fd, const char* name, std::string* value) {
  while (true) {
    const ssize_t size = RetryOnSignal(fgetxattr, fd, name, static_cast<void*>(nullptr), size_t{0});
    if (size < 0) return false;
    value->assign(static_cast<size_t>(size), '\0');
    const ssize_t got = RetryOnSignal(fgetxattr, fd, name, static_cast<void*>(&(*value)[0]),
                                      value->size());
    if (got >= 0) return value->resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;
  }
}

// Copies every extended attribute of `from` that `to` lacks or holds with
// another value (a new file may already carry a security label).
int CopyAttributes(int from, int to) {
  std::string names, value, present;
  if (!ListAttributes(from, &names)) return errno == EOPNOTSUPP ? 0 : errno;
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* name = names.c_str() + at;
    if (!GetAttribute(from, name, &value)) {
      if (errno == ENODATA) continue;  // removed meanwhile
      return errno;
    }
    if (GetAttribute(to, name, &present) && present == value) continue;
    if (RetryOnSignal(ReplaceCalls().fsetxattr, to, name, static_cast<const void*>(value.data()),
                      value.size(), 0) != 0) {
      // An attribute the file system or the caller may not set cannot be
      // reproduced; that calls for a rewrite in place, as a refusal does.
      return errno == EOPNOTSUPP || errno == ERANGE || errno == E2BIG ? EPERM : errno;
    }
  }
  return 0;
}

}  // namespace

int CopyMetadata(int from, const struct stat& st, int to) {
  auto& calls = ReplaceCalls();
  if (RetryOnSignal(calls.fchown, to, st.st_uid, st.st_gid) != 0) return errno;
  if (RetryOnSignal(calls.fchmod, to, st.st_mode & 07777) != 0) return errno;
  if (int err = CopyAttributes(from, to)) return err;
  // An access ACL set by a caller outside the file's group clears setgid.
  struct stat now;
  if (fstat(to, &now) != 0) return errno;
  if ((now.st_mode & 07777) == (st.st_mode & 07777)) return 0;
  return RetryOnSignal(calls.fchmod, to, st.st_mode & 07777) != 0 ? errno : 0;
}

}  // namespace varnok
