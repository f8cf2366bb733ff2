// The journal of a rewrite in place on Windows: put back only for its own
// unfinished write, found through every name of the file, never into
// another file or over a later change, never from a journal nobody can
// vouch for; private, and never blocked by a name somebody holds. Marks are
// kept by the stand-in (file_test_dir-win32.h), as NTFS keeps the stream.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/failure.h"
#include "file/file_journal-win32.h"
#include "file/file_test_dir-win32.h"

namespace varnok {
namespace testing_win32 {
namespace {

constexpr char kOld[] = "[S]\nk=old\n[T]\nx=1\n";

class WindowsJournal : public WindowsFiles {
 protected:
  // Leaves the script at `path` as a run stopped after writing `written`
  // bytes of its rewrite in place to `new_text`: marked, journaled, torn.
  void StopRewrite(const std::string& path, const std::string& new_text, size_t written) {
    const std::string old_text = Read(path);
    size_t keep = 0;
    while (keep < old_text.size() && keep < new_text.size() && old_text[keep] == new_text[keep]) ++keep;
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    const JournalRecord record = {RecordIdentity(file), "", keep, old_text.substr(keep),
                                  new_text.substr(keep)};
    JournalFile journal;  // never finished: as when its run was killed
    std::string problem;
    ASSERT_EQ(journal.Save(file, ExtendedPath(path), DirectoryOf(ExtendedPath(path)), record,
                           &problem), 0u);
    if (new_text.size() > old_text.size()) {
      ASSERT_TRUE(MoveTo(file, new_text.size()) && SetEndOfFile(file));
    }
    const Part part = {new_text.data() + keep, std::min(written, new_text.size() - keep)};
    ASSERT_TRUE(MoveTo(file, keep));
    ASSERT_EQ(WriteAll(file, &part, 1), 0u);
    CloseHandle(file);
  }

  // The message of the failure that opening `path` raises; empty for none.
  static std::string OpenFailure(const std::string& path, std::string* content = nullptr) {
    LockedFile script;
    try {
      EXPECT_TRUE(script.Open(path));
    } catch (const Failure& failure) {
      return failure.message();
    }
    if (content != nullptr) *content = script.content();
    return "";
  }

  static std::string Shown(const std::string& journal) { return journal.substr(4); }

  static void SetMarkState(const std::string& path, WriteMark::State state) {
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    std::string bytes;
    ASSERT_EQ(FileCalls().read_mark(file, L"", &bytes), 0u);
    WriteMark mark = *DecodeMark(bytes);
    mark.state = state;
    FileCalls().write_mark(file, L"", EncodeMark(mark));
    CloseHandle(file);
  }

