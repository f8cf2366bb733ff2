// Running the built program in temporary trees, for the end-to-end tests.
#ifndef VARNOK_TESTS_E2E_HARNESS_H_
#define VARNOK_TESTS_E2E_HARNESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

/// Whether the tests were built with AddressSanitizer, whose slower runs some
/// tests leave out.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

/// Skips the current test with the reason `why` unless it is empty. (A skip
/// inside a helper function would end only the helper.)
#define E2E_SKIP_IF(why)                          \
  do {                                            \
    const std::string why_not = (why);            \
    if (!why_not.empty()) GTEST_SKIP() << why_not; \
  } while (false)

struct RunOptions {
  std::string input;                 // standard input, through a pipe
  bool input_from_file = false;      // give `input` as a regular file instead
  bool close_stdin = false;
  bool close_stdout = false;
  bool stdout_to_full_device = false;
  bool stdout_to_closed_pipe = false;
  int max_open_files = 0;            // RLIMIT_NOFILE when non-zero
  long max_file_size = 0;            // RLIMIT_FSIZE in bytes when non-zero
  int timeout_seconds = 30;          // killed, status -1, after this long
};

struct RunResult {
  int status = -1;  // exit status; -1 when killed or timed out
  std::string out;
  std::string err;
};

/// Whether the program under test is the Windows build, run under Wine:
/// the environment variable VARNOK_E2E_WINDOWS_PROGRAM names a command that
/// runs it. It reads every "/" in an argument as "-", ends its lines with
/// CR LF, names itself varnok.exe and sees this system's paths on drive Z:.
bool TestingWindowsBuild();

/// Runs the program with `arguments` and waits for it.
RunResult RunVarnok(const std::vector<std::string>& arguments, const RunOptions& options = {});

/// Runs any command (argv[0] looked up in PATH); the program is "$VARNOK".
RunResult RunCommand(const std::vector<std::string>& argv, const RunOptions& options = {});

/// Starts the program without waiting; stdin, stdout and stderr are /dev/null.
pid_t Start(const std::vector<std::string>& arguments);

/// Starts any command without waiting, as Start does.
pid_t StartCommand(const std::vector<std::string>& argv);

/// The command that runs the Windows test tool (tests/e2e/wine_tool.cc)
/// under Wine: the environment variable VARNOK_E2E_WINDOWS_TOOL; empty when
/// it is not set.
std::string WindowsTool();

/// Waits up to `seconds` for `path` to exist; whether it does.
bool WaitForFile(const std::string& path, int seconds);

/// The exit status of a started program (-1 when it was killed).
int Wait(pid_t pid);

/// The usage screen for `error` and `echo`, as the program writes it.
std::string UsageScreen(const std::string& error, const std::string& echo);

/// Whether `text` is the failure report of `kind` and `message`.
bool IsReport(const std::string& text, const std::string& kind, const std::string& message);

/// "-P:" and the path, as the program gets it.
std::string ProjectArg(const std::string& dir);

/// `path` as the program names it: on Windows "Z:" and backslashes.
std::string ProgramPath(const std::string& path);

/// `text` within an argument as the program reads it: on Windows with every
/// "/" turned into "-".
std::string AsRead(const std::string& text);

/// The line end of the program's output.
std::string LineEnd();

/// Opens `path` for writing and takes the lock a run of the program takes
/// there (an open-file-description write lock on the whole file), waiting
/// for it; the descriptor, closing it releases the lock; -1 on failure.
int HoldWriteLock(const std::string& path);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

/// A fresh directory, removed with all it holds when the object dies.
class TempDir {
 public:
  TempDir();
  /// A fresh directory in `parent` instead of $TMPDIR or /tmp.
  explicit TempDir(const std::string& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// Writes `content` to `relative` (parents created); the full path.
  std::string Write(const std::string& relative, const std::string& content) const;
  std::string Read(const std::string& relative) const;
  /// The names in `relative`, sorted, "." and ".." left out.
  std::vector<std::string> List(const std::string& relative = ".") const;

 private:
  std::string path_;
};

}  // namespace e2e

#endif  // VARNOK_TESTS_E2E_HARNESS_H_
