// Every system call of a script rewrite that can fail, made to fail in turn
// through the file replacement's call table. Each failure must leave the old
// file byte for byte, no temporary file, and end in EIniFileException.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "base/failure.h"
#include "file/file_replace_calls-posix.h"
#include "script/set_option.h"

namespace varnok {
namespace {

enum Step {
  kCreate, kChmod, kWrite, kSyncFile, kLink, kRename, kSyncDir, kAllocate, kTruncate, kChown,
  kSetAttribute, kExchange, kSteps
};
const char* const kStepNames[kSteps] = {
    "create", "fchmod",    "write",     "fsync file", "link",      "rename",
    "fsync directory", "fallocate", "ftruncate", "fchown", "fsetxattr", "exchange"};
// What each step fails with: what a full disk or a failing device gives there.
const int kStepErrors[kSteps] = {ENOSPC, EIO, ENOSPC, EIO, ENOSPC, EIO,
                                 EIO,    ENOSPC, EIO, EIO, ENOSPC, EIO};
constexpr size_t kWriteChunk = 700;  // short writes, so one file takes several

// The double's settings and what it saw.
struct Faults {
  std::vector<std::pair<Step, int>> fail;  // (step, 1-based call) pairs to fail
  int error = 0;                           // errno for them; 0: the step's own
  bool no_tmpfile = false;                 // as on a file system without O_TMPFILE
  bool no_exchange = false;                // as on a system without RENAME_EXCHANGE
  int script_writes_that_work = -1;        // >= 0: the script's later writes fail
  std::pair<std::string, std::string> rename_at_create;  // (from, to), once, at the next create
  int calls[kSteps] = {};
};
Faults g_faults;

// Counts a call of `step`; true, with errno set, when it is to fail.
bool Fails(Step step) {
  const int call = ++g_faults.calls[step];
  const auto& fail = g_faults.fail;
  if (std::find(fail.begin(), fail.end(), std::make_pair(step, call)) == fail.end()) return false;
  errno = g_faults.error ? g_faults.error : kStepErrors[step];
  return true;
}

int Create(int dir, const char* name, int flags, mode_t mode) {
  auto& [from, to] = g_faults.rename_at_create;
  if (!from.empty() && rename(from.c_str(), to.c_str()) != 0) ADD_FAILURE() << strerror(errno);
  g_faults.rename_at_create = {};
  if (g_faults.no_tmpfile && (flags & O_TMPFILE) == O_TMPFILE) return errno = EOPNOTSUPP, -1;
  return Fails(kCreate) ? -1 : openat(dir, name, flags, mode);
}
int Chmod(int fd, mode_t mode) { return Fails(kChmod) ? -1 : fchmod(fd, mode); }
// Whether this write is to the (hard-linked) script and past the ones that work.
bool ScriptWriteFails(int fd) {
  struct stat st;
  if (g_faults.script_writes_that_work < 0 || fstat(fd, &st) != 0 || st.st_nlink < 2) return false;
  if (g_faults.script_writes_that_work == 0) return true;
  --g_faults.script_writes_that_work;
  return false;
}
ssize_t Write(int fd, const struct iovec* parts, int) {
  if (ScriptWriteFails(fd)) return errno = EIO, -1;
  return Fails(kWrite) ? -1 : write(fd, parts[0].iov_base, std::min(parts[0].iov_len, kWriteChunk));
}
int Sync(int fd) {
  struct stat st;
  const bool dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  return Fails(dir ? kSyncDir : kSyncFile) ? -1 : fsync(fd);
}
int Link(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  return Fails(kLink) ? -1 : linkat(from_dir, from, to_dir, to, flags);
}
int Rename(int from_dir, const char* from, int to_dir, const char* to) {
  return Fails(kRename) ? -1 : renameat(from_dir, from, to_dir, to);
}
int Allocate(int fd, off_t offset, off_t length) {
  return Fails(kAllocate) ? errno : posix_fallocate(fd, offset, length);
}
int Truncate(int fd, off_t length) { return Fails(kTruncate) ? -1 : ftruncate(fd, length); }
int Chown(int fd, uid_t owner, gid_t group) { return Fails(kChown) ? -1 : fchown(fd, owner, group); }
int SetAttribute(int fd, const char* name, const void* value, size_t size, int flags) {
  return Fails(kSetAttribute) ? -1 : fsetxattr(fd, name, value, size, flags);
}
int Exchange(int from_dir, const char* from, int to_dir, const char* to) {
  if (g_faults.no_exchange) return errno = EINVAL, -1;
  return Fails(kExchange) ? -1 : renameat2(from_dir, from, to_dir, to, RENAME_EXCHANGE);
}

std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  while (dirent* entry = listing ? readdir(listing) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (listing) closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

// A project holding "sub/s.ini" (also named "sub/twin.ini" when hard-linked),
// with the double in the file replacement for the object's life.
class Project {
 public:
  explicit Project(bool hard_linked) : saved_(ReplaceCalls()) {
    std::string pattern = "/tmp/varnok-fault-XXXXXX";
    if (const char* tmp = getenv("TMPDIR"); tmp && *tmp) pattern = tmp + pattern.substr(4);
    dir_ = mkdtemp(&pattern[0]) ? pattern : "";
    mkdir((dir_ + "/sub").c_str(), 0755);
    std::ofstream(path(), std::ios::binary) << kOld;
    if (hard_linked && link(path().c_str(), (dir_ + "/sub/twin.ini").c_str()) != 0)
      ADD_FAILURE() << "cannot hard-link the script: " << strerror(errno);
    ReplaceCalls() = {Create,   Chmod, Write, Sync,         Link,    Rename,
                      Allocate, Truncate, Chown, SetAttribute, Exchange};
  }
  ~Project() {
    ReplaceCalls() = saved_;
    for (const std::string& name : List(dir_ + "/sub")) unlink((dir_ + "/sub/" + name).c_str());
    rmdir((dir_ + "/sub").c_str());
    rmdir(dir_.c_str());
  }
  const std::string& dir() const { return dir_; }
  std::string path() const { return dir_ + "/sub/s.ini"; }
  std::string Content() const { return ReadFile(path()); }
  std::vector<std::string> Names() const { return List(dir_ + "/sub"); }

  // Sets S.k to `value`; the failure raised, or an empty one.
  Failure Set(const std::string& value) const {
    std::string error;
    try {
      EXPECT_EQ(SetOption(dir_, "s.ini", "S", "k", value, "", &error), 0) << error;
    } catch (const Failure& failure) {
      return failure;
    }
    return Failure("", "", nullptr);
  }

  static const std::string kOld;

 private:
  FileReplaceCalls saved_;
  std::string dir_;
};

const std::string Project::kOld = "[S]\nk=old\n[F]\n" + std::string(3000, 'f') + "\n";

struct Way {
  const char* name;
  bool no_tmpfile, no_exchange, hard_linked;
  std::string value;  // in place: longer, then shorter than the old value
};
const Way kWays[] = {{"anonymous temporary file", false, false, false, "new"},
                     {"named temporary file", true, false, false, "new"},
                     {"rename after a check", false, true, false, "new"},
                     {"in place, growing", false, false, true, std::string(5000, 'n')},
                     {"in place, shrinking", false, false, true, "n"}};

std::string NewContent(const std::string& value) {
  return "[S]\nk=" + value + Project::kOld.substr(9);
}

struct Outcome {
  Faults seen;
  Failure raised{"", "", nullptr};
  std::string expected_message;  // the message a refused write raises
  std::string content;
  std::vector<std::string> names;
};

// A run that sets the value of `way` with the calls `fail` failing.
Outcome RunWay(const Way& way, std::vector<std::pair<Step, int>> fail, int error = 0) {
  Project project(way.hard_linked);
  g_faults = Faults{};
  g_faults.no_tmpfile = way.no_tmpfile;
  g_faults.no_exchange = way.no_exchange;
  g_faults.fail = std::move(fail);
  g_faults.error = error;
  Outcome outcome;
  outcome.raised = project.Set(way.value);
  outcome.seen = g_faults;
  outcome.expected_message = "Unable to write to " + project.path();
  outcome.content = project.Content();
  outcome.names = project.Names();
  return outcome;
}

std::string Where(const Way& way, Step step, int call) {
  return std::string(way.name) + ": " + kStepNames[step] + " call " + std::to_string(call);
}

std::vector<std::string> NamesFor(const Way& way) {
  return way.hard_linked ? std::vector<std::string>{"s.ini", "twin.ini"}
                         : std::vector<std::string>{"s.ini"};
}

// Whether the change has landed before `step` call `call`: once the exchange
// of names is flushed, only the old file's removal follows, and its flush
// may fail without undoing anything. In place, once the new bytes are
// flushed, the mark that says so, its flush and the journal's removal may
// fail: a mark that cannot say "done" is removed instead.
bool LandedBefore(const Way& way, const Outcome& clean, Step step, int call) {
  const bool last = call == clean.seen.calls[step];
  if (way.hard_linked) return last && (step == kSetAttribute || step == kSyncFile || step == kSyncDir);
  return !way.no_exchange && step == kSyncDir && last;
}

TEST(FaultInjection, EveryFailingCallLeavesTheOldFile) {
  int points = 0;
  for (const Way& way : kWays) {
    const Outcome clean = RunWay(way, {});
    ASSERT_EQ(clean.raised.kind(), "") << way.name;
    ASSERT_TRUE(clean.content == NewContent(way.value)) << way.name;
    ASSERT_GT(clean.seen.calls[kWrite], 1) << way.name;  // several writes, each a fault point
    for (int step = 0; step < kSteps; ++step) {
      for (int call = 1; call <= clean.seen.calls[step]; ++call, ++points) {
        SCOPED_TRACE(Where(way, Step(step), call));
        const Outcome failed = RunWay(way, {{Step(step), call}});
        EXPECT_GE(failed.seen.calls[step], call);  // the failure was reached
        EXPECT_EQ(failed.names, NamesFor(way));
        if (LandedBefore(way, clean, Step(step), call)) {
          EXPECT_EQ(failed.raised.kind(), "");
          EXPECT_TRUE(failed.content == NewContent(way.value));
          continue;
        }
        EXPECT_EQ(failed.raised.kind(), "EIniFileException");
        EXPECT_EQ(failed.raised.message(), failed.expected_message);
        EXPECT_TRUE(failed.content == Project::kOld) << failed.content.substr(0, 40);
      }
    }
  }
  std::printf("fault points injected: %d\n", points);
  EXPECT_GE(points, 30);
}

// A directory that refuses a new file for lack of permission, or a new file
// that cannot get the old one's owner or mode, still lets a writable file be
// rewritten in place; once the name took the new file, nothing may fall back
// to that.
TEST(FaultInjection, OnlyARefusalBeforeTheRenameRewritesInPlace) {
  const Way& way = kWays[0];
  for (Step step : {kCreate, kChown, kChmod, kWrite, kSyncFile, kLink, kExchange, kSyncDir}) {
    SCOPED_TRACE(kStepNames[step]);
    const Outcome refused = RunWay(way, {{step, 1}}, EACCES);
    EXPECT_GE(refused.seen.calls[step], 1);  // the refusal was reached
    EXPECT_EQ(refused.names, NamesFor(way));
    if (step == kSyncDir) {
      EXPECT_EQ(refused.raised.kind(), "EIniFileException");
      EXPECT_TRUE(refused.content == Project::kOld);
    } else {
      EXPECT_EQ(refused.raised.kind(), "");
      EXPECT_TRUE(refused.content == NewContent(way.value));
    }
  }
}

// When the directory cannot be flushed, the old file is put back (exchanged
// back, or its content renamed over the name); should that fail too, the new
// file stays, whole.
TEST(FaultInjection, AFailedRollBackLeavesTheNewFileWhole) {
  int points = 0;
  for (const Way& way : {kWays[0], kWays[1], kWays[2]}) {
    const Outcome clean = RunWay(way, {});
    const Outcome rolled_back = RunWay(way, {{kSyncDir, 1}});
    EXPECT_TRUE(rolled_back.content == Project::kOld) << way.name;
    for (int step = 0; step < kSteps; ++step) {
      for (int call = clean.seen.calls[step] + 1; call <= rolled_back.seen.calls[step]; ++call) {
        if (step == kSyncDir) continue;
        SCOPED_TRACE(Where(way, Step(step), call));
        const Outcome failed = RunWay(way, {{kSyncDir, 1}, {Step(step), call}});
        EXPECT_EQ(failed.raised.kind(), "EIniFileException");
        EXPECT_TRUE(failed.content == NewContent(way.value));
        EXPECT_EQ(failed.names, NamesFor(way));
        ++points;
      }
    }
  }
  std::printf("roll-back fault points injected: %d\n", points);
  EXPECT_GE(points, 8);
}

// Another program renames its file over the script's name after the run read
// the script and before the run's new file takes the name: the name must not
// be taken blindly, since that would destroy the other file. The run starts
// over from the other file and changes only its key.
TEST(FaultInjection, AFileRenamedOverTheNameMeanwhileIsChangedNotLost) {
  for (const Way& way : {kWays[0], kWays[1], kWays[2]}) {
    SCOPED_TRACE(way.name);
    Project project(false);
    const std::string other = project.dir() + "/sub/other.ini";
    std::ofstream(other, std::ios::binary) << "[S]\nk=other\n[O]\nkept\n";
    g_faults = Faults{};
    g_faults.no_tmpfile = way.no_tmpfile;
    g_faults.no_exchange = way.no_exchange;
    g_faults.rename_at_create = {other, project.path()};
    EXPECT_EQ(project.Set("new").kind(), "");
    EXPECT_TRUE(project.Content() == "[S]\nk=new\n[O]\nkept\n") << project.Content().substr(0, 20);
    EXPECT_EQ(project.Names(), NamesFor(way));
    EXPECT_GE(g_faults.calls[kCreate], 2);  // a second attempt, from the other file
  }
}

// A rewrite in place that fails, and whose restore fails too, leaves a mix
// and its journal, and says so; the next run that opens the file, for any
// key, puts the old bytes back, removes the journal, and reads what it put
// back.
TEST(FaultInjection, AFailedRestoreLeavesTheJournalForTheNextRun) {
  for (const Way& way : {kWays[3], kWays[4]}) {
    for (const bool key_found : {false, true}) {
      SCOPED_TRACE(std::string(way.name) + (key_found ? ", key found" : ", key missing"));
      Project project(true);
      g_faults = Faults{};
      g_faults.script_writes_that_work = 1;
      EXPECT_EQ(project.Set(way.value).kind(), "EIniFileException");
      EXPECT_FALSE(project.Content() == Project::kOld);
      EXPECT_EQ(project.Names().size(), 3u);  // the journal beside the script
      g_faults = Faults{};
      std::string error;
      const std::string key = key_found ? "k" : "absent";
      EXPECT_EQ(SetOption(project.dir(), "s.ini", "S", key, "z", "", &error), key_found ? 0 : 1);
      EXPECT_TRUE(project.Content() == (key_found ? NewContent("z") : Project::kOld));
      EXPECT_EQ(project.Names(), NamesFor(way));
    }
  }
}

}  // namespace
}  // namespace varnok
