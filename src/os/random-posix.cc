#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "os/random.h"

namespace varnok {

namespace {

// Reads `out` from `fd` from `filled` on; how far it got.
size_t FillFrom(int fd, std::string* out, size_t filled) {
  while (filled < out->size()) {
    const ssize_t got = read(fd, &(*out)[filled], out->size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
  }
  return filled;
}

}  // namespace

// getrandom, or /dev/urandom where the system lacks it.
bool SystemRandom(std::string* out) {
  size_t filled = 0;
  while (filled < out->size()) {
    const ssize_t got = getrandom(&(*out)[filled], out->size() - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
  }
  if (filled == out->size()) return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  filled = FillFrom(fd, out, filled);
  close(fd);
  return filled == out->size();
}

}  // namespace varnok
