// Small POSIX helpers shared by the console, the directory listing and the
// file replacement: opening directories by paths of any length, writing whole
// buffers, and the console error code of an errno value.
#ifndef VARNOK_OS_POSIX_IO_H_
#define VARNOK_OS_POSIX_IO_H_

#include <errno.h>
#include <sys/uio.h>

#include <cstddef>
#include <string>

namespace varnok {

/// Makes `call(args...)` again for as long as a signal interrupts it: while
/// it answers -1 with errno EINTR.
template <typename Call, typename... Args>
auto RetryOnSignal(Call call, Args... args) {
  while (true) {
    auto result = call(args...);
    if (result != -1 || errno != EINTR) return result;
  }
}

/// Opens the directory `path` (links followed) for reading. Paths longer than
/// PATH_MAX are opened piece by piece. -1 with errno set on failure.
int OpenDirectory(const std::string& path);

/// Writes every byte of `parts` with `write_call`, resuming after signals and
/// short writes. 0, or the errno of the write that failed.
int WriteAll(int fd, struct iovec* parts, int count,
             ssize_t (*write_call)(int, const struct iovec*, int) = writev);

/// Writes every byte of `data`; 0 or an errno.
int WriteAll(int fd, const char* data, size_t size);

/// The console error code of `errnum`: 2 not found, 4 too many open files,
/// 5 access denied, 101 disk full, else errnum itself.
int InOutCode(int errnum);

}  // namespace varnok

#endif  // VARNOK_OS_POSIX_IO_H_
