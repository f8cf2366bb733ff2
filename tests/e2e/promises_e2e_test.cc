// What a write keeps under adversity: the file-size limit, owner, group,
// mode bits, ACLs and attributes, another file that takes the script's name,
// editors that keep replacing the file, and long queues of runs.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "harness.h"

namespace e2e {
namespace {

constexpr uid_t kOwner = 4100, kEditor = 4200;
constexpr gid_t kGroup = 4300;

struct stat Stat(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st;
}

std::string Attribute(const std::string& path, const char* name) {
  char value[4096];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "(none)" : std::string(value, static_cast<size_t>(size));
}

RunResult Set(const std::string& project, const std::string& assignment,
              const RunOptions& options = {"\n"}) {
  return RunVarnok({ProjectArg(project), "-O:s.ini:" + assignment}, options);
}

bool Landed(const RunResult& result) {
  return result.status == 0 && result.out.empty() && result.err.empty();
}

// Why a test of POSIX owners cannot run here; empty when it can. (A skip
// inside a helper would end only the helper, not the test.)
std::string WhyNoPosixRoot() {
  if (TestingWindowsBuild()) return "POSIX owners, modes and attributes";
  if (geteuid() != 0) return "needs root to give files away and switch users";
  return "";
}

// Under `ulimit -f` the write fails with EFBIG instead of killing the run,
// on the rename path and in place (a hard-linked file).
TEST(Promises, AFileSizeLimitFailsTheWriteAndKeepsTheOldFile) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "Windows has no file-size limit";
  // Already past the limit, which only stops writes beyond it.
  const std::string old = "[F]\nf=" + std::string(5000, 'f') + "\n[S]\nk=old\n";
  for (const bool hard_linked : {false, true}) {
    SCOPED_TRACE(hard_linked ? "in place" : "renamed");
    TempDir dir;
    const std::string path = dir.Write("s.ini", old);
    if (hard_linked) {
      ASSERT_EQ(link(path.c_str(), (dir.path() + "/twin").c_str()), 0);
    }
    RunOptions options{"\n"};
    options.max_file_size = 4096;
    const RunResult result = Set(dir.path(), "S.k=" + std::string(500, 'n'), options);
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_TRUE(IsReport(result.err, "EIniFileException", "Unable to write to " + path)) << result.err;
    EXPECT_TRUE(dir.Read("s.ini") == old);
    EXPECT_EQ(dir.List().size(), hard_linked ? 2u : 1u);
    EXPECT_TRUE(Landed(Set(dir.path(), "S.k=new")));
    EXPECT_EQ(dir.List().size(), hard_linked ? 2u : 1u);
  }
}

// A group member edits a group-writable file of another owner: no new file
// could have that owner, so it is rewritten in place and keeps owner, group
// and mode; no journal stays, beside it or in /var/tmp.
TEST(Promises, AGroupMemberKeepsTheOwnerAndGroup) {
  if (const std::string why = WhyNoPosixRoot(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  for (const mode_t dir_mode : {02775, 0755}) {  // group-writable, and refusing new files
    SCOPED_TRACE(dir_mode);
    const std::string path = dir.Write("p/s.ini", "[S]\nk=old\n");
    ASSERT_EQ(chown((dir.path() + "/p").c_str(), kOwner, kGroup), 0);
    chmod((dir.path() + "/p").c_str(), dir_mode);
    ASSERT_EQ(chown(path.c_str(), kOwner, kGroup), 0);
    chmod(path.c_str(), 0664);
    const ino_t inode = Stat(path).st_ino;
    const RunResult result = RunCommand(
        {"setpriv", "--reuid=" + std::to_string(kEditor), "--regid=" + std::to_string(kGroup),
         "--groups=" + std::to_string(kGroup), "sh", "-c", "exec \"$VARNOK\" \"$@\"", "varnok",
         ProjectArg(dir.path() + "/p"), "-O:s.ini:S.k=new"},
        {"\n"});
    ASSERT_TRUE(Landed(result)) << result.out << result.err;
    const struct stat after = Stat(path);
    EXPECT_EQ(dir.Read("p/s.ini"), "[S]\nk=new\n");
    EXPECT_EQ(after.st_uid, kOwner);
    EXPECT_EQ(after.st_gid, kGroup);
    EXPECT_EQ(after.st_mode & 07777, 0664u);
    EXPECT_EQ(after.st_ino, inode);
    EXPECT_EQ(dir.List("p"), std::vector<std::string>{"s.ini"});
    const std::string fallback = "/var/tmp/varnok-" + std::to_string(after.st_dev) + "-" +
                                 std::to_string(inode) + ".journal";
    EXPECT_NE(access(fallback.c_str(), F_OK), 0);
    remove(path.c_str());
  }
}

// Replaced as root, the new file has the old one's setuid and setgid bits,
// owner and group, access ACL and user attribute.
TEST(Promises, ModeBitsAclAndAttributesAreKept) {
  if (const std::string why = WhyNoPosixRoot(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  ASSERT_EQ(chown(path.c_str(), kOwner, kGroup), 0);
  chmod(path.c_str(), 06754);
  const bool has_acl = RunCommand({"setfacl", "-m", "u:1:rw", path}).status == 0;
  const bool has_attribute = setxattr(path.c_str(), "user.note", "kept", 4, 0) == 0;
  const struct stat before = Stat(path);
  const std::string acl = Attribute(path, "system.posix_acl_access");
  ASSERT_TRUE(Landed(Set(dir.path(), "S.k=new")));
  const struct stat after = Stat(path);
  EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=new\n");
  EXPECT_NE(after.st_ino, before.st_ino);  // replaced, not rewritten
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, kOwner);
  EXPECT_EQ(after.st_gid, kGroup);
  if (has_acl) {
    EXPECT_EQ(Attribute(path, "system.posix_acl_access"), acl);
  }
  if (has_attribute) {
    EXPECT_EQ(Attribute(path, "user.note"), "kept");
  }
  if (!has_acl || !has_attribute) GTEST_SKIP() << "no ACL or user attribute on this file system";
}

// Keeps swapping two names in a thread until told to stop.
class Swapper {
 public:
  Swapper(const std::string& a, const std::string& b)
      : thread_([this, a, b] {
          while (!stop_) {
            renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
            usleep(100);  // leaves the runs some of the machine
          }
        }) {}
  ~Swapper() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Another program swaps the script's name with another file during the
// runs: each run changes whichever file it read, and neither is destroyed.
TEST(Promises, ANameSwappedDuringRunsDestroysNoFile) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "renameat2 swaps names on Linux only";
  TempDir dir;
  const std::string script = dir.Write("s.ini", "[S]\nk=0\n[M]\nid=A\n");
  const std::string other = dir.Write("other.ini", "[S]\nk=0\n[M]\nid=B\n");
  {
    Swapper swapper(script, other);
    for (int run = 1; run <= 200; ++run) {
      const RunResult result = Set(dir.path(), "S.k=" + std::to_string(run));
      ASSERT_TRUE(Landed(result)) << "run " << run << ": " << result.out << result.err;
    }
  }
  const std::string a = dir.Read("s.ini"), b = dir.Read("other.ini");
  EXPECT_NE(a.find("id="), std::string::npos);
  EXPECT_NE(b.find("id="), std::string::npos);
  EXPECT_NE(a.substr(a.find("id=")), b.substr(b.find("id=")));  // one is A, the other B
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"other.ini", "s.ini"}));
}

// An editor that, as varnok does, locks the file, reads it and renames a
// changed copy over it, again and again.
pid_t StartEditor(const std::string& dir) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const std::string path = dir + "/s.ini", temp = dir + "/editor.tmp";
  for (int round = 0;; ++round) {
    const int fd = HoldWriteLock(path);
    if (fd < 0) continue;  // between the editor's own rename and the next open
    struct stat held, now;
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino) {
      usleep(3000);  // the editor's work on the file, under its lock
      std::string text = ReadFile(path);
      text.replace(text.find("e=") + 2, text.find('\n', text.find("e=")) - text.find("e=") - 2,
                   std::to_string(round));
      WriteFile(temp, text);
      rename(temp.c_str(), path.c_str());
    }
    close(fd);
    sched_yield();  // and at once the next save
  }
}

