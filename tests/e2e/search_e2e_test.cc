// Finding the script below the project directory.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "harness.h"

namespace e2e {
namespace {

const char kScript[] = "[S]\nk=old\n";

// Sets S.k in `name` below `dir`; the run's status.
int SetKey(const TempDir& dir, const std::string& name, RunOptions options = {}) {
  return RunVarnok({ProjectArg(dir.path()), "-O:" + name + ":S.k=new"}, options).status;
}

// The files below `dir` that hold the new value.
std::vector<std::string> Changed(const TempDir& dir, const std::vector<std::string>& files) {
  std::vector<std::string> changed;
  for (const std::string& file : files) {
    if (dir.Read(file) == "[S]\nk=new\n") changed.push_back(file);
  }
  return changed;
}

using Files = std::vector<std::string>;

TEST(Search, DepthFirstPreOrderInListingOrder) {
  TempDir dir;
  const Files files = {"c/s.ini", "B/x/s.ini", "a/b/s.ini", "_/s.ini"};
  for (const std::string& file : files) dir.Write(file, kScript);
  ASSERT_EQ(SetKey(dir, "s.ini"), 0);
  EXPECT_EQ(Changed(dir, files), Files{"a/b/s.ini"});
  dir.Write("s.ini", kScript);  // a direct match wins over deeper ones
  ASSERT_EQ(SetKey(dir, "S.INI"), 0);
  EXPECT_EQ(Changed(dir, {"s.ini", "B/x/s.ini"}), Files{"s.ini"});
}

TEST(Search, DotDirectoriesAreSkippedBelowTheProjectOnly) {
  TempDir dir;
  dir.Write(".git/s.ini", kScript);
  dir.Write(".hidden/plain/s.ini", kScript);
  EXPECT_EQ(RunVarnok({ProjectArg(dir.path()), "-O:s.ini:S.k=new"}, {"\n"}).out,
            UsageScreen("Script not found", ProjectArg(dir.path()) + " -O:s.ini:S.k=new "));
  dir.Write(".proj/.s.ini", kScript);  // dot-named project and file are fine
  EXPECT_EQ(RunVarnok({ProjectArg(dir.path() + "/.proj"), "-O:.s.ini:S.k=new"}).status, 0);
  EXPECT_EQ(Changed(dir, {".git/s.ini", ".hidden/plain/s.ini", ".proj/.s.ini"}),
            Files{".proj/.s.ini"});
}

TEST(Search, CaseIgnoredExactNameFirstAndWildcards) {
  TempDir dir;
  const Files files = {"d/SETUP.INI", "d/Setup.ini", "d/setup.ini"};
  for (const std::string& file : files) dir.Write(file, kScript);
  ASSERT_EQ(SetKey(dir, "setup.ini"), 0);
  EXPECT_EQ(Changed(dir, files), Files{"d/setup.ini"});
  ASSERT_EQ(SetKey(dir, "sEtUp.ini"), 0);  // no exact name: the first in listing order
  EXPECT_EQ(Changed(dir, files), (Files{"d/SETUP.INI", "d/setup.ini"}));
  dir.Write("w/test.ini", kScript);
  ASSERT_EQ(SetKey(dir, "te?t?.ini"), 0);
  EXPECT_EQ(Changed(dir, {"w/test.ini"}), Files{"w/test.ini"});
}

TEST(Search, LinkedDirectoriesAreFollowedAndCyclesEnd) {
  TempDir dir;
  dir.Write("real/s.ini", kScript);
  dir.Write("tree/a/empty.txt", "");
  ASSERT_EQ(symlink("..", (dir.path() + "/tree/a/up").c_str()), 0);
  ASSERT_EQ(symlink("../../tree", (dir.path() + "/tree/a/loop").c_str()), 0);
  ASSERT_EQ(symlink("../real", (dir.path() + "/tree/b").c_str()), 0);
  EXPECT_EQ(RunVarnok({ProjectArg(dir.path() + "/tree"), "-O:none.ini:S.k=new"}, {"\n"}).out,
            UsageScreen("Script not found",
                        ProjectArg(dir.path() + "/tree") + " -O:none.ini:S.k=new "));
  ASSERT_EQ(RunVarnok({ProjectArg(dir.path() + "/tree"), "-O:s.ini:S.k=new"}).status, 0);
  EXPECT_EQ(Changed(dir, {"real/s.ini"}), Files{"real/s.ini"});
  struct stat link;
  EXPECT_TRUE(lstat((dir.path() + "/tree/b").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
}

TEST(Search, NamesHoldingZMatchIgnoringCase) {
  // z is the last letter that case folding must reach: script, section and key.
  TempDir dir;
  dir.Write("d/ZetaZ.INI", "[ZonE]\nzKeyZ=old\n");
  ASSERT_EQ(RunVarnok({ProjectArg(dir.path()), "-O:zETAz.ini:zONe.ZKEYz=new"}).status, 0);
  EXPECT_EQ(dir.Read("d/ZetaZ.INI"), "[ZonE]\nzKeyZ=new\n");
}

TEST(Search, ClimbingOutOfALinkedDirectoryReturnsToTheProject) {
  // The search leaves P/a, reached through a link, for P/b. Climbing ".."
  // from the link's target (which has a subdirectory, so the search stood in
  // it) reaches "other", whose own "b" must not be listed in place of P/b.
  TempDir dir;
  dir.Write("other/x/sub/note.txt", "");
  dir.Write("other/b/note.txt", "");
  dir.Write("P/b/s.ini", kScript);
  ASSERT_EQ(symlink("../other/x", (dir.path() + "/P/a").c_str()), 0);
  const RunResult result = RunVarnok({ProjectArg(dir.path() + "/P"), "-O:s.ini:S.k=new"}, {"\n"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(Changed(dir, {"P/b/s.ini"}), Files{"P/b/s.ini"});
}

TEST(Search, ADeepTreeWithFewDescriptors) {
  if (TestingWindowsBuild()) {
    GTEST_SKIP() << "Windows search paths end at MAX_PATH, and Wine has no descriptor limit to test";
  }
  TempDir dir;
  std::string deep;
  for (int i = 0; i < 1500; ++i) deep += (i % 2 ? "b/" : "a/");
  dir.Write(deep + "s.ini", kScript);
  dir.Write("a/b/a/a0/x/y/other.txt", "");  // a branch to leave and come back from
  RunOptions options;
  options.max_open_files = 64;
  ASSERT_EQ(SetKey(dir, "s.ini", options), 0);
  EXPECT_EQ(Changed(dir, {deep + "s.ini"}), Files{deep + "s.ini"});
}

TEST(Search, ADirectoryListedInManyReads) {
  // Long names, enough for several reads of the listing; the script lies in
  // the subdirectory that the system lists last.
  TempDir dir;
  const std::string stem(100, 'n');
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(mkdir((dir.path() + "/" + stem + std::to_string(i)).c_str(), 0755), 0);
  }
  std::string last;
  DIR* listing = opendir(dir.path().c_str());
  ASSERT_NE(listing, nullptr);
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') last = entry->d_name;
  }
  closedir(listing);
  dir.Write(last + "/s.ini", kScript);
  ASSERT_EQ(SetKey(dir, "s.ini"), 0);
  EXPECT_EQ(Changed(dir, {last + "/s.ini"}), Files{last + "/s.ini"});
}

TEST(Search, EntriesThatAreNoRegularFile) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir.path() + "/fifo.ini").c_str(), 0644), 0);
  dir.Write("dir.ini/inner.txt", "");
  dir.Write("sub/s.ini", kScript);
  for (const std::string name : {"fifo.ini", "dir.ini"}) {
    RunOptions options{"\n"};
    options.timeout_seconds = 10;
    RunResult result = RunVarnok({ProjectArg(dir.path()), "-O:" + name + ":S.k=new"}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find(LineEnd() + "Component not found" + LineEnd()), std::string::npos)
        << name;
  }
  // A name with a directory part reaches nothing, inside the project or out.
  const std::string nested = TestingWindowsBuild() ? "sub\\s.ini" : "sub/s.ini";
  EXPECT_NE(RunVarnok({ProjectArg(dir.path()), "-O:" + nested + ":S.k=new"}, {"\n"})
                .out.find(LineEnd() + "Script not found" + LineEnd()),
            std::string::npos);
  EXPECT_EQ(dir.Read("sub/s.ini"), kScript);
}

