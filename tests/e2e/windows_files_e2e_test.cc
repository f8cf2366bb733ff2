// The Windows build among other Windows programs, under Wine: a run's turn
// is the file's own, another program's hold on the file ends in the failure
// report, an editor's save is never lost, and a file system without named
// streams gets no rewrite in place. The other programs are
// tests/e2e/wine_tool.cc, run under Wine too.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// A Windows program holding or locking the script; killed with the object.
class Other {
 public:
  // Runs the tool's `command` on `path`; waits until it holds what it holds.
  Other(const std::string& command, const std::string& path, const std::string& extra = "") {
    const std::string ready = ready_dir_.path() + "/ready";
    std::vector<std::string> argv = {WindowsTool(), command, ProgramPath(path), ProgramPath(ready)};
    if (!extra.empty()) argv.push_back(extra);
    pid_ = StartCommand(argv);
    ready_ = WaitForFile(ready, 60);
  }
  ~Other() { Stop(); }
  bool ready() const { return ready_; }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    usleep(100000);  // the Wine server lets go of its handles
  }
  int Wait() {
    const int status = e2e::Wait(pid_);
    pid_ = -1;
    return status;
  }

 private:
  TempDir ready_dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// Why these tests cannot run here; empty when they can.
std::string WhyNotHere() {
  if (!TestingWindowsBuild()) return "tests the Windows build under Wine";
  if (WindowsTool().empty()) return "VARNOK_E2E_WINDOWS_TOOL names no Windows test tool";
  return "";
}

RunResult Set(const std::string& dir, const std::string& assignment, int timeout = 30) {
  RunOptions options{"\n"};
  options.timeout_seconds = timeout;
  return RunVarnok({ProjectArg(dir), "-O:s.ini:" + assignment}, options);
}

bool Landed(const RunResult& result) {
  return result.status == 0 && result.out.empty() && result.err.empty();
}

// The mutex runs once took their turn on, created first with an access list
// that lets nobody open it, and held: the run takes its turn at once. Only
// a program holding the file's own lock keeps it waiting.
TEST(WindowsFiles, OnlyTheFilesOwnLockKeepsARunFromItsTurn) {
  if (const std::string why = WhyNotHere(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  {
    Other squatter("squat", path);
    ASSERT_TRUE(squatter.ready());
    const RunResult result = Set(dir.path(), "S.k=new", 20);
    EXPECT_TRUE(Landed(result)) << result.status << result.out << result.err;
    EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=new\n");
  }
  Other locker("lock-guard", path);
  ASSERT_TRUE(locker.ready());
  const pid_t run = Start({ProjectArg(dir.path()), "-O:s.ini:S.k=third"});
  sleep(2);
  EXPECT_EQ(waitpid(run, nullptr, WNOHANG), 0) << "the run waits for the lock";
  EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=new\n");
  locker.Stop();
  EXPECT_EQ(Wait(run), 0);
  EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=third\n");
}

// A file another program holds open sharing nothing, past the run's wait:
// the failure report with status 1, the file as it was. (A lock on the
// bytes is the same report, but Wine lets other processes read locked
// bytes: the unit tests show it within one process.)
TEST(WindowsFiles, AFileHeldPastTheWaitEndsInTheReport) {
  if (const std::string why = WhyNotHere(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  Other holder("hold", path, "none");
  ASSERT_TRUE(holder.ready());
  const RunResult result = Set(dir.path(), "S.k=new", 90);
  EXPECT_EQ(result.status, 1) << result.out;
  EXPECT_TRUE(IsReport(result.err, "EIniFileException",
                       "Unable to write to " + ProgramPath(path) +
                           ": another program holds it open and shares it with nobody"))
      << result.err;
  holder.Stop();
  EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=old\n");
}

// A viewer keeps the file open, so that a rename over it (without POSIX
// semantics, as under Wine) is refused while the run tries again; an editor
// saves in that moment. Ten rounds: every save and every change stays.
TEST(WindowsFiles, AViewerAndAnEditorAroundARunLoseNoSave) {
  if (const std::string why = WhyNotHere(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  int lost_saves = 0, lost_changes = 0;
  for (int round = 0; round < 10; ++round) {
    const std::string save = "save" + std::to_string(round) + "=1";
    Other viewer("view-and-edit", path, save);
    ASSERT_TRUE(viewer.ready());
    const RunResult result = Set(dir.path(), "S.k=run" + std::to_string(round));
    EXPECT_EQ(viewer.Wait(), 0);
    EXPECT_TRUE(Landed(result)) << result.out << result.err;
    const std::string now = dir.Read("s.ini");
    lost_saves += now.find(save + "\n") == std::string::npos;
    lost_changes += now.find("k=run" + std::to_string(round) + "\n") == std::string::npos;
  }
  EXPECT_EQ(lost_saves, 0) << dir.Read("s.ini");
  EXPECT_EQ(lost_changes, 0) << dir.Read("s.ini");
  EXPECT_EQ(dir.List(), std::vector<std::string>{"s.ini"});
}

// Wine keeps no named streams, as FAT and exFAT keep none: no mark of an
// unfinished rewrite in place could be kept, so a hard-linked script is not
// rewritten, and the report says why.
TEST(WindowsFiles, WithoutNamedStreamsAHardLinkedScriptIsNotRewritten) {
  if (const std::string why = WhyNotHere(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  ASSERT_EQ(link(path.c_str(), (dir.path() + "/twin.ini").c_str()), 0);
  const RunResult result = Set(dir.path(), "S.k=new");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(IsReport(result.err, "EIniFileException",
                       "Unable to write to " + ProgramPath(path) +
                           ": its file system keeps no named streams, which a rewrite in place "
                           "needs"))
      << result.err;
  EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=old\n");
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"s.ini", "twin.ini"}));
}

}  // namespace
}  // namespace e2e
