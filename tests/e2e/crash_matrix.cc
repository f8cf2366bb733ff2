#include "crash_matrix.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <sstream>

#include "crash_scene.h"
#include "harness.h"

namespace e2e {

namespace {

const char* const kErrors[] = {"ENOSPC", "EIO", "EINTR", "EACCES"};

// Calls that a signal can interrupt (their manual pages list EINTR): only
// these are failed with EINTR, and the run must then try again and land.
bool CanBeInterrupted(const TracedCall& call) {
  static const char* const kInterruptible[] = {
      "read", "write", "writev", "pread64", "pwrite64", "openat", "fcntl", "flock",
      "fallocate", "ftruncate", "getrandom", "nanosleep", "clock_nanosleep", "poll", "wait4"};
  return std::find(std::begin(kInterruptible), std::end(kInterruptible), call.name) !=
         std::end(kInterruptible);
}

// Calls that no error can come out of: the kernel's brk reports failure by
// returning the old break (an injected errno reads as a wild break and
// crashes the allocator), exit_group does not return, and the process's
// own ids are always there (an injected errno would read as an id).
bool CanFail(const TracedCall& call) {
  static const char* const kNeverFail[] = {"brk",     "exit_group", "getuid", "geteuid",
                                           "getgid",  "getegid",    "getpid", "getppid",
                                           "gettid"};
  return std::find(std::begin(kNeverFail), std::end(kNeverFail), call.name) == std::end(kNeverFail);
}

// The syscall name at `at` in an strace line, empty for strace's own notes
// ("+++ exited ...", "--- SIGKILL ...").
std::string CallName(const std::string& line, size_t at) {
  const size_t paren = line.find('(', at);
  if (paren == std::string::npos || paren == at) return "";
  for (size_t i = at; i < paren; ++i) {
    if (!std::islower(static_cast<unsigned char>(line[i])) &&
        !std::isdigit(static_cast<unsigned char>(line[i])) && line[i] != '_') {
      return "";
    }
  }
  return line.substr(at, paren - at);
}

size_t FirstNaming(const std::vector<TracedCall>& calls, const std::string& text) {
  size_t at = 0;
  while (at < calls.size() && calls[at].line.find(text) == std::string::npos) ++at;
  return at;
}

// The first call after the loader's last mprotect before any call names
// `project`.
size_t FirstOwnCall(const std::vector<TracedCall>& calls, const std::string& project) {
  size_t own_from = 0;
  const size_t naming_project = FirstNaming(calls, '"' + project);
  for (size_t i = 0; i < naming_project; ++i) {
    if (calls[i].name == "mprotect") own_from = i + 1;
  }
  return own_from;
}

double Now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs of one path and size: the traced run under injections, the
// follow-up run, and the record of what came out.
class Matrix {
 public:
  Matrix(const CrashPath& path, CrashScene* scene, const std::string& log, CrashCounts* counts)
      : path_(path), scene_(*scene), log_(log), counts_(*counts) {}

  // A run of the change under strace with `injections`. `record` logs
  // every call; else only the injected ones are logged, and a run whose
  // last injection is an error stops only at those (seccomp-bpf: faster, but
  // strace delivers no injected signal there).
  RunResult Traced(const std::vector<std::string>& injections, bool record) const {
    std::vector<std::string> argv = path_.wrapper;
    for (const char* arg : {"strace", "-qq", "-f", "-s", "256", "-o"}) argv.push_back(arg);
    argv.push_back(log_);
    std::string injected;
    for (const std::string& injection : injections) {
      argv.push_back("-e");
      argv.push_back("inject=" + injection);
      injected += (injected.empty() ? "" : ",") + injection.substr(0, injection.find(':'));
    }
    if (!record) {
      if (injections.back().find(":error=") != std::string::npos) argv.push_back("--seccomp-bpf");
      argv.push_back("-e");
      argv.push_back("trace=" + injected);
    }
    argv.push_back("--");
    argv.push_back(VARNOK_PROGRAM);
    for (const std::string& argument : scene_.ChangeArguments()) argv.push_back(argument);
    RunOptions options{"\n"};
    options.timeout_seconds = 60;
    return RunCommand(argv, options);
  }