// Names the ANSI code page cannot spell (the Windows build, under Wine in
// code page 1252, lists and enters them through its wide functions), and a
// path longer than MAX_PATH.
TEST(Search, NamesOfAnyCharacterAndPathsOfAnyLength) {
  TempDir dir;
  const std::string greek = "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1", cjk = "\xE8\xA1\xA8";
  std::string deep = greek + "/" + cjk;
  for (char level = 'a'; level <= 'g'; ++level) deep += "/" + std::string(40, level);
  const Files files = {greek + "/" + cjk + "/s.ini", deep + "/long.ini"};
  for (const std::string& file : files) dir.Write(file, kScript);
  ASSERT_GT(ProgramPath(dir.path() + "/" + files[1]).size(), 260u);
  for (const std::string& file : files) {
    const std::string name = file.substr(file.rfind('/') + 1);
    const RunResult run = RunVarnok({ProjectArg(dir.path()), "-O:" + name + ":S.k=new"}, {"\n"});
    EXPECT_EQ(run.out + run.err, "") << file;
    EXPECT_EQ(run.status, 0) << file;
    EXPECT_EQ(Changed(dir, {file}), Files{file});
  }
}

// Sets a kernel setting under /proc/sys for the object's life, then puts
// the old value back.
class KernelSetting {
 public:
  KernelSetting(const std::string& name, const std::string& value)
      : path_("/proc/sys/" + name), old_(ReadFile(path_)) {
    if (old_.empty()) return;
    WriteFile(path_, value);
    set_ = ReadFile(path_) == value + "\n";
  }
  ~KernelSetting() {
    if (!old_.empty()) WriteFile(path_, old_);
  }
  bool set() const { return set_; }

