// Other users on the machine: a reader's lock delays no run, no new file
// grants access the old one did not, no link is followed that the kernel
// refuses, setuid, setgid and file capabilities survive a rewrite in place,
// file flags are kept, and no file is removed for its name alone.
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>

#include "harness.h"

namespace e2e {
namespace {

constexpr uid_t kAlice = 4100, kBob = 4200;
constexpr gid_t kTeam = 4300;

std::string WhyNoRoot() {
  if (TestingWindowsBuild()) return "POSIX users, modes, ACLs and links";
  if (geteuid() != 0) return "needs root to act as several users";
  return "";
}


std::vector<std::string> As(uid_t uid, const std::vector<std::string>& more = {}) {
  std::vector<std::string> command = {"setpriv", "--reuid=" + std::to_string(uid),
                                      "--regid=" + std::to_string(kTeam),
                                      "--groups=" + std::to_string(kTeam)};
  command.insert(command.end(), more.begin(), more.end());
  return command;
}

RunResult Set(const std::string& project, const std::string& assignment,
              std::vector<std::string> as = {}) {
  as.insert(as.end(), {VARNOK_PROGRAM, ProjectArg(project), "-O:s.ini:" + assignment});
  return RunCommand(as, RunOptions{"\n"});
}

bool Landed(const RunResult& result) {
  return result.status == 0 && result.out.empty() && result.err.empty();
}

std::string Attribute(const std::string& path, const char* name) {
  char value[4096];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "(none)" : std::string(value, static_cast<size_t>(size));
}

mode_t Mode(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// Sets a sysctl for the object's life.
class Sysctl {
 public:
  Sysctl(const std::string& name, const std::string& value) : path_("/proc/sys/" + name) {
    saved_ = ReadFile(path_);
    WriteFile(path_, value);
    set_ = ReadFile(path_) == value + "\n";
  }
  ~Sysctl() { WriteFile(path_, saved_); }
  bool set() const { return set_; }

 private:
  std::string path_, saved_;
  bool set_ = false;
};

// Bob may only read the script; his flock on it, which any reader can take,
// keeps no run from its turn.
TEST(OtherUsers, AReadersLockDelaysNoRun) {
  E2E_SKIP_IF(WhyNoRoot());
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  chmod(path.c_str(), 0644);
  const pid_t reader = fork();
  if (reader == 0) {
    if (setgid(kTeam) != 0 || setuid(kBob) != 0) _exit(1);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    sleep(60);
    _exit(0);
  }
  usleep(200000);
  const auto started = std::chrono::steady_clock::now();
  const RunResult result = Set(dir.path(), "S.k=new");
  const auto took = std::chrono::steady_clock::now() - started;
  kill(reader, SIGKILL);
  Wait(reader);
  EXPECT_TRUE(Landed(result)) << result.out << result.err;
  EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=new\n");
  EXPECT_LT(took, std::chrono::seconds(20));
}

// Bob's private script lies in a directory whose default ACL would give the
// team access to every new file: the new file gets the script's ACL, and
// only that.
TEST(OtherUsers, ANewFileGrantsNoAccessTheOldOneDidNot) {
  E2E_SKIP_IF(WhyNoRoot());
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string project = dir.path() + "/p";
  const std::string path = dir.Write("p/s.ini", "[S]\nPassword=secret\n");
  chmod(path.c_str(), 0640);
  if (RunCommand({"setfacl", "-d", "-m", "g:" + std::to_string(kTeam) + ":rwx,u:1:r", project}).status != 0) {
    GTEST_SKIP() << "no ACLs here (setfacl missing or refused)";
  }
  for (const bool own_acl : {false, true}) {
    SCOPED_TRACE(own_acl ? "with an ACL of its own" : "without an ACL");
    if (own_acl) {
      ASSERT_EQ(RunCommand({"setfacl", "-m", "u:2:rw", path}).status, 0);
    }
    const std::string acl = Attribute(path, "system.posix_acl_access");
    ASSERT_TRUE(Landed(Set(project, "S.Password=changed")));
    EXPECT_EQ(Attribute(path, "system.posix_acl_access"), acl);
    EXPECT_EQ(Mode(path), own_acl ? 0660u : 0640u);  // the group bits show an ACL's mask
    EXPECT_NE(RunCommand({"setpriv", "--reuid=4400", "--regid=" + std::to_string(kTeam),
                          "--groups=" + std::to_string(kTeam), "cat", path}).status, 0);
  }
}

// Alice's link in a sticky, world-writable project directory leads to a
// file only root may change. With fs.protected_symlinks the kernel refuses
// root that link, so the run does not follow it either.
TEST(OtherUsers, ALinkTheKernelRefusesIsNotFollowed) {
  E2E_SKIP_IF(WhyNoRoot());
  Sysctl protect("fs/protected_symlinks", "1");
  if (!protect.set()) GTEST_SKIP() << "fs.protected_symlinks cannot be set here";
  TempDir dir, secret;
  chmod(dir.path().c_str(), 01777);
  const std::string target = secret.Write("app.ini", "[S]\nk=root's\n");
  const std::string link = dir.path() + "/s.ini";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), kAlice, kTeam), 0);
  Set(dir.path(), "S.k=alice's");
  EXPECT_EQ(secret.Read("app.ini"), "[S]\nk=root's\n");
  ASSERT_EQ(lchown(link.c_str(), 0, 0), 0);  // root's own link is followed
  EXPECT_TRUE(Landed(Set(dir.path(), "S.k=root's too")));
  EXPECT_EQ(secret.Read("app.ini"), "[S]\nk=root's too\n");
}

