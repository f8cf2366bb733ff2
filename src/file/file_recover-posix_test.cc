// What the next open makes of a rewrite in place that a killed run left:
// a torn script, its mark and its journal, made here as the rewrite makes
// them, then varied. Only a trusted journal of this file and this write, on
// a file that holds what that write can have left, is ever applied.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "base/failure.h"
#include "file/file_replace.h"
#include "file/file_replace_state-posix.h"
#include "file/journal.h"

namespace varnok {
namespace {

const std::string kOld = "[S]\nk=old\n[T]\nx=1\n";
const std::string kNew = "[S]\nk=a longer new value\n[T]\nx=1\n";
constexpr size_t kOffset = 6;  // "[S]\nk=" stays

std::string ReadAll(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A script whose rewrite from kOld to kNew stopped after `written` new
// bytes, marked as writing, with its journal in `journal_dir` (the script's
// own directory by default).
class TornScript : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/varnok-recover-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/s.ini";
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  void Tear(size_t written, const std::string& journal_dir = "") {
    std::string torn = kOld;
    torn.resize(std::max(torn.size(), kOffset + written), '\0');
    torn.replace(kOffset, written, kNew, kOffset, written);
    WriteAll(path_, torn);
    const int fd = open(path_.c_str(), O_RDONLY);
    struct stat st;
    fstat(fd, &st);
    record_ = JournalRecord{FileIdentity(fd, st), std::string(16, '\x5a'), kOffset,
                            kOld.substr(kOffset), kNew.substr(kOffset)};
    close(fd);
    journal_ = (journal_dir.empty() ? dir_ : journal_dir) + "/" + JournalName(record_.token);
    WriteAll(journal_, EncodeJournal(record_));
    chmod(journal_.c_str(), 0600);
    Mark(WriteMark::kWriting);
  }

  void Mark(WriteMark::State state) {
    const std::string mark = EncodeMark(WriteMark{state, record_.token, journal_});
    ASSERT_EQ(setxattr(path_.c_str(), kMarkAttribute, mark.data(), mark.size(), 0), 0)
        << "no user attributes here: " << strerror(errno);
  }

  bool Marked() const { return getxattr(path_.c_str(), kMarkAttribute, nullptr, 0) >= 0; }

  // Opens the script as a run does; the report raised, empty when none.
  std::string Open(const std::string& path = "") {
    LockedFile script;
    try {
      opened_ = script.Open(path.empty() ? path_ : path);
      content_ = script.content();
    } catch (const Failure& failure) {
      return failure.message();
    }
    return "";
  }

  // Whether the run left the torn file alone and stopped with a report
  // that names the journal.
  void ExpectStopped(const std::string& report, const std::string& torn) {
    EXPECT_NE(report.find("Unable to write to " + path_ + ": its rewrite in place was stopped"),
              std::string::npos) << report;
    EXPECT_NE(report.find(journal_), std::string::npos) << report;
    EXPECT_EQ(ReadAll(path_), torn);
    EXPECT_TRUE(Marked());
  }

  std::string dir_, path_, journal_, content_;
  JournalRecord record_;
  bool opened_ = false;
};

TEST_F(TornScript, ATrustedJournalOfThisWriteIsPutBackWhereverTheWriteStopped) {
  for (const size_t written : {size_t{0}, size_t{3}, kNew.size() - kOffset}) {
    SCOPED_TRACE(written);
    Tear(written);
    EXPECT_EQ(Open(), "");
    EXPECT_EQ(content_, kOld);
    EXPECT_EQ(ReadAll(path_), kOld);
    EXPECT_FALSE(Marked());
    EXPECT_NE(access(journal_.c_str(), F_OK), 0);
  }
}

// The mark is on the file, so a run through a name in another directory
// finds the journal too.
TEST_F(TornScript, AnotherNameFindsTheUnfinishedWrite) {
  Tear(4);
  ASSERT_EQ(mkdir((dir_ + "/other").c_str(), 0755), 0);
  ASSERT_EQ(link(path_.c_str(), (dir_ + "/other/twin.ini").c_str()), 0);
  EXPECT_EQ(Open(dir_ + "/other/twin.ini"), "");
  EXPECT_EQ(ReadAll(path_), kOld);
  EXPECT_FALSE(Marked());
}

// The file changed after the kill (an editor saved over it in place): the
// journal no longer describes it and is set aside, never applied.
TEST_F(TornScript, AFileChangedSinceKeepsItsChangeAndTheJournalIsSetAside) {
  Tear(4);
  const std::string edited = "[S]\nk=from the editor\n";
  WriteAll(path_, edited);
  EXPECT_EQ(Open(), "");
  EXPECT_EQ(content_, edited);
  EXPECT_EQ(ReadAll(path_), edited);
  EXPECT_FALSE(Marked());
  EXPECT_EQ(ReadAll(journal_ + ".stale"), EncodeJournal(record_));
}

// A mark that came with a copy of the file leads to another file's journal.
TEST_F(TornScript, AnotherFilesJournalIsNeverApplied) {
  Tear(4);
  const std::string torn = ReadAll(path_);
  record_.identity[0] ^= 1;
  WriteAll(journal_, EncodeJournal(record_));
  EXPECT_EQ(Open(), "");
  EXPECT_EQ(ReadAll(path_), torn);
  EXPECT_FALSE(Marked());
  EXPECT_EQ(ReadAll(journal_), EncodeJournal(record_));  // left to its own file
}

// A journal that is gone, of another write, damaged, or that anybody but
// this user, root or the file's owner could have written or replaced, is
// never applied, and the torn file is not edited either.
TEST_F(TornScript, AJournalThatCannotBeTrustedStopsTheRun) {
  const struct {
    const char* what;
    void (*spoil)(const std::string& journal, JournalRecord* record);
  } kSpoils[] = {
      {"gone", [](const std::string& journal, JournalRecord*) { unlink(journal.c_str()); }},
      {"another write's", [](const std::string& journal, JournalRecord* record) {
         record->token[0] ^= 1;
         WriteAll(journal, EncodeJournal(*record));
       }},
      {"damaged", [](const std::string& journal, JournalRecord*) { EXPECT_EQ(truncate(journal.c_str(), 20), 0); }},
      {"group-writable", [](const std::string& journal, JournalRecord*) { chmod(journal.c_str(), 0620); }},
      {"world-writable", [](const std::string& journal, JournalRecord*) { chmod(journal.c_str(), 0602); }},
      {"a second link", [](const std::string& journal, JournalRecord*) {
         EXPECT_EQ(link(journal.c_str(), (journal + ".kept").c_str()), 0);
       }},
      {"a symbolic link", [](const std::string& journal, JournalRecord*) {
         rename(journal.c_str(), (journal + ".real").c_str());
         EXPECT_EQ(symlink((journal + ".real").c_str(), journal.c_str()), 0);
       }},
      {"a FIFO", [](const std::string& journal, JournalRecord*) {
         unlink(journal.c_str());
         mkfifo(journal.c_str(), 0600);
       }},
      {"another user's", [](const std::string& journal, JournalRecord*) {
         EXPECT_EQ(chown(journal.c_str(), 4100, 4100), 0);
       }},
  };
  for (const auto& spoil : kSpoils) {
    SCOPED_TRACE(spoil.what);
    if (geteuid() != 0 && std::string(spoil.what) == "another user's") continue;  // needs root
    Tear(4);
    const std::string torn = ReadAll(path_);
    spoil.spoil(journal_, &record_);
    ExpectStopped(Open(), torn);
    EXPECT_EQ(system(("rm -f '" + journal_ + "'*").c_str()), 0);
    removexattr(path_.c_str(), kMarkAttribute);
  }
}

// A journal in this user's own directory under /var/tmp is found and
// applied as one beside the script is.
TEST_F(TornScript, AJournalInTheUsersOwnDirectoryIsApplied) {
  const std::string own = "/var/tmp/varnok-" + std::to_string(geteuid());
  mkdir(own.c_str(), 0700);
  Tear(4, own);
  EXPECT_EQ(Open(), "");
  EXPECT_EQ(ReadAll(path_), kOld);
  EXPECT_NE(access(journal_.c_str(), F_OK), 0);
}

// A write that never began (prepared) or that finished (done) leaves its
// journal to be removed, never applied.
TEST_F(TornScript, AJournalOfAWriteNotUnderwayIsRemoved) {
  for (const WriteMark::State state : {WriteMark::kPrepared, WriteMark::kDone}) {
    Tear(4);
    const std::string now = ReadAll(path_);
    Mark(state);
    EXPECT_EQ(Open(), "");
    EXPECT_EQ(ReadAll(path_), now);
    EXPECT_FALSE(Marked());
    EXPECT_NE(access(journal_.c_str(), F_OK), 0);
  }
}

// A file read-only to every user is never written, not even to undo.
TEST_F(TornScript, AReadOnlyFileIsNotRecovered) {
  Tear(4);
  const std::string torn = ReadAll(path_);
  chmod(path_.c_str(), 0444);
  EXPECT_EQ(Open(), "");
  EXPECT_TRUE(opened_);
  EXPECT_EQ(ReadAll(path_), torn);
  EXPECT_TRUE(Marked());
}

}  // namespace
}  // namespace varnok
