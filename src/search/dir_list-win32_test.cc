// The script search over the Windows directory listing.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "search/find_script.h"
#include "os/win32_text.h"

namespace varnok {
namespace {

// A fresh directory below the temporary one, removed with what it holds.
// Paths are UTF-8, as inside the program, and every call is wide, so names
// the ANSI code page cannot spell and paths longer than MAX_PATH work.
class WindowsSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    root_ = std::string(temp) + "varnok-test-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(ExtendedPath(root_).c_str(), nullptr));
    if (!SetAttributes(root_, FILE_ATTRIBUTE_HIDDEN) ||
        GetFileAttributesW(ExtendedPath(root_).c_str()) !=
            (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY)) {
      GTEST_SKIP() << "this file system keeps no hidden attribute";
    }
    SetAttributes(root_, FILE_ATTRIBUTE_NORMAL);
  }
  void TearDown() override { Remove(root_); }

  static bool SetAttributes(const std::string& path, DWORD attributes) {
    return SetFileAttributesW(ExtendedPath(path).c_str(), attributes) != 0;
  }

  // Creates `relative` (a file, or a directory when it ends in "\") with `attributes`.
  void Make(const std::string& relative, DWORD attributes = 0) {
    const std::string path = root_ + "\\" + relative;
    for (size_t at = relative.find('\\'); at != std::string::npos; at = relative.find('\\', at + 1)) {
      CreateDirectoryW(ExtendedPath(root_ + "\\" + relative.substr(0, at)).c_str(), nullptr);
    }
    if (path.back() != '\\') {
      HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                0, nullptr);
      ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
      CloseHandle(file);
    }
    const std::string target = path.back() == '\\' ? path.substr(0, path.size() - 1) : path;
    if (attributes != 0) {
      ASSERT_TRUE(SetAttributes(target, attributes)) << target;
    }
  }

  static void Remove(const std::string& path) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(ExtendedPath(path + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = Utf8FromWide(entry.cFileName), child = path + "\\" + name;
        if (name == "." || name == "..") continue;
        SetAttributes(child, FILE_ATTRIBUTE_NORMAL);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Remove(child);
        else DeleteFileW(ExtendedPath(child).c_str());
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    SetAttributes(path, FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(ExtendedPath(path).c_str());
  }

  std::string root_;
};

TEST_F(WindowsSearch, HiddenAndSystemDirectoriesAreNotSearched) {
  Make("hidden\\s.ini");
  Make("hidden\\", FILE_ATTRIBUTE_HIDDEN);
  Make("system\\inner\\s.ini");
  Make("system\\", FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(FindScript(root_, "s.ini"), "");
  // The project directory itself is searched whatever it is, and a hidden
  // script in a searched directory is found.
  EXPECT_EQ(FindScript(root_ + "\\hidden", "S.INI"), root_ + "\\hidden\\s.ini");
  Make("plain\\deeper\\t.ini", FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(FindScript(root_, "t.ini"), root_ + "\\plain\\deeper\\t.ini");
}

TEST_F(WindowsSearch, NamesWithADirectoryPartMatchNothing) {
  Make("sub\\s.ini");
  EXPECT_EQ(FindScript(root_, "s.ini"), root_ + "\\sub\\s.ini");
  EXPECT_EQ(FindScript(root_, "sub\\s.ini"), "");
  EXPECT_EQ(FindScript(root_, "sub/s.ini"), "");
  EXPECT_EQ(FindScript(root_ + "\\sub", "..\\sub\\s.ini"), "");
}

// "Omega" in Greek and the CJK character whose Shift-JIS form ends in the
// byte of "\": neither is in the ANSI code page 1252.
constexpr const char* kGreek = "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1";
constexpr const char* kCjk = "\xE8\xA1\xA8";

TEST_F(WindowsSearch, NamesTheAnsiCodePageCannotSpellAreListedAndEntered) {
  const std::string inner = std::string(kGreek) + "\\" + kCjk;
  Make(inner + "\\s.ini");
  EXPECT_EQ(FindScript(root_, "s.ini"), root_ + "\\" + inner + "\\s.ini");
  // '?' takes the whole character, however many bytes its UTF-8 form has.
  const std::string named = root_ + "\\" + inner + "\\" + kCjk + "x.ini";
  Make(inner + "\\" + kCjk + "x.ini");
  EXPECT_EQ(FindScript(root_, std::string(kCjk) + "X.INI"), named);
  EXPECT_EQ(FindScript(root_ + "\\" + kGreek, "?x.ini"), named);
}

// The system's "?" takes one UTF-16 unit, half of a character outside the
// BMP; the program's own takes the whole character, as on POSIX.
TEST_F(WindowsSearch, AQuestionMarkIsOneCharacterOutsideTheBmpToo) {
  const std::string emoji = "\xF0\x9F\x98\x80";
  Make("sub\\a" + emoji + ".ini");
  Make("sub\\b" + emoji + emoji + ".ini");
  EXPECT_EQ(FindScript(root_, "a?.ini"), root_ + "\\sub\\a" + emoji + ".ini");
  EXPECT_EQ(FindScript(root_, "b?.ini"), "");
  EXPECT_EQ(FindScript(root_, "B??.INI"), root_ + "\\sub\\b" + emoji + emoji + ".ini");
}

TEST_F(WindowsSearch, PathsLongerThanMaxPathAreSearched) {
  std::string deep;
  for (char level = 'a'; level <= 'h'; ++level) deep += std::string(40, level) + "\\";
  Make(deep + "deep.ini");
  const std::string expected = root_ + "\\" + deep + "deep.ini";
  ASSERT_GT(expected.size(), size_t{MAX_PATH});
  EXPECT_EQ(FindScript(root_, "deep.ini"), expected);
  EXPECT_EQ(FindScript(root_, "d*.ini"), expected);
}

// The system's search also matches 8.3 short names, where the file system
// keeps them ("APP~1.INI" for "app.ini~"); they never make a match.
TEST_F(WindowsSearch, OnlyAnEntrysOwnNameMakesAMatch) {
  Make("app.ini~");
  Make("a.ini_old");
  Make("sub\\setup.ini");
  EXPECT_EQ(FindScript(root_, "*.ini"), root_ + "\\sub\\setup.ini");
  EXPECT_EQ(FindScript(root_, "app.ini~"), root_ + "\\app.ini~");
}

}  // namespace
}  // namespace varnok
