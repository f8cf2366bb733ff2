// The turn on POSIX: an open-file-description lock on the whole file, a
// write lock that only a descriptor open for writing can take, waited for
// in slices that a timer ends, so that the wait has a bound.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>

#include "file/file_replace_state-posix.h"
#include "os/posix_io.h"

namespace varnok {

namespace {

// The lock request for the whole file: a write lock, or a read lock for a
// descriptor that may only read.
struct flock WholeFile(bool writer) {
  struct flock lock = {};
  lock.l_type = writer ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  return lock;
}

// Waits for `lock` on `fd` in slices of at most a second, each ended by a
// timer, until `deadline`. 0, ETIMEDOUT, or the errno of a failed request.
int WaitForLock(int fd, struct flock lock, int command,
                std::chrono::steady_clock::time_point deadline) {
  struct sigaction quiet = {}, saved = {};
  quiet.sa_handler = [](int) {};  // only to end the wait: no SA_RESTART
  sigemptyset(&quiet.sa_mask);
  sigaction(SIGALRM, &quiet, &saved);
  int err = ETIMEDOUT;
  for (auto now = std::chrono::steady_clock::now(); now < deadline;
       now = std::chrono::steady_clock::now()) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    const long slice = left.count() < 1000000 ? static_cast<long>(left.count()) : 1000000;
    struct itimerval timer = {{0, 0}, {slice / 1000000, slice % 1000000}};
    setitimer(ITIMER_REAL, &timer, nullptr);
    if (fcntl(fd, command, &lock) == 0) {
      err = 0;
      break;
    }
    if (errno != EINTR) {
      err = errno;
      break;
    }
  }
  const struct itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &saved, nullptr);
  return err;
}

}  // namespace

int TakeTurn(int fd, bool writer, std::chrono::steady_clock::time_point deadline) {
  const struct flock lock = WholeFile(writer);
  int err = EINVAL;
#ifdef F_OFD_SETLKW
  if (RetryOnSignal(fcntl, fd, F_OFD_SETLK, &lock) == 0) return 0;
  err = errno == EAGAIN || errno == EACCES ? WaitForLock(fd, lock, F_OFD_SETLKW, deadline) : errno;
#endif
  // Without open-file-description locks, a lock of the process: this run
  // closes no other descriptor of the file while it holds it.
  if (err == EINVAL) err = WaitForLock(fd, lock, F_SETLKW, deadline);
  return err == ENOLCK || err == EOPNOTSUPP ? 0 : err;
}

}  // namespace varnok
