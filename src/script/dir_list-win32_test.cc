// The script search over the Windows directory listing.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "script/find_script.h"

namespace varnok {
namespace {

// A fresh directory below the temporary one, removed with what it holds.
class WindowsSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    root_ = std::string(temp) + "varnok-test-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
    if (!SetFileAttributesA(root_.c_str(), FILE_ATTRIBUTE_HIDDEN) ||
        GetFileAttributesA(root_.c_str()) != (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY)) {
      GTEST_SKIP() << "this file system keeps no hidden attribute";
    }
    SetFileAttributesA(root_.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  void TearDown() override { Remove(root_); }

  // Creates `relative` (a file, or a directory when it ends in "\") with `attributes`.
  void Make(const std::string& relative, DWORD attributes = 0) {
    const std::string path = root_ + "\\" + relative;
    for (size_t at = relative.find('\\'); at != std::string::npos; at = relative.find('\\', at + 1)) {
      CreateDirectoryA((root_ + "\\" + relative.substr(0, at)).c_str(), nullptr);
    }
    if (path.back() != '\\') {
      HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
      CloseHandle(file);
    }
    const std::string target = path.back() == '\\' ? path.substr(0, path.size() - 1) : path;
    if (attributes != 0) {
      ASSERT_TRUE(SetFileAttributesA(target.c_str(), attributes)) << target;
    }
  }

  static void Remove(const std::string& path) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = entry.cFileName, child = path + "\\" + name;
        if (name == "." || name == "..") continue;
        SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Remove(child);
        else DeleteFileA(child.c_str());
      } while (FindNextFileA(find, &entry));
      FindClose(find);
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(path.c_str());
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

}  // namespace
}  // namespace varnok