  std::string Log() const { return ReadFile(log_); }
  std::vector<TracedCall> Trace() const { return ParseTrace(Log(), scene_.project()); }

  // One crash point: `action` ("signal=KILL" or "error=E") at `call`, on top
  // of the `base` injections.
  void Try(const TracedCall& call, const std::string& action, std::vector<std::string> base) {
    if (!scene_.Prepare()) return;
    const bool kill = action == "signal=KILL";
    base.push_back(call.name + ":" + action + ":when=" + std::to_string(call.occurrence));
    const RunResult result = Traced(base, false);
    ++(kill ? counts_.kills : counts_.errors);
    const bool reached =
        kill ? result.status == -1 : ReadFile(log_).find(" (INJECTED)") != std::string::npos;
    if (!reached) ++counts_.missed;
    std::vector<std::string> argv = path_.wrapper;
    argv.push_back(VARNOK_PROGRAM);
    for (const std::string& argument : scene_.FollowUpArguments()) argv.push_back(argument);
    const RunResult follow_up = RunCommand(argv, RunOptions{"\n"});
    const Ending ending = EndingOf(result);
    std::vector<std::string> problems = scene_.Judge(ending, follow_up);
    // A signal that interrupts a call is no failure: the run tries again.
    if (action == "error=EINTR" && ending != Ending::kSuccess) {
      problems.insert(problems.begin(), "interrupted: a call failed with EINTR was not tried again");
    }
    if (ending == Ending::kUnexpected || (!kill && ending == Ending::kKilled)) {
      problems.insert(problems.begin(), "unexpected end: status " + std::to_string(result.status) +
                                            ", " + result.out.substr(0, 80) +
                                            result.err.substr(0, 200));
    }
    Record(call, action, problems);
  }

 private:
  void Record(const TracedCall& call, const std::string& action,
              const std::vector<std::string>& problems) {
    if (problems.empty()) return;
    ++(action == "signal=KILL" ? counts_.bad_kills : counts_.bad_errors);
    for (const std::string& problem : problems) {
      ++counts_.bad_by_kind[problem.substr(0, problem.find(':'))];
      counts_.details.push_back(action + " at " + call.name + " #" +
                                std::to_string(call.occurrence) + " {" + call.line.substr(0, 120) +
                                "}: " + problem);
    }
  }

