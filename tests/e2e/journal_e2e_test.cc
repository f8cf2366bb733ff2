// A rewrite in place killed once it has begun, and what later runs, other
// programs and other users do with the torn file and its journal. Whatever
// happens, the journal is put back only into its own file, only over what its
// own write left, and only while that write is unfinished: a regenerated file
// under a reused inode number, a change made through another name, an
// editor's save and a taken or planted journal all keep every byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <errno.h>

#include <cstdio>
#include <memory>

#include "harness.h"
#include "scratch_fs.h"

namespace e2e {
namespace {

constexpr uid_t kAlice = 4100, kBob = 4200, kCarol = 4400;
constexpr gid_t kTeam = 4300;

std::string WhyNotRunnable() {
  if (TestingWindowsBuild()) return "the POSIX journal and its mark";
  if (geteuid() != 0) return "needs root to act as several users";
  if (RunCommand({"strace", "-V"}).status != 0) return "strace is not installed";
  return "";
}


// The command that runs what follows as `uid`, in the group `kTeam`.
std::vector<std::string> As(uid_t uid) {
  return {"setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(kTeam),
          "--groups=" + std::to_string(kTeam)};
}

RunResult RunAs(const std::vector<std::string>& wrapper, std::vector<std::string> argv) {
  std::vector<std::string> command = wrapper;
  command.insert(command.end(), argv.begin(), argv.end());
  return RunCommand(command, RunOptions{"\n"});
}

RunResult Set(const std::string& project, const std::string& assignment,
              const std::vector<std::string>& as = {}) {
  return RunAs(as, {VARNOK_PROGRAM, ProjectArg(project), "-O:s.ini:" + assignment});
}

bool Landed(const RunResult& result) {
  return result.status == 0 && result.out.empty() && result.err.empty();
}

// Sets `assignment`, a change that shortens the file, and kills the run
// when it cuts the file to its new size: the new bytes are written, the old
// tail is still there, and the mark says the write is under way.
void KillShorteningRewrite(const std::string& project, const std::string& assignment,
                           const std::vector<std::string>& as = {}) {
  const RunResult killed = RunAs(as, {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                    "inject=ftruncate:signal=KILL", VARNOK_PROGRAM,
                                    ProjectArg(project), "-O:s.ini:" + assignment});
  ASSERT_EQ(killed.status, -1) << killed.out << killed.err;
}

bool Marked(const std::string& path) {
  return getxattr(path.c_str(), "user.varnok.write", nullptr, 0) >= 0;
}

ino_t Inode(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st.st_ino;
}

// Writes `content` to `dir`/`name` in a file the system gives the inode
// number `inode`: new files are made until one gets it (file systems hand
// out the lowest free number near the directory). False when none did.
bool WriteUnderInode(const std::string& dir, const std::string& name, const std::string& content,
                     ino_t inode) {
  std::vector<std::string> made;
  bool found = false;
  for (int i = 0; i < 4000 && !found; ++i) {
    made.push_back(dir + "/new-" + std::to_string(i));
    WriteFile(made.back(), content);
    found = Inode(made.back()) == inode;
  }
  if (found) rename(made.back().c_str(), (dir + "/" + name).c_str()), made.pop_back();
  for (const std::string& path : made) unlink(path.c_str());
  return found;
}

const std::string kFiller = "[F]\n" + std::string(2000, 'f') + "\n";

// Each scene runs on ext4, xfs, btrfs and tmpfs, made for it: ext4 and xfs
// hand freed inode numbers out again, btrfs and tmpfs do not.
class Journal : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    const std::string why = WhyNotRunnable();
    if (!why.empty()) GTEST_SKIP() << why;
    fs_ = std::make_unique<ScratchFs>(GetParam());
    if (!fs_->mounted()) GTEST_SKIP() << fs_->why_not();
    if (setxattr(fs_->path().c_str(), "user.varnok.probe", "", 0, 0) != 0 && errno == EOPNOTSUPP) {
      GTEST_SKIP() << "no user extended attributes on this " << GetParam()
                   << ": nothing is rewritten in place there";
    }
    removexattr(fs_->path().c_str(), "user.varnok.probe");
  }
  // A fresh directory on this test's file system.
  std::unique_ptr<TempDir> Dir() const { return std::make_unique<TempDir>(fs_->path()); }