  bool Exists(const std::string& path) const {
    return GetFileAttributesW(WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
};

TEST_F(WindowsJournal, AStoppedRewriteIsUndoneThroughAnyNameOfTheFile) {
  for (const std::string& new_text : {std::string("[S]\nk=a much longer value\n[T]\nx=1\n"),
                                      std::string("[S]\nk=\n")}) {
    const std::string path = Write("s.ini", kOld), twin = root_ + "\\twin.ini";
    ASSERT_TRUE(CreateHardLinkW(ExtendedPath(twin).c_str(), ExtendedPath(path).c_str(), nullptr));
    StopRewrite(path, new_text, 9);
    const std::string journal = MarkedJournal(path);
    ASSERT_NE(Read(path), kOld);
    std::string content;
    EXPECT_EQ(OpenFailure(twin, &content), "");
    EXPECT_EQ(content, kOld);
    EXPECT_EQ(Read(path), kOld);
    EXPECT_FALSE(Exists(journal));
    EXPECT_TRUE(Marks().empty());
    DeleteFileW(ExtendedPath(twin).c_str());
  }
}

// A file made anew where a torn one was removed may get its file ID, and a
// copy may carry its mark; the creation time in the record tells them apart.
TEST_F(WindowsJournal, ANewFileWithTheOldOnesIdNeverGetsItsJournal) {
  const std::string path = Write("s.ini", kOld);
  const FileIdentity old_identity = Identity(path);
  StopRewrite(path, "[S]\nk=a much longer value\n[T]\nx=1\n", 9);
  const std::string torn = Read(path), journal = MarkedJournal(path);
  bool same_id = false;
  for (int attempt = 0; attempt < 20 && !same_id; ++attempt) {
    ASSERT_TRUE(DeleteFileW(ExtendedPath(path).c_str()));
    Write("s.ini", torn);  // the very bytes the stopped write left
    same_id = Identity(path) == old_identity;
  }
  if (!same_id) GTEST_SKIP() << "the file system gave the new file another ID";
  CreationTimes().clear();  // the new file's is its own
  ASSERT_FALSE(Marks().empty()) << "the stand-in keeps marks by file ID";
  std::string content;
  EXPECT_EQ(OpenFailure(path, &content), "");
  EXPECT_EQ(content, torn);
  EXPECT_EQ(Read(path), torn);
  EXPECT_TRUE(Exists(journal)) << "another file's journal, left alone";
  EXPECT_TRUE(Marks().empty());
}

TEST_F(WindowsJournal, AJournalOfAWriteChangedSinceIsSetAsideNotApplied) {
  const std::string path = Write("s.ini", kOld);
  StopRewrite(path, "[S]\nk=a much longer value\n[T]\nx=1\n", 9);
  const std::string journal = MarkedJournal(path);
  HANDLE editor = CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  const Part saved = {"[S]\nk=edited", 12};
  ASSERT_EQ(WriteAll(editor, &saved, 1), 0u);
  CloseHandle(editor);
  const std::string edited = Read(path);
  std::string content;
  EXPECT_EQ(OpenFailure(path, &content), "");
  EXPECT_EQ(content, edited);
  EXPECT_EQ(Read(path), edited);
  EXPECT_FALSE(Exists(journal));
  EXPECT_TRUE(Exists(journal + ".stale"));
  EXPECT_TRUE(Marks().empty());
}

// A journal that is gone, has a second name, is another write's, or a mark
// this version cannot read: the torn file is not edited, and the report
// names the journal.
TEST_F(WindowsJournal, AJournalNobodyCanVouchForStopsTheRun) {
  const std::string stopped = "its rewrite in place was stopped, and its journal ";
  for (const int tamper : {0, 1, 2, 3}) {
    SCOPED_TRACE(tamper);
    const std::string path = Write("s.ini", kOld);
    StopRewrite(path, "[S]\nk=a much longer value\n[T]\nx=1\n", 9);
    const std::string journal = MarkedJournal(path), torn = Read(path);
    std::string expected = stopped + Shown(journal);
    if (tamper == 0) {
      ASSERT_TRUE(DeleteFileW(WideFromUtf8(journal).c_str()));
      expected += " cannot be opened (Windows error 2)";
    } else if (tamper == 1) {
      ASSERT_TRUE(CreateHardLinkW((ExtendedPath(root_) + L"\\kept").c_str(),
                                  WideFromUtf8(journal).c_str(), nullptr));
      expected += " is not to be trusted (another owner, a second name or a link)";
    } else if (tamper == 2) {
      JournalRecord record = *DecodeJournal(Read(journal));
      record.token[0] ^= 1;
      WriteAt(WideFromUtf8(journal), EncodeJournal(record));
      expected += " is damaged or another write's";
    } else {
      Marks().begin()->second = "varnokM9";
      expected = "it carries a mark (:varnok.write) that this version cannot read";
    }
    EXPECT_EQ(OpenFailure(path), "Unable to write to " + path + ": " + expected);
    EXPECT_EQ(Read(path), torn);
    EXPECT_FALSE(Marks().empty());
    Marks().clear();
    DeleteFileW(WideFromUtf8(journal).c_str());
    DeleteFileW((ExtendedPath(root_) + L"\\kept").c_str());
  }
}

// A mark whose write never began, or has finished, is removed with its
// journal (only its own journal); the file is not touched.
TEST_F(WindowsJournal, MarksOfWritesNotBegunOrDoneGoWithTheirOwnJournals) {
  const std::string new_text = "[S]\nk=a much longer value\n[T]\nx=1\n";
  for (const WriteMark::State state : {WriteMark::kPrepared, WriteMark::kDone}) {
    const std::string path = Write("s.ini", kOld);
    StopRewrite(path, new_text, state == WriteMark::kDone ? new_text.size() - 6 : 0);
    SetMarkState(path, state);
    const std::string journal = MarkedJournal(path), left = Read(path);
    std::string content;
    EXPECT_EQ(OpenFailure(path, &content), "");
    EXPECT_EQ(content, left);
    EXPECT_EQ(Read(path), left);
    EXPECT_FALSE(Exists(journal));
    EXPECT_TRUE(Marks().empty());
  }
  const std::string path = Write("s.ini", kOld);
  StopRewrite(path, new_text, 0);
  SetMarkState(path, WriteMark::kDone);
  const std::string journal = MarkedJournal(path);
  JournalRecord record = *DecodeJournal(Read(journal));
  record.token[0] ^= 1;
  WriteAt(WideFromUtf8(journal), EncodeJournal(record));
  EXPECT_EQ(OpenFailure(path), "");
  EXPECT_TRUE(Exists(journal)) << "another write's journal";
  EXPECT_TRUE(Marks().empty());
}

TEST_F(WindowsJournal, RecoveryComesAfterTheReadOnlyCheck) {
  const std::string path = Write("s.ini", kOld);
  StopRewrite(path, "[S]\nk=a much longer value\n[T]\nx=1\n", 9);
  const std::string torn = Read(path);
  ASSERT_TRUE(SetFileAttributesW(ExtendedPath(path).c_str(), FILE_ATTRIBUTE_READONLY));
  {
    LockedFile script;
    ASSERT_TRUE(script.Open(path));
    EXPECT_EQ(script.content(), torn);
    EXPECT_EQ(script.Replace("[S]\nk=", "new", "\n"), static_cast<int>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(Read(path), torn);
  EXPECT_FALSE(Marks().empty());
  ASSERT_TRUE(SetFileAttributesW(ExtendedPath(path).c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(OpenFailure(path), "");
  EXPECT_EQ(Read(path), kOld);
}

// Journals are readable by this user alone; a name somebody holds makes the
// run choose another; a journal that somebody takes a second name of while
// the bytes are written is reported, and the write undone.
TEST_F(WindowsJournal, AJournalIsPrivateAndNeitherBlockedNorTaken) {
  const std::string path = Write("s.ini", kOld), twin = root_ + "\\twin.ini";
  ASSERT_TRUE(CreateHardLinkW(ExtendedPath(twin).c_str(), ExtendedPath(path).c_str(), nullptr));
  std::vector<std::string> prepared;
  bool journal_private = false;
  OnMarkWritten() = [&](const WriteMark& mark) {
    if (mark.state == WriteMark::kPrepared) prepared.push_back(mark.journal);
    if (mark.state == WriteMark::kPrepared && prepared.size() == 1) {
      CreateDirectoryW(WideFromUtf8(mark.journal).c_str(), nullptr);  // squatted
    }
    if (mark.state == WriteMark::kWriting) {
      journal_private = !GrantsEverybody(WideFromUtf8(mark.journal));
    }
  };
  EXPECT_EQ(Change(path), 0);
  EXPECT_EQ(Read(twin), "[S]\nk=new\n[T]\nx=1\n");
  ASSERT_EQ(prepared.size(), 2u);
  EXPECT_NE(prepared[0], prepared[1]);
  EXPECT_TRUE(journal_private);
  EXPECT_FALSE(Exists(prepared[1]));
  EXPECT_TRUE(Marks().empty());
  RemoveDirectoryW(WideFromUtf8(prepared[0]).c_str());

  bool moved = true;
  OnMarkWritten() = [&](const WriteMark& mark) {
    if (mark.state != WriteMark::kWriting) return;
    const std::wstring journal = WideFromUtf8(mark.journal), taken = ExtendedPath(root_) + L"\\taken";
    moved = MoveFileExW(journal.c_str(), taken.c_str(), 0);
    CreateHardLinkW(taken.c_str(), journal.c_str(), nullptr);
  };
  LockedFile script;
  ASSERT_TRUE(script.Open(path));
  EXPECT_NE(script.Replace("[S]\nk=", "third", "\n[T]\nx=1\n"), 0);
  EXPECT_EQ(script.problem(), "somebody else moved or linked its journal while it was written");
  EXPECT_FALSE(moved) << "held without sharing deletion";
  EXPECT_EQ(Read(path), "[S]\nk=new\n[T]\nx=1\n");
  EXPECT_TRUE(Marks().empty()) << "the taken journal can never be applied";
}

TEST(WindowsJournalPlace, TheUsersOwnDirectoryIsBelowTheTemporaryOneWithOneSeparator) {
  const std::wstring dir = PrivateJournalDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.rfind(L"\\\\?\\", 0), 0u);
  EXPECT_EQ(dir.find(L"\\\\", 4), std::wstring::npos) << Utf8FromWide(dir);
  EXPECT_EQ(dir.substr(dir.size() - 7), L"\\varnok");
}

}  // namespace
}  // namespace testing_win32
}  // namespace varnok