std::string Keys(int count) {
  std::string text = "[S]\ne=0\n";
  for (int key = 0; key < count; ++key) text += "k" + std::to_string(key) + "=old\n";
  return text;
}

bool AllSet(const std::string& text, int count) {
  for (int key = 0; key < count; ++key) {
    if (text.find("k" + std::to_string(key) + "=v\n") == std::string::npos) return false;
  }
  return true;
}

// Runs that wait while an editor keeps replacing the file all land, and none
// takes the moving file for a missing key.
TEST(Promises, RunsLandWhileAnEditorKeepsReplacingTheFile) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "the editor uses POSIX locks";
  constexpr int kRuns = 60;
  TempDir dir;
  dir.Write("s.ini", Keys(kRuns));
  const pid_t editor = StartEditor(dir.path());
  std::vector<pid_t> runs;
  for (int key = 0; key < kRuns; ++key) {
    runs.push_back(Start({ProjectArg(dir.path()), "-O:s.ini:S.k" + std::to_string(key) + "=v"}));
  }
  for (pid_t run : runs) EXPECT_EQ(Wait(run), 0);
  kill(editor, SIGKILL);
  waitpid(editor, nullptr, 0);
  EXPECT_TRUE(AllSet(dir.Read("s.ini"), kRuns)) << dir.Read("s.ini");
}

// 300 runs queue behind a lock the test holds; released, all of them land.
TEST(Promises, ThreeHundredRunsQueuedBehindALockAllLand) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "the test holds a POSIX lock";
  constexpr int kRuns = 300;
  TempDir dir;
  const std::string path = dir.Write("s.ini", Keys(kRuns));
  const int held = HoldWriteLock(path);
  ASSERT_GE(held, 0);
  std::vector<pid_t> runs;
  for (int key = 0; key < kRuns; ++key) {
    runs.push_back(Start({ProjectArg(dir.path()), "-O:s.ini:S.k" + std::to_string(key) + "=v"}));
  }
  sleep(1);
  close(held);
  int landed = 0;
  for (pid_t run : runs) landed += Wait(run) == 0;
  EXPECT_EQ(landed, kRuns);
  EXPECT_TRUE(AllSet(dir.Read("s.ini"), kRuns));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"s.ini"});
}

}  // namespace
}  // namespace e2e