  std::unique_ptr<ScratchFs> fs_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, Journal, ::testing::Values("ext4", "xfs", "btrfs", "tmpfs"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// The project is regenerated after the kill: both names removed and a new
// small script written, which the file system gives the freed inode number.
// The old file's journal must never be written into it.
TEST_P(Journal, ARegeneratedFileUnderTheSameNumberKeepsItsBytes) {
  const auto owned = Dir();
  const TempDir& dir = *owned;
  const std::string path = dir.Write("p/s.ini", "[S]\nk=" + std::string(100, 'o') + "\n" +
                                                    std::string(20 << 20, 'x') + "\n");
  ASSERT_EQ(link(path.c_str(), (dir.path() + "/p/twin.ini").c_str()), 0);
  const ino_t old_inode = Inode(path);
  KillShorteningRewrite(dir.path() + "/p", "S.k=n");
  ASSERT_TRUE(Marked(path));
  unlink(path.c_str());
  unlink((dir.path() + "/p/twin.ini").c_str());
  const std::string fresh = "[S]\nk=1\n[T]\nfresh=yes, fifty bytes or so\n";
  if (!WriteUnderInode(dir.path() + "/p", "s.ini", fresh, old_inode)) {
    GTEST_SKIP() << "the file system did not hand the number out again";
  }
  EXPECT_TRUE(Landed(Set(dir.path() + "/p", "S.k=2")));
  EXPECT_EQ(dir.Read("p/s.ini"), "[S]\nk=2\n[T]\nfresh=yes, fifty bytes or so\n");
}

// A run through the script's other name (another directory) finds the
// unfinished write and undoes it before its own change; a later run through
// the first name then keeps that change.
TEST_P(Journal, EveryNameFindsTheUnfinishedWriteAndBothChangesStay) {
  const auto owned = Dir();
  const TempDir& dir = *owned;
  const std::string old = "[S]\nk=" + std::string(40, 'o') + "\n[T]\nlast=1\nother=1\n" + kFiller;
  const std::string path = dir.Write("a/s.ini", old);
  mkdir((dir.path() + "/b").c_str(), 0755);
  ASSERT_EQ(link(path.c_str(), (dir.path() + "/b/s.ini").c_str()), 0);
  KillShorteningRewrite(dir.path() + "/a", "S.k=n");
  EXPECT_TRUE(Landed(Set(dir.path() + "/b", "T.last=5")));
  EXPECT_TRUE(Landed(Set(dir.path() + "/a", "T.other=7")));
  std::string expected = old;
  expected.replace(expected.find("last=1"), 6, "last=5");
  expected.replace(expected.find("other=1"), 7, "other=7");
  EXPECT_EQ(dir.Read("a/s.ini"), expected);
  EXPECT_EQ(dir.List("a"), std::vector<std::string>{"s.ini"});
}

// After the kill an editor saves the file in place; the next run keeps the
// editor's content, changes its key, and sets the journal aside.
TEST_P(Journal, AnEditorsSaveAfterTheKillStays) {
  const auto owned = Dir();
  const TempDir& dir = *owned;
  const std::string path =
      dir.Write("p/s.ini", "[S]\nk=" + std::string(40, 'o') + "\n" + kFiller);
  ASSERT_EQ(link(path.c_str(), (dir.path() + "/p/twin.ini").c_str()), 0);
  KillShorteningRewrite(dir.path() + "/p", "S.k=n");
  const std::string edited = "[S]\nk=editor\n[E]\nsaved=by the editor\n";
  {
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, edited.data(), edited.size()), static_cast<ssize_t>(edited.size()));
    close(fd);
  }
  EXPECT_TRUE(Landed(Set(dir.path() + "/p", "S.k=run")));
  EXPECT_EQ(dir.Read("p/s.ini"), "[S]\nk=run\n[E]\nsaved=by the editor\n");
  EXPECT_FALSE(Marked(path));
}

