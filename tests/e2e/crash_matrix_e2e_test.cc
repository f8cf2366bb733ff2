// A crash point at every system call of every write path, against the built
// program under strace: the file comes out exactly old or new, a failure
// report means old and status 0 means new, nothing named .varnok-* stays,
// and owner, mode bits, ACL and hard links are kept. Each path runs on a
// 1 KiB and a 1 MiB script and prints its row of the table of counts.
#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "crash_matrix.h"
#include "harness.h"
#include "scratch_fs.h"

namespace e2e {
namespace {

using Calls = std::vector<TracedCall>;

std::string WhyNotRunnable() {
  if (TestingWindowsBuild()) return "strace traces the POSIX program only";
  if (kSanitized) return "the sanitizers' own system calls would swamp the matrix";
  if (geteuid() != 0) return "needs root: owners, ACLs, another user, mount namespaces";
  if (RunCommand({"strace", "-V"}).status != 0) return "strace is not installed";
  return "";
}


bool Any(const Calls& calls, size_t from, bool (*matches)(const TracedCall&)) {
  return std::any_of(calls.begin() + static_cast<long>(std::min(from, calls.size())), calls.end(),
                     matches);
}

bool RenamedOntoScript(const TracedCall& call) {
  return call.name.rfind("rename", 0) == 0 && call.line.find("\"s.ini\"") != std::string::npos &&
         CallSucceeded(call.line);
}

bool LinkedAnonymousFile(const TracedCall& call) {
  return call.name == "linkat" && call.line.find("/proc/self/fd/") != std::string::npos &&
         CallSucceeded(call.line);
}

bool CreatedNamedTemporary(const TracedCall& call) {
  return call.name == "openat" && call.line.find("\".varnok-") != std::string::npos &&
         call.line.find("O_CREAT") != std::string::npos && CallSucceeded(call.line);
}

bool OpenedAnonymousFile(const TracedCall& call) {
  return call.name == "openat" && call.line.find("O_TMPFILE") != std::string::npos &&
         CallSucceeded(call.line);
}

bool CreationRefused(const TracedCall& call) {
  return call.name == "openat" &&
         (call.line.find("O_TMPFILE") != std::string::npos ||
          call.line.find("O_CREAT") != std::string::npos) &&
         call.line.find("= -1 EACCES") != std::string::npos;
}

bool Wrote(const TracedCall& call) {
  return (call.name == "write" || call.name == "writev" || call.name.rfind("pwrite", 0) == 0) &&
         CallSucceeded(call.line);
}

std::string WhyNotRenamedAnonymous(const Calls& calls) {
  if (!Any(calls, 0, OpenedAnonymousFile)) return "no O_TMPFILE file";
  if (!Any(calls, 0, LinkedAnonymousFile)) return "no link of the anonymous file";
  return Any(calls, 0, RenamedOntoScript) ? "" : "no rename onto the script";
}

std::string WhyNotRenamedNamed(const Calls& calls) {
  if (Any(calls, 0, LinkedAnonymousFile)) return "an anonymous file was linked";
  if (!Any(calls, 0, CreatedNamedTemporary)) return "no named temporary file";
  return Any(calls, 0, RenamedOntoScript) ? "" : "no rename onto the script";
}

// The first argument of a call as strace printed it, and what it returned.
std::string FirstArgument(const TracedCall& call) {
  const size_t open = call.line.find('('), end = call.line.find_first_of(",)", open);
  return open == std::string::npos ? "" : call.line.substr(open + 1, end - open - 1);
}
std::string Result(const TracedCall& call) {
  const size_t at = call.line.rfind(" = ");
  return at == std::string::npos ? "" : call.line.substr(at + 3, call.line.find(' ', at + 3) - at - 3);
}

bool Is(const TracedCall& call, const char* name, const std::string& fd) {
  return call.name == name && FirstArgument(call) == fd && CallSucceeded(call.line);
}

// Why the recorded rewrite in place changed the script before its journal,
// the journal's directory and the mark that says "writing" were flushed;
// empty when it did not.
std::string WhyNotJournaledFirst(const Calls& calls) {
  std::string script, journal, journal_dir;
  bool journal_flushed = false, dir_flushed = false, marked = false, mark_flushed = false;
  for (const TracedCall& call : calls) {
    if (call.name == "openat" && call.line.find("\"s.ini\", O_RDWR") != std::string::npos) {
      script = Result(call);
    } else if (call.name == "openat" && call.line.find(".journal\", O_WRONLY|O_CREAT") != std::string::npos) {
      journal_dir = FirstArgument(call), journal = Result(call);
    } else if (Is(call, "fsync", journal)) {
      journal_flushed = true;
    } else if (Is(call, "fsync", journal_dir)) {
      dir_flushed = journal_flushed;
    } else if (Is(call, "fsetxattr", script) && call.line.find("\"varnokM1W") != std::string::npos) {
      marked = dir_flushed;
    } else if (Is(call, "fsync", script)) {
      mark_flushed = mark_flushed || marked;
    } else if ((call.name == "writev" || call.name == "fallocate" || call.name == "ftruncate" ||
                call.name.rfind("pwrite", 0) == 0) && FirstArgument(call) == script) {
      if (!mark_flushed) return "the script was changed before its journal and mark were flushed: " + call.line;
      return "";
    }
  }
  return "the script was never changed";
}

std::string WhyNotInPlace(const Calls& calls) {
  if (Any(calls, 0, RenamedOntoScript)) return "the script was replaced by a rename";
  if (!Any(calls, 0, Wrote)) return "nothing written";
  return WhyNotJournaledFirst(calls);
}

std::string WhyNotRefusedInPlace(const Calls& calls) {
  if (!Any(calls, 0, CreationRefused)) return "the directory did not refuse a new file";
  return WhyNotInPlace(calls);
}

// The calls after the failed flush, which `calls` starts from, must put
// the old file back by a rename.
std::string WhyNotRolledBack(const Calls& calls) {
  size_t failed = 0;
  while (failed < calls.size() && calls[failed].line.find(" (INJECTED)") == std::string::npos) {
    ++failed;
  }
  if (failed == calls.size()) return "the flush was not failed";
  return Any(calls, failed + 1, RenamedOntoScript) ? "" : "no rename back after the failed flush";
}

// Each path runs as two tests, on a 1 KiB and on a 1 MiB script, so that
// each stays well within the test timeout on busy machines.
class CrashMatrix : public ::testing::TestWithParam<size_t> {
 protected:
  // Runs the matrix on this test's size; every bad outcome is a failure of
  // its own.
  void Run(const CrashPath& path, bool grow = true) { RunOn(path, GetParam(), grow, "", ""); }

