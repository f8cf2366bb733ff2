#include "os/posix_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace varnok {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

// Opens a path longer than PATH_MAX in pieces that each fit, every piece
// relative to the directory the previous one opened.
int OpenLongDirectory(const std::string& path) {
  int fd = AT_FDCWD;
  size_t pos = 0;
  while (true) {
    while (pos > 0 && pos < path.size() && path[pos] == '/') ++pos;
    if (pos >= path.size()) return fd;
    size_t end = path.size();
    if (end - pos >= PATH_MAX) {
      end = path.rfind('/', pos + PATH_MAX - 1);
      if (end == std::string::npos || end <= pos) end = pos;
    }
    int next = -1;
    if (end > pos) {
      next = RetryOnSignal(openat, fd, path.substr(pos, end - pos).c_str(), kDirectoryFlags);
    } else {
      errno = ENAMETOOLONG;
    }
    int saved = errno;
    if (fd != AT_FDCWD) close(fd);
    errno = saved;
    if (next < 0) return -1;
    fd = next;
    pos = end;
  }
}

}  // namespace

int OpenDirectory(const std::string& path) {
  if (path.size() < PATH_MAX) return RetryOnSignal(open, path.c_str(), kDirectoryFlags);
  return OpenLongDirectory(path);
}

int WriteAll(int fd, struct iovec* parts, int count,
             ssize_t (*write_call)(int, const struct iovec*, int)) {
  while (count > 0) {
    if (parts->iov_len == 0) {
      ++parts;
      --count;
      continue;
    }
    ssize_t written = write_call(fd, parts, count > IOV_MAX ? IOV_MAX : count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;
    for (size_t left = static_cast<size_t>(written); left > 0;) {
      size_t step = left < parts->iov_len ? left : parts->iov_len;
      parts->iov_base = static_cast<char*>(parts->iov_base) + step;
      parts->iov_len -= step;
      left -= step;
      if (parts->iov_len == 0 && left > 0) ++parts, --count;
    }
  }
  return 0;
}

int WriteAll(int fd, const char* data, size_t size) {
  struct iovec part = {const_cast<char*>(data), size};
  return WriteAll(fd, &part, 1);
}

int InOutCode(int errnum) {
  switch (errnum) {
    case ENOENT: return 2;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM: return 5;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return 101;
    default: return errnum;
  }
}

}  // namespace varnok