// A journal somebody took and brings back after its write finished is
// never applied, though the file holds exactly what that write left: the
// mark that made it count is gone.
TEST_P(Journal, AJournalBroughtBackAfterItsWriteFinishedIsNeverApplied) {
  const auto owned = Dir();
  const TempDir& dir = *owned;
  const std::string path = dir.Write("p/s.ini", "[S]\nSecure=" + std::string(40, '1') + "\n" + kFiller);
  ASSERT_EQ(link(path.c_str(), (dir.path() + "/p/twin.ini").c_str()), 0);
  KillShorteningRewrite(dir.path() + "/p", "S.Secure=0");
  std::string journal;
  for (const std::string& name : dir.List("p")) {
    if (name.find(".journal") != std::string::npos) journal = dir.path() + "/p/" + name;
  }
  ASSERT_FALSE(journal.empty()) << "the journal lies beside a script in a directory of root's";
  const std::string taken = ReadFile(journal);
  EXPECT_TRUE(Landed(Set(dir.path() + "/p", "S.Secure=0")));  // undone, then made again
  const std::string acknowledged = dir.Read("p/s.ini");
  WriteFile(journal, taken);
  chmod(journal.c_str(), 0600);
  EXPECT_EQ(Set(dir.path() + "/p", "S.absent=x").status, 0);
  EXPECT_EQ(dir.Read("p/s.ini"), acknowledged);
  EXPECT_NE(acknowledged.find("Secure=0\n"), std::string::npos);
}

// Bob, a member of the team, edits Alice's script in their shared
// directory: no new file could be Alice's, so it is rewritten in place. His
// journal does not lie in the shared directory, where Carol could take it,
// and his next run finds and applies it.
TEST_P(Journal, AJournalInASharedDirectoryIsNobodyElsesToTake) {
  const auto owned = Dir();
  const TempDir& dir = *owned;
  chmod(dir.path().c_str(), 0755);
  const std::string old = "[S]\nk=" + std::string(40, 'o') + "\n" + kFiller;
  const std::string path = dir.Write("shared/s.ini", old);
  ASSERT_EQ(chown((dir.path() + "/shared").c_str(), kAlice, kTeam), 0);
  chmod((dir.path() + "/shared").c_str(), 02775);
  ASSERT_EQ(chown(path.c_str(), kAlice, kTeam), 0);
  chmod(path.c_str(), 0664);
  KillShorteningRewrite(dir.path() + "/shared", "S.k=n", As(kBob));
  EXPECT_EQ(dir.List("shared"), std::vector<std::string>{"s.ini"});
  EXPECT_TRUE(Marked(path));
  EXPECT_FALSE(Landed(Set(dir.path() + "/shared", "S.k=carol", As(kCarol))))
      << "Carol may not read Bob's journal, so she may not edit the torn file";
  EXPECT_TRUE(Landed(Set(dir.path() + "/shared", "S.k=bob", As(kBob))));
  std::string expected = old;
  expected.replace(expected.find("k="), 42, "k=bob");
  EXPECT_EQ(dir.Read("shared/s.ini"), expected);
  EXPECT_FALSE(Marked(path));
}

// Somebody else holds the name of the user's own journal directory under
// /var/tmp (a directory of theirs, a link, a file, a FIFO): the run writes
// its journal elsewhere and lands, and what the squatter planted is never
// applied.
TEST_P(Journal, ASquattedJournalDirectoryStopsNoRun) {
  // A user of this test's own, so that no other test (nor this one on
  // another file system, running beside it) uses the directory it spoils.
  const uid_t squatted = 4500 + static_cast<uid_t>(GetParam()[0]);
  const std::string own = "/var/tmp/varnok-" + std::to_string(squatted);
  const struct {
    const char* what;
    std::string make;
  } kSquats[] = {
      {"a directory of Carol's", "mkdir -m 777 " + own + " && touch " + own + "/planted"},
      {"a link to Carol's directory", "mkdir -p /tmp/carol-$$ && ln -s /tmp/carol-$$ " + own},
      {"a file", "echo planted > " + own},
      {"a FIFO", "mkfifo " + own},
  };
  for (const auto& squat : kSquats) {
    SCOPED_TRACE(squat.what);
    const auto owned = Dir();
  const TempDir& dir = *owned;
    chmod(dir.path().c_str(), 0755);
    const std::string path = dir.Write("p/s.ini", "[S]\nk=old\n");
    ASSERT_EQ(chown(path.c_str(), kAlice, kTeam), 0);
    chmod(path.c_str(), 0664);
    ASSERT_EQ(RunCommand({"rm", "-rf", own}).status, 0);
    ASSERT_EQ(RunAs(As(kCarol), {"sh", "-c", squat.make}).status, 0);
    EXPECT_TRUE(Landed(Set(dir.path() + "/p", "S.k=new", As(squatted))));
    EXPECT_EQ(dir.Read("p/s.ini"), "[S]\nk=new\n");
    EXPECT_EQ(RunCommand({"rm", "-rf", own}).status, 0);
  }
}

}  // namespace
}  // namespace e2e