 private:
  const std::string path_, old_;
  bool set_ = false;
};

// With fs.protected_symlinks, the kernel follows a link in a sticky
// world-writable directory only for the link's owner or the directory's.
// Another user's links there (to a file and to a directory of root's, named
// to be found first) are passed over by root's run, which goes on to root's
// real script below; root's own link is followed.
TEST(Search, LinksTheKernelRefusesAreNotFollowed) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "POSIX links and users";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user and set the kernel";
  KernelSetting protect("fs/protected_symlinks", "1");
  if (!protect.set()) GTEST_SKIP() << "fs.protected_symlinks cannot be set here";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  dir.Write("root/s.ini", kScript);
  dir.Write("root/d/s.ini", kScript);
  dir.Write("root/t.ini", kScript);
  chmod((dir.path() + "/root").c_str(), 0700);
  dir.Write("p/sub/s.ini", kScript);
  const std::string project = dir.path() + "/p";
  chmod(project.c_str(), 01777);
  for (const auto& [target, link] : {std::pair<std::string, std::string>{"root/s.ini", "s.ini"},
                                     {"root/d", "a"}}) {
    const RunResult made =
        RunCommand({"setpriv", "--reuid=4500", "--regid=4500", "--clear-groups", "ln", "-s",
                    dir.path() + "/" + target, project + "/" + link});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  ASSERT_EQ(symlink((dir.path() + "/root/t.ini").c_str(), (project + "/t.ini").c_str()), 0);
  const RunResult found = RunVarnok({ProjectArg(project), "-O:s.ini:S.k=new"}, {"\n"});
  EXPECT_EQ(found.status, 0);
  EXPECT_EQ(found.out + found.err, "");
  EXPECT_EQ(Changed(dir, {"root/s.ini", "root/d/s.ini", "p/sub/s.ini"}), Files{"p/sub/s.ini"});
  struct stat link;
  EXPECT_TRUE(lstat((project + "/s.ini").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
  ASSERT_EQ(RunVarnok({ProjectArg(project), "-O:t.ini:S.k=new"}, {"\n"}).status, 0);
  EXPECT_EQ(Changed(dir, {"root/t.ini"}), Files{"root/t.ini"});
}

}  // namespace
}  // namespace e2e