 public:
  // The matrix for `path` at `size` in `parent`, its rows labelled with `where`.
  static void RunOn(const CrashPath& path, size_t size, bool grow, const std::string& parent,
                    const std::string& where) {
    // The matrix keeps a core busy for minutes; at a lower priority (which
    // its runs inherit) the timed tests beside it do not starve.
    const int priority = getpriority(PRIO_PROCESS, 0);
    setpriority(PRIO_PROCESS, 0, priority + 10);
    // The file's size matters only from the script's open on: the calls
    // before it (the loader's, the console's, the search's) are tried on
    // the small file only.
    const CrashCounts counts = RunCrashMatrix(path, size, grow, size == 1024 && parent.empty(), parent);
    setpriority(PRIO_PROCESS, 0, priority);
    const std::string label = path.name + (size == 1024 ? ", 1 KiB" : ", 1 MiB") + where;
    for (const std::string& detail : counts.details) ADD_FAILURE() << label << ": " << detail;
    EXPECT_GT(counts.kills, 0) << label;
    // A missed injection means the run's calls differed from the recorded
    // ones; a few may (timing), most must land where they were aimed.
    EXPECT_LE(counts.missed * 20, counts.kills + counts.errors) << label;
    std::printf("%s%s", CrashTableHeader().c_str(), CrashTableRow(label, counts).c_str());
  }
};

INSTANTIATE_TEST_SUITE_P(Sizes, CrashMatrix, ::testing::Values(size_t{1024}, size_t{1} << 20),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return info.param == 1024 ? std::string("1KiB") : std::string("1MiB");
                         });

TEST_P(CrashMatrix, RenameWithAnonymousTemporary) {
  E2E_SKIP_IF(WhyNotRunnable());
  Run({"rename, O_TMPFILE", {}, false, false, "", WhyNotRenamedAnonymous});
}

TEST_P(CrashMatrix, RenameWithNamedTemporary) {
  E2E_SKIP_IF(WhyNotRunnable());
  // Without /proc an anonymous file cannot be given a name. This process
  // and the runs it starts get a mount namespace of their own, where an
  // empty file system covers /proc while the test runs.
  ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
  ASSERT_EQ(mount("none", "/proc", "tmpfs", 0, nullptr), 0) << strerror(errno);
  Run({"rename, named temporary", {}, false, false, "", WhyNotRenamedNamed});
  EXPECT_EQ(umount("/proc"), 0) << strerror(errno);
}

TEST_P(CrashMatrix, HardLinkedInPlaceGrowing) {
  E2E_SKIP_IF(WhyNotRunnable());
  Run({"in place, hard link, growing", {}, true, false, "", WhyNotInPlace});
}

TEST_P(CrashMatrix, HardLinkedInPlaceShrinking) {
  E2E_SKIP_IF(WhyNotRunnable());
  Run({"in place, hard link, shrinking", {}, true, false, "", WhyNotInPlace}, false);
}

TEST_P(CrashMatrix, DirectoryRefusingNewFilesAsUnprivilegedUser) {
  E2E_SKIP_IF(WhyNotRunnable());
  const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                              "--clear-groups"};
  Run({"in place, directory refuses", as_nobody, false, true, "", WhyNotRefusedInPlace});
}

TEST_P(CrashMatrix, RollBackAfterFailedDirectoryFlush) {
  E2E_SKIP_IF(WhyNotRunnable());
  Run({"roll-back after failed flush", {}, false, false, "fsync", WhyNotRolledBack});
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The paths that write the script on every other kind of file system, made
// for the test: a replacement and a rewrite in place, on a 1 KiB script from
// its open on (the search before it is the same everywhere).
class CrashMatrixOn : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    E2E_SKIP_IF(WhyNotRunnable());
    fs_ = std::make_unique<ScratchFs>(GetParam());
    if (!fs_->mounted()) GTEST_SKIP() << fs_->why_not();
  }
  void Run(const CrashPath& path) {
    chmod(fs_->path().c_str(), 0755);
    CrashMatrix::RunOn(path, 1024, true, fs_->path(), ", " + GetParam());
  }
  std::unique_ptr<ScratchFs> fs_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, CrashMatrixOn,
                         ::testing::Values("ext4", "xfs", "btrfs", "tmpfs"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(CrashMatrixOn, RenameWithAnonymousTemporary) {
  Run({"rename, O_TMPFILE", {}, false, false, "", WhyNotRenamedAnonymous});
}

TEST_P(CrashMatrixOn, HardLinkedInPlaceGrowing) {
  Run({"in place, hard link, growing", {}, true, false, "", WhyNotInPlace});
}

}  // namespace
}  // namespace e2e
