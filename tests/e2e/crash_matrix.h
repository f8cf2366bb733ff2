// A crash point at every system call of one run of the program. strace
// records a run's calls; then each call in turn is killed on entry, and each
// of the program's own calls is also failed with ENOSPC, EIO and EACCES, and
// with EINTR where a signal can interrupt it (the run must then try again and
// land). After every such run one more run opens the file as a user would,
// and the file must be exactly the old one or the new one, with nothing left
// beside it and nothing of its identity lost.
#ifndef VARNOK_TESTS_E2E_CRASH_MATRIX_H_
#define VARNOK_TESTS_E2E_CRASH_MATRIX_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace e2e {

/// One system call of a recorded run.
struct TracedCall {
  std::string name;    // as strace names it, which is what its inject= takes
  int occurrence = 0;  // 1 for the first call of `name` after the program's execve
  bool own = false;    // made by the program, not by the dynamic loader
  std::string line;    // as strace printed it
};

/// The calls of the first process of an `strace -f` log after its execve.
/// The program's own calls are those after the loader's last mprotect before
/// the first call that names `project` (the loader ends by write-protecting
/// the relocated data; the program's own work starts after that).
std::vector<TracedCall> ParseTrace(const std::string& log, const std::string& project);

/// Whether strace printed `line` for a call that succeeded.
bool CallSucceeded(const std::string& line);

/// One write path of the matrix, and how to recognise that a run took it.
struct CrashPath {
  std::string name;
  std::vector<std::string> wrapper;  // put before strace and the follow-up run
  bool hard_linked = false;          // a second name, which must keep seeing the file
  bool owned_by_runner = false;      // the file belongs to the (unprivileged) runner
  /// The syscall whose failure starts the path (the directory flush after the
  /// rename), failed at its first call after the rename; empty for none.
  std::string flush_call;
  /// Why the recorded calls do not take this path; empty when they do.
  std::function<std::string(const std::vector<TracedCall>&)> why_not_taken;
};

struct CrashCounts {
  int calls = 0;    // calls of the recorded run after the program started
  int own = 0;      // of them, the program's own that can fail
  int kills = 0;    // runs killed at a call
  int errors = 0;   // runs with one failed call
  int missed = 0;   // injections the run did not reach (its calls differed)
  int bad_kills = 0;   // killed runs with at least one bad outcome
  int bad_errors = 0;  // runs with a failed call and at least one bad outcome
  std::map<std::string, int> bad_by_kind;
  std::vector<std::string> details;  // one line per bad outcome
  double seconds = 0;
};

/// Runs the whole matrix for `path` on a script of about `size` bytes whose
/// value grows (or shrinks) by the change: at every call after the
/// program's execve when `whole_run`, else from the first call that names
/// the script. The trees lie in a fresh directory in `parent` ($TMPDIR or
/// /tmp when empty). Fails the current test when the path cannot be set up
/// or is not taken.
CrashCounts RunCrashMatrix(const CrashPath& path, size_t size, bool grow, bool whole_run,
                           const std::string& parent = "");

/// The table's header and one row of it.
std::string CrashTableHeader();
std::string CrashTableRow(const std::string& label, const CrashCounts& counts);

}  // namespace e2e

#endif  // VARNOK_TESTS_E2E_CRASH_MATRIX_H_
