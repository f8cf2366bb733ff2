// The script file on Windows: turns, locks, replacement and what it keeps.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "file/file_io-win32.h"
#include "file/file_journal-win32.h"
#include "file/file_replace.h"
#include "file/file_turn-win32.h"
#include "os/win32_text.h"

namespace varnok {
namespace {

// A fresh directory below the temporary one, removed with what it holds.
class WindowsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    root_ = Utf8FromWide(temp) + "varnok-file-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(ExtendedPath(root_).c_str(), nullptr));
  }
  void TearDown() override { Remove(ExtendedPath(root_)); }

  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = root_ + "\\" + name;
    WriteAt(ExtendedPath(path), content);
    return path;
  }

  static void WriteAt(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Utf8FromWide(path);
    const Part part = {content.data(), content.size()};
    EXPECT_EQ(WriteAll(file, &part, 1), 0u);
    CloseHandle(file);
  }

  static std::string Read(const std::string& path) {
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    std::string content;
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
    EXPECT_TRUE(ReadWhole(file, 0, &content));
    CloseHandle(file);
    return content;
  }

  // The names in the test directory.
  int Entries() const {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((ExtendedPath(root_) + L"\\*").c_str(), &entry);
    int count = 0;
    do {
      if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) ++count;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return count;
  }

  static FileIdentity Identity(const std::string& path) {
    FileIdentity identity;
    EXPECT_TRUE(IdentityAt(ExtendedPath(path), &identity)) << path;
    return identity;
  }

  static void Remove(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = path + L"\\" + name;
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
          Remove(child);
        } else if (!DeleteFileW(child.c_str())) {
          RemoveDirectoryW(child.c_str());
        }
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
  }

  std::string root_;
};

// Replaces "old" by "new" in the script at `path`; the Replace result.
int Change(const std::string& path) {
  LockedFile script;
  EXPECT_TRUE(script.Open(path));
  const std::string& text = script.content();
  const size_t at = text.find("old");
  if (at == std::string::npos) return -1;
  return script.Replace(std::string_view(text).substr(0, at), "new",
                        std::string_view(text).substr(at + 3));
}

TEST_F(WindowsFile, EverySpellingHasOneIdentityAndOneTurn) {
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  const FileIdentity identity = Identity(path);
  EXPECT_EQ(Identity(root_ + "\\.\\S.INI"), identity);
  EXPECT_EQ(Identity(Utf8FromWide(ExtendedPath(path))), identity);
  EXPECT_NE(Identity(Write("t.ini", "")), identity);
  EXPECT_EQ(IdentityHex(identity).size(), 48u);

  FileTurn mine;
  ASSERT_TRUE(mine.Take(identity, 0));
  // Mutexes belong to threads: another thread stands for another run.
  bool other_got_it = true;
  std::thread([&] { FileTurn other; other_got_it = other.Take(identity, 100); }).join();
  EXPECT_FALSE(other_got_it);
  mine.Release();
  std::thread([&] { FileTurn other; other_got_it = other.Take(identity, 100); }).join();
  EXPECT_TRUE(other_got_it);
}

TEST_F(WindowsFile, TheLockLetsReadersReadAndKeepsWritersOutForABoundedTime) {
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  LockedFile script;
  ASSERT_TRUE(script.Open(path));
  EXPECT_EQ(Read(path), "[S]\nk=old\n");
  HANDLE other = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  // A reader that locks the data it reads is not refused either.
  EXPECT_EQ(LockRange(other, 0, 10, Deadline(0)), 0u);
  UnlockRange(other, 0, 10);
  const ULONGLONG started = GetTickCount64();
  EXPECT_EQ(LockRange(other, kGuardOffset, 1, Deadline(200)),
            static_cast<DWORD>(ERROR_LOCK_VIOLATION));
  EXPECT_GE(GetTickCount64() - started, 150u);
  CloseHandle(other);
}

TEST_F(WindowsFile, ReplacementKeepsAttributesAndStreamsAndLeavesNoTemporaryFile) {
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  const std::string stream = path + ":extra";
  HANDLE extra = CreateFileW(ExtendedPath(stream).c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
  if (extra != INVALID_HANDLE_VALUE) CloseHandle(extra);
  // Where streams are not kept (Wine), the name makes a file of its own.
  const bool streams = extra != INVALID_HANDLE_VALUE && Entries() == 1;
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
  EXPECT_EQ(Entries(), 1);
}

TEST_F(WindowsFile, AHolderThatDoesNotShareDeletionGetsTheFileRewrittenInPlace) {
  const std::string path = Write("s.ini", "[S]\nk=old\n");
  const FileIdentity before = Identity(path);
  HANDLE holder = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Change(path), 0);
  CloseHandle(holder);
  EXPECT_EQ(Read(path), "[S]\nk=new\n");
  EXPECT_EQ(Identity(path), before);
  EXPECT_EQ(Entries(), 1);
}

TEST_F(WindowsFile, APathLongerThanMaxPathIsWritten) {
  std::string relative;
  while (root_.size() + relative.size() < 300) {
    relative += std::string(40, 'd') + std::to_string(relative.size()) + "\\";
    ASSERT_TRUE(CreateDirectoryW(ExtendedPath(root_ + "\\" + relative).c_str(), nullptr));
  }
  const std::string path = Write(relative + "s.ini", "[S]\nk=old\n");
  ASSERT_GT(path.size(), static_cast<size_t>(MAX_PATH));
  EXPECT_EQ(Change(path), 0);
  EXPECT_EQ(Read(path), "[S]\nk=new\n");
}

TEST_F(WindowsFile, ALinkedFileGetsItsTargetReplacedAndStaysALink) {
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

TEST_F(WindowsFile, AStoppedRewriteInPlaceIsUndoneByTheNextOpenAndOnlyForItsFile) {
  const std::string old_text = "[S]\nk=old\n[T]\nx=1\n";
  const std::string path = Write("s.ini", "[S]\nk=longer value, half wri");  // stopped midway
  const std::string other = Write("t.ini", "[S]\nk=old\n");
  const FileIdentity identity = Identity(path);
  const std::wstring journal = JournalPaths(ExtendedPath(root_), identity)[0];
  const JournalRecord record = {IdentityHex(identity), "", 6, old_text.substr(6), ""};
  std::string bytes = EncodeJournal(record);
  WriteAt(journal, bytes);
  {
    LockedFile script;
    ASSERT_TRUE(script.Open(path));
    EXPECT_EQ(script.content(), old_text);
  }
  EXPECT_EQ(Read(path), old_text);
  EXPECT_EQ(Entries(), 2) << "the journal is removed once put back";

  // A torn journal: its run stopped before the file was touched.
  WriteAt(journal, bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(Change(path), 0);
  EXPECT_EQ(Read(path), "[S]\nk=new\n[T]\nx=1\n");
  EXPECT_EQ(Entries(), 2);

  // A journal naming another file is never applied to this one.
  const std::wstring other_journal = JournalPaths(ExtendedPath(root_), Identity(other))[0];
  WriteAt(other_journal, bytes);
  EXPECT_EQ(Change(other), 0);
  EXPECT_EQ(Read(other), "[S]\nk=new\n");
  EXPECT_EQ(Entries(), 3);
}

}  // namespace
}  // namespace varnok
