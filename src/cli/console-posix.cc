#include "cli/console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/failure.h"
#include "os/posix_io.h"

namespace varnok {

namespace {

constexpr char kCtrlZ = 26;
constexpr int kStdinClosedCode = 104;
constexpr int kStdoutClosedCode = 105;

bool g_closed[3] = {false, false, false};

// One read from standard input, waiting where it was left non-blocking.
ssize_t ReadInput(char* buffer, size_t size) {
  while (true) {
    ssize_t got = read(STDIN_FILENO, buffer, size);
    if (got >= 0) return got;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd wait = {STDIN_FILENO, POLLIN, 0};
      poll(&wait, 1, -1);
    } else if (errno != EINTR) {
      RaiseInOutError(InOutCode(errno));
    }
  }
}

// Position of the byte that ends the wait in `buffer`, or `size` if none.
size_t FindWaitEnd(const char* buffer, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (buffer[i] == '\n' || buffer[i] == kCtrlZ) return i;
  }
  return size;
}

// From a regular file the wait reads in blocks and then seeks back, so the
// rest of the input stays for whoever reads next. Pipes and terminals are
// read a byte at a time for the same reason.
void WaitInFile() {
  char buffer[4096];
  while (ssize_t got = ReadInput(buffer, sizeof buffer)) {
    size_t end = FindWaitEnd(buffer, static_cast<size_t>(got));
    if (end < static_cast<size_t>(got)) {
      lseek(STDIN_FILENO, static_cast<off_t>(end + 1) - got, SEEK_CUR);
      return;
    }
  }
}

}  // namespace

void PrepareConsole() {
  signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit then fails with EFBIG, which the
  // writer reports, instead of killing the run halfway.
  signal(SIGXFSZ, SIG_IGN);
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    g_closed[fd] = true;
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

void WriteOutputLine(std::string_view line) {
  if (g_closed[STDOUT_FILENO]) RaiseInOutError(kStdoutClosedCode);
  std::string text(line);
  text.append(kLineEnd);
  if (int err = WriteAll(STDOUT_FILENO, text.data(), text.size())) RaiseInOutError(InOutCode(err));
}

void WaitForEnter() {
  if (g_closed[STDIN_FILENO]) RaiseInOutError(kStdinClosedCode);
  struct stat st;
  if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) return WaitInFile();
  char c = 0;
  while (ReadInput(&c, 1) == 1) {
    if (c == '\n' || c == kCtrlZ) return;
  }
}

void WriteErrorText(std::string_view text) {
  WriteAll(STDERR_FILENO, text.data(), text.size());
}

}  // namespace varnok