// A hard-linked file is rewritten in place, and a write clears setuid,
// setgid and file capabilities: root puts them back; a group member who
// could not is refused, with the file as it was.
TEST(OtherUsers, PrivilegesSurviveARewriteInPlaceOrItIsRefused) {
  E2E_SKIP_IF(WhyNoRoot());
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  ASSERT_EQ(link(path.c_str(), (dir.path() + "/twin").c_str()), 0);
  ASSERT_EQ(chown(path.c_str(), kAlice, kTeam), 0);
  chmod(path.c_str(), 06775);
  const bool caps = RunCommand({"setcap", "cap_net_bind_service=ep", path}).status == 0;
  const std::string capability = Attribute(path, "security.capability");
  ASSERT_TRUE(Landed(Set(dir.path(), "S.k=by root")));
  EXPECT_EQ(Mode(path), 06775u);
  if (caps) {
    EXPECT_EQ(Attribute(path, "security.capability"), capability);
  }
  const RunResult bob = Set(dir.path(), "S.k=by bob", As(kBob));
  EXPECT_EQ(bob.status, 1);
  EXPECT_NE(bob.err.find("Unable to write to " + path + ": writing it would "), std::string::npos)
      << bob.err;
  EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=by root\n");
  EXPECT_EQ(Mode(path), 06775u);
  if (!caps) GTEST_SKIP() << "no file capabilities here (setcap missing or refused)";
}

// Root without CAP_FSETID, outside the file's group, cannot give a new file
// setgid (the system drops the bit without a word), nor keep it through a
// write in place: the run is refused, and the file keeps bytes and bit.
TEST(OtherUsers, SetgidIsNeverDroppedByARunThatCannotGiveIt) {
  E2E_SKIP_IF(WhyNoRoot());
  TempDir dir;
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  ASSERT_EQ(chown(path.c_str(), kAlice, kTeam), 0);
  chmod(path.c_str(), 02664);
  const RunResult result =
      Set(dir.path(), "S.k=new", {"setpriv", "--bounding-set=-fsetid", "--inh-caps=-fsetid"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("Unable to write to " + path + ": writing it would clear its setgid bit"),
            std::string::npos) << result.err;
  EXPECT_EQ(dir.Read("s.ini"), "[S]\nk=old\n");
  EXPECT_EQ(Mode(path), 02664u);
  EXPECT_TRUE(Landed(Set(dir.path(), "S.k=new")));  // with CAP_FSETID
  EXPECT_EQ(Mode(path), 02664u);
}

// The flags chattr sets (no dump, synchronous writes) come with the new file.
TEST(OtherUsers, FileFlagsAreKept) {
  E2E_SKIP_IF(WhyNoRoot());
  TempDir dir;
  const std::string path = dir.Write("s.ini", "[S]\nk=old\n");
  const int fd = open(path.c_str(), O_RDONLY);
  int flags = 0;
  const bool settable = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                        (flags |= FS_NODUMP_FL | FS_SYNC_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  close(fd);
  if (!settable) GTEST_SKIP() << "no file flags on this file system";
  ASSERT_TRUE(Landed(Set(dir.path(), "S.k=new")));
  const int now = open(path.c_str(), O_RDONLY);
  int kept = 0;
  ioctl(now, FS_IOC_GETFLAGS, &kept);
  close(now);
  EXPECT_EQ(kept & (FS_NODUMP_FL | FS_SYNC_FL), FS_NODUMP_FL | FS_SYNC_FL);
}

// Names that only look like temporary files are nobody's leftovers: a script
// so named is changed, and such a file beside a script stays.
TEST(OtherUsers, NoFileIsRemovedForItsNameAlone) {
  E2E_SKIP_IF(WhyNoRoot());
  TempDir dir;
  const std::string odd = dir.Write(".varnok-42-a.tmp", "[S]\nk=old\n");
  struct stat st = {};
  stat(odd.c_str(), &st);
  const std::string own_name = ".varnok-" + std::to_string(st.st_ino) + "-a.tmp";
  ASSERT_EQ(rename(odd.c_str(), (dir.path() + "/" + own_name).c_str()), 0);
  const RunResult result = RunVarnok({ProjectArg(dir.path()), "-O:" + own_name + ":S.k=new"}, {"\n"});
  EXPECT_TRUE(Landed(result)) << result.out << result.err;
  EXPECT_EQ(dir.Read(own_name), "[S]\nk=new\n");
  dir.Write("s.ini", "[S]\nk=old\n");
  stat((dir.path() + "/s.ini").c_str(), &st);
  const std::string lookalike = ".varnok-" + std::to_string(st.st_ino) + "-1-ab.tmp";
  dir.Write(lookalike, "somebody's data\n");
  EXPECT_TRUE(Landed(Set(dir.path(), "S.k=new")));
  EXPECT_EQ(dir.Read(lookalike), "somebody's data\n");
}

}  // namespace
}  // namespace e2e
