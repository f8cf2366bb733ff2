// The script file on Windows: the turn, the replacement and what it keeps,
// and the checks that make a run start over instead of undoing another
// program's change.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "file/file_rename-win32.h"
#include "file/file_test_dir-win32.h"
#include "file/file_turn-win32.h"

namespace varnok {
namespace testing_win32 {
namespace {

using WindowsReplace = WindowsFiles;

HANDLE OpenAll(const std::string& path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(ExtendedPath(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// Whether this system renames a file over an open one (POSIX semantics).
bool RenamesOverOpenFiles(const std::string& dir) {
  const std::wstring from = ExtendedPath(dir + "\\from"), to = ExtendedPath(dir + "\\to");
  HANDLE made = CreateFileW(from.c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                            0, nullptr);
  const DWORD error = PosixRename(made, to);
  MarkForDeletion(made, true);
  CloseHandle(made);
  return error == 0;
}

TEST_F(WindowsReplace, TheTurnIsALockOfTheFileWhateverSpellingReachesIt) {
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  EXPECT_EQ(Identity(root_ + "\\.\\S.INI"), Identity(path));
  HANDLE mine = OpenAll(path), other = OpenAll(root_ + "\\.\\S.INI");
  bool held = false;
  ASSERT_EQ(TakeTurn(mine, true, Deadline(0), &held), 0u);
  EXPECT_TRUE(held);
  // Readers are not refused, nor those that lock the bytes they read.
  EXPECT_EQ(Read(path), "[S]\nk=old\n");
  EXPECT_EQ(LockRange(other, 0, 10, Deadline(0)), 0u);
  UnlockRange(other, 0, 10);
  const ULONGLONG started = GetTickCount64();
  EXPECT_EQ(TakeTurn(other, true, Deadline(200), &held), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
  EXPECT_GE(GetTickCount64() - started, 150u) << "waited its bounded time";
  ReleaseTurn(mine);
  EXPECT_EQ(TakeTurn(other, true, Deadline(0), &held), 0u);
  // A read-only run takes a shared turn: readers never wait for each other.
  ReleaseTurn(other);
  HANDLE reader = OpenAll(path, GENERIC_READ);
  EXPECT_EQ(TakeTurn(reader, false, Deadline(0), &held), 0u);
  EXPECT_EQ(TakeTurn(other, false, Deadline(0), &held), 0u);
  EXPECT_EQ(TakeTurn(mine, true, Deadline(0), &held), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
  for (HANDLE handle : {mine, other, reader}) CloseHandle(handle);
}

TEST_F(WindowsReplace, ReplacementKeepsAttributesAndStreamsAndLeavesNoTemporaryFile) {
  FileCalls().find_first_stream = RealCalls().find_first_stream;
  FileCalls().find_next_stream = RealCalls().find_next_stream;
  FileCalls().find_close = RealCalls().find_close;
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  const std::string stream = path + ":extra";
  HANDLE extra = CreateFileW(ExtendedPath(stream).c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
  if (extra != INVALID_HANDLE_VALUE) CloseHandle(extra);
  // Where streams are not kept (Wine), the name makes a file of its own.
  const bool streams = extra != INVALID_HANDLE_VALUE && Entries().size() == 1;
  if (streams) {
    Write("s.ini:extra", "kept");
  } else {
    DeleteFileW(ExtendedPath(stream).c_str());
  }
  const DWORD attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesW(ExtendedPath(path).c_str(), attributes));
  const FileIdentity before = Identity(path);
  EXPECT_EQ(Change(path), 0);
  EXPECT_NE(Identity(path), before) << "replaced, not rewritten in place";
  EXPECT_EQ(Read(path), "[S]\nk=new\n");
  EXPECT_EQ(GetFileAttributesW(ExtendedPath(path).c_str()), attributes);
  if (streams) {
    EXPECT_EQ(Read(stream), "kept");
  }
  EXPECT_EQ(Entries(), std::vector<std::string>{"s.ini"});
}

// NTFS lists the file's own data first, as "::$DATA", then its named
// streams, among them the mark of a rewrite in place, which never goes to
// the new file. The new file is readable by this user alone until it has
// the old one's access list.
WindowsFileCalls ntfs_calls;
std::string temp_dir;
bool temp_private = false;

HANDLE ListStreamsCheckingTheNewFile(const wchar_t* path, WIN32_FIND_STREAM_DATA* stream) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((ExtendedPath(temp_dir) + L"\\.vk*.tmp").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    temp_private = !WindowsFiles::GrantsEverybody(ExtendedPath(temp_dir) + L"\\" + found.cFileName);
    FindClose(search);
  }
  return ntfs_calls.find_first_stream(path, stream);
}

TEST_F(WindowsReplace, WithStreamsListedAsNtfsListsThemTheReplacementIsAtomicAndPrivate) {
  ListedStreams() = {L":varnok.write:$DATA"};
  ntfs_calls = FileCalls();
  FileCalls().find_first_stream = ListStreamsCheckingTheNewFile;
  temp_dir = root_;
  temp_private = false;
  int marks = 0;
  OnMarkWritten() = [&marks](const WriteMark&) { ++marks; };
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  EXPECT_TRUE(GrantsEverybody(ExtendedPath(path))) << "a file made without an access list of its own";
  const FileIdentity before = Identity(path);
  EXPECT_EQ(Change(path), 0);
  EXPECT_NE(Identity(path), before) << "replaced, not rewritten in place";
  EXPECT_EQ(Read(path), "[S]\nk=new\n");
  EXPECT_EQ(marks, 0) << "no journal";
  EXPECT_TRUE(temp_private);
  EXPECT_EQ(Entries(), std::vector<std::string>{"s.ini"});
}

DWORD MadeEncrypted(HANDLE) { return FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_ENCRYPTED; }

// An encrypted or compressed directory makes every new file so: the old file
// is rewritten in place, keeping what it was.
TEST_F(WindowsReplace, ANewFileStoredUnlikeTheOldOneLeavesTheOldOneRewrittenInPlace) {
  FileCalls().attributes = MadeEncrypted;
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  const FileIdentity before = Identity(path);
  EXPECT_EQ(Change(path), 0);
  EXPECT_EQ(Identity(path), before);
  EXPECT_EQ(Read(path), "[S]\nk=new\n");
  EXPECT_EQ(Entries(), std::vector<std::string>{"s.ini"});
  EXPECT_TRUE(Marks().empty());
}

// A holder that does not share deletion: the file is rewritten in place,
// where its file system keeps the mark such a rewrite needs (NTFS), and
// not at all where it keeps none (FAT, exFAT, Wine).
TEST_F(WindowsReplace, AHeldFileIsRewrittenInPlaceOnlyWhereAMarkCanBeKept) {
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  const FileIdentity before = Identity(path);
  HANDLE holder = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Change(path), 0);
  EXPECT_EQ(Read(path), "[S]\nk=new\n");
  EXPECT_EQ(Identity(path), before);
  FileCalls().keeps_marks = RealCalls().keeps_marks;
  if (!FileCalls().keeps_marks(holder)) {
    LockedFile script;
    ASSERT_TRUE(script.Open(path));
    EXPECT_EQ(script.Replace("[S]\nk=", "third", "\n"), static_cast<int>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(script.problem(), "its file system keeps no named streams, which a rewrite in place needs");
    EXPECT_EQ(Read(path), "[S]\nk=new\n");
  }
  CloseHandle(holder);
  EXPECT_EQ(Entries(), std::vector<std::string>{"s.ini"});
}

TEST_F(WindowsReplace, APathLongerThanMaxPathIsReplaced) {
  std::string relative;
  while (root_.size() + relative.size() < 300) {
    relative += std::string(40, 'd') + std::to_string(relative.size()) + "\\";
    ASSERT_TRUE(CreateDirectoryW(ExtendedPath(root_ + "\\" + relative).c_str(), nullptr));
  }
  const std::string path = Write(relative + "s.ini", "[S]\nk=old\n");
  ASSERT_GT(path.size(), static_cast<size_t>(MAX_PATH));
  const FileIdentity before = Identity(path);
  EXPECT_EQ(Change(path), 0);
  EXPECT_EQ(Read(path), "[S]\nk=new\n");
  EXPECT_NE(Identity(path), before) << "replaced, not rewritten in place";
}

TEST_F(WindowsReplace, ALinkedFileGetsItsTargetReplacedAndStaysALink) {
  const std::string target = Write("target.ini", "[S]\nk=old\n");
  const std::string link = root_ + "\\link.ini";
  if (!CreateSymbolicLinkW(ExtendedPath(link).c_str(), ExtendedPath(target).c_str(), 0) ||
      GetFileAttributesW(ExtendedPath(link).c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "no file symbolic links here (error " << GetLastError() << ")";
  }
  EXPECT_EQ(Change(link), 0);
  EXPECT_EQ(Read(target), "[S]\nk=new\n");
  const DWORD attributes = GetFileAttributesW(ExtendedPath(link).c_str());
  EXPECT_NE(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
}

// Another program changes the file after the read, or moves another file
// under its name, or takes the name away: nothing is written, and the run
// starts over from what the name holds then.
TEST_F(WindowsReplace, AChangeBeforeTheRenameMakesTheRunStartOver) {
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  {
    LockedFile script;
    ASSERT_TRUE(script.Open(path));
    HANDLE editor = OpenAll(path);  // saving in place, as an editor may
    const Part saved = {"[S]\nk=old\nsaved=1\n", 18};
    EXPECT_EQ(WriteAll(editor, &saved, 1), 0u);
    CloseHandle(editor);
    EXPECT_EQ(script.Replace("[S]\nk=", "new", "\n"), 0);
    EXPECT_TRUE(script.must_reopen());
  }
  EXPECT_EQ(Read(path), "[S]\nk=old\nsaved=1\n");
  const std::string moved = root_ + "\\moved.ini";
  for (const bool replaced : {true, false}) {
    LockedFile script;
    ASSERT_TRUE(script.Open(path));
    ASSERT_TRUE(MoveFileExW(ExtendedPath(path).c_str(), ExtendedPath(moved).c_str(), 0));
    if (replaced) Write("s.ini", "[S]\nk=other\n");
    EXPECT_EQ(script.Replace("[S]\nk=", "new", "\n"), 0) << script.problem();
    EXPECT_TRUE(script.must_reopen());
    EXPECT_EQ(Read(moved), "[S]\nk=old\nsaved=1\n");
    if (replaced) {
      EXPECT_EQ(Read(path), "[S]\nk=other\n");
    }
    ASSERT_TRUE(MoveFileExW(ExtendedPath(moved).c_str(), ExtendedPath(path).c_str(),
                            MOVEFILE_REPLACE_EXISTING));
  }
  EXPECT_EQ(Entries(), std::vector<std::string>{"s.ini"});
}

// Without POSIX renames (Wine, FAT, older Windows) a run closes the file to
// rename over it and so gives up its turn; a viewer holding the file makes
// it give up and open the file again. An editor that saved meanwhile,
// keeping size and time, is found by the content: the run starts over.
TEST_F(WindowsReplace, ARunThatOpensTheFileAgainFindsAChangeMadeMeanwhile) {
  if (RenamesOverOpenFiles(root_)) GTEST_SKIP() << "renames here replace open files";
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  const FileIdentity before = Identity(path);
  HANDLE viewer = OpenAll(path, GENERIC_READ);
  for (const bool edited : {false, true}) {
    LockedFile script;
    ASSERT_TRUE(script.Open(path));
    std::thread editor([&] {
      HANDLE handle = OpenAll(path);
      while (edited && LockRange(handle, kGuardOffset, 1, Deadline(0)) != 0) Sleep(1);
      FILETIME written;
      GetFileTime(handle, nullptr, nullptr, &written);
      const Part same_size = {"[S]\nk=edt\n", 10};
      if (edited && MoveTo(handle, 0) && WriteAll(handle, &same_size, 1) == 0) {
        SetFileTime(handle, nullptr, nullptr, &written);
      }
      CloseHandle(handle);
    });
    const int result = script.Replace("[S]\nk=", edited ? "late" : "new", "\n");
    editor.join();
    EXPECT_EQ(result, 0) << script.problem();
    EXPECT_EQ(script.must_reopen(), edited);
  }
  CloseHandle(viewer);
  EXPECT_EQ(Read(path), "[S]\nk=edt\n");
  EXPECT_EQ(Identity(path), before) << "rewritten in place while the viewer held it";
  EXPECT_EQ(Entries(), std::vector<std::string>{"s.ini"});
}

}  // namespace
}  // namespace testing_win32
}  // namespace varnok