  const CrashPath& path_;
  CrashScene& scene_;
  std::string log_;
  CrashCounts& counts_;
};

// For a path that starts with a failed flush: the injection that fails the
// first `flush_call` after the script's name was replaced; empty when the
// recorded calls have none.
std::string FlushFailure(const CrashPath& path, const std::vector<TracedCall>& calls) {
  bool renamed = false;
  for (const TracedCall& call : calls) {
    renamed = renamed || (call.name.rfind("rename", 0) == 0 &&
                          call.line.find("\"s.ini\"") != std::string::npos);
    if (renamed && call.name == path.flush_call) {
      return call.name + ":error=EIO:when=" + std::to_string(call.occurrence);
    }
  }
  return "";
}

// The recorded run of a path: its calls, the injections every crash point
// runs under, and where the crash points start.
struct Recording {
  std::vector<TracedCall> calls;
  std::vector<std::string> base;
  size_t first = 0;
};

// Records one run for `path` (under the failed flush, for the roll-back);
// false, with a failure recorded, when the run does not take the path.
bool Record(const CrashPath& path, CrashScene* scene, const Matrix& matrix, Recording* out) {
  if (!scene->Prepare()) return false;
  matrix.Traced({}, true);
  out->calls = matrix.Trace();
  if (!path.flush_call.empty()) {
    const std::string flush_failure = FlushFailure(path, out->calls);
    if (flush_failure.empty() || !scene->Prepare()) {
      ADD_FAILURE() << path.name << ": no " << path.flush_call << " after the rename";
      return false;
    }
    out->base.push_back(flush_failure);
    matrix.Traced(out->base, true);
    out->calls = matrix.Trace();
    out->first = FirstNaming(out->calls, " (INJECTED)") + 1;  // the points after the failure
  }
  const std::string why_not = path.why_not_taken(out->calls);
  if (why_not.empty() && out->first <= out->calls.size()) return true;
  ADD_FAILURE() << path.name << " is not taken: " << why_not << "\n" << matrix.Log();
  return false;
}

}  // namespace

std::vector<TracedCall> ParseTrace(const std::string& log, const std::string& project) {
  std::vector<TracedCall> calls;
  std::map<std::string, int> seen;
  std::istringstream in(log);
  std::string line, program_pid;
  bool started = false;
  while (std::getline(in, line)) {
    size_t at = 0;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
    const std::string pid = line.substr(0, at);
    while (at < line.size() && line[at] == ' ') ++at;
    const std::string name = CallName(line, at);
    if (name.empty() || (started && pid != program_pid)) continue;
    if (!started) {
      // strace counts a tracee's calls from after its first execve.
      started = name == "execve" && CallSucceeded(line);
      program_pid = pid;
      continue;
    }
    calls.push_back({name, ++seen[name], false, line.substr(at)});
  }
  for (size_t i = FirstOwnCall(calls, project); i < calls.size(); ++i) calls[i].own = true;
  return calls;
}

bool CallSucceeded(const std::string& line) {
  const size_t result = line.rfind(" = ");
  return result != std::string::npos && result + 3 < line.size() && line[result + 3] != '-' &&
         line[result + 3] != '?';
}

CrashCounts RunCrashMatrix(const CrashPath& path, size_t size, bool grow, bool whole_run,
                           const std::string& parent) {
  CrashCounts counts;
  const double started = Now();
  const std::unique_ptr<TempDir> owned = parent.empty() ? std::make_unique<TempDir>()
                                                        : std::make_unique<TempDir>(parent);
  const TempDir& root = *owned;
  const std::string logs = root.path() + "/logs";
  chmod(root.path().c_str(), 0755);
  mkdir(logs.c_str(), 0777);
  chmod(logs.c_str(), 0777);  // the unprivileged runner's strace writes here
  CrashScene scene(root.path(), path, size, grow);
  Matrix matrix(path, &scene, logs + "/trace", &counts);
  Recording recording;
  if (!Record(path, &scene, matrix, &recording)) return counts;
  const std::vector<TracedCall>& calls = recording.calls;
  size_t first = recording.first;
  if (!whole_run) first = std::max(first, FirstNaming(calls, "\"s.ini\""));
  for (size_t i = first; i < calls.size(); ++i) {
    const TracedCall& call = calls[i];
    // strace keeps one injection per syscall, so a later call of the failed
    // flush's syscall cannot be killed in the same run; a flush changes
    // nothing another process reads, so the kill at the next call stands in.
    if (!path.flush_call.empty() && call.name == path.flush_call) continue;
    ++counts.calls;
    matrix.Try(call, "signal=KILL", recording.base);
    if (!recording.base.empty() || !call.own || !CanFail(call)) continue;
    ++counts.own;
    for (const char* error : kErrors) {
      if (std::string(error) == "EINTR" && !CanBeInterrupted(call)) continue;
      matrix.Try(call, std::string("error=") + error, recording.base);
    }
  }
  counts.seconds = Now() - started;
  return counts;
}

std::string CrashTableHeader() {
  return "path                                     calls  own  kills errors missed  bad:kill error"
         "  seconds  bad outcomes by kind\n";
}

std::string CrashTableRow(const std::string& label, const CrashCounts& counts) {
  char row[160];
  std::snprintf(row, sizeof row, "%-40s %5d %4d %6d %6d %6d %9d %5d %8.1f ", label.c_str(),
                counts.calls, counts.own, counts.kills, counts.errors, counts.missed,
                counts.bad_kills, counts.bad_errors, counts.seconds);
  std::string text = row;
  for (const auto& [kind, count] : counts.bad_by_kind) {
    text += " " + kind + " " + std::to_string(count);
  }
  return text + "\n";
}

}  // namespace e2e
