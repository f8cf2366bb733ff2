// What the Windows script file's tests share: a fresh directory, and stand-in
// calls that answer as NTFS does where Wine does not (file_calls-win32.h):
// named streams listed as NTFS lists them, marks kept per file, as a stream
// of the file would be, whichever name reaches it, and a creation time that
// stays.
#ifndef VARNOK_FILE_FILE_TEST_DIR_WIN32_H_
#define VARNOK_FILE_FILE_TEST_DIR_WIN32_H_

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "file/file_calls-win32.h"
#include "file/file_io-win32.h"
#include "file/file_replace.h"
#include "file/journal.h"
#include "os/win32_file_id.h"
#include "os/win32_text.h"

namespace varnok {
namespace testing_win32 {

/// The marks the stand-in keeps, by file identity.
std::map<std::string, std::string>& Marks();

/// The creation times the stand-in gives, by file identity: each file's
/// first answer, kept as NTFS keeps it. A test that makes a new file under
/// an old ID removes the old one's.
std::map<std::string, FILETIME>& CreationTimes();

/// What a test does each time the stand-in writes a mark.
std::function<void(const WriteMark&)>& OnMarkWritten();

/// The named streams the stand-in listing gives after the file's own data
/// ("::$DATA"), as FindFirstStreamW would name them (":name:$DATA").
std::vector<std::wstring>& ListedStreams();

/// The real calls, as the program makes them. Every test of the Windows
/// unit-test program runs with the stand-in calls (marks and creation times
/// kept per file, the stream listing as NTFS gives it, the real calls for
/// the rest), so that a test that rewrites a file in place runs under Wine
/// as on NTFS.
const WindowsFileCalls& RealCalls();

/// A fresh directory below the temporary one, removed with what it holds;
/// the stand-in calls, which a test may change, are put back afterwards.
class WindowsFiles : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 public:
  std::string Write(const std::string& name, const std::string& content);
  static void WriteAt(const std::wstring& path, const std::string& content);
  static std::string Read(const std::string& path);
  /// The names in the test directory.
  std::vector<std::string> Entries() const;
  static FileIdentity Identity(const std::string& path);
  /// Whether the access list of `path` lets everybody in.
  static bool GrantsEverybody(const std::wstring& path);
  /// The journal the mark of the file at `path` names; empty for none.
  static std::string MarkedJournal(const std::string& path);

 protected:
  std::string root_;
  WindowsFileCalls saved_calls_;
};

/// Replaces "old" by `value` in the script at `path`; the Replace result.
int Change(const std::string& path, const std::string& value = "new");

}  // namespace testing_win32
}  // namespace varnok

#endif  // VARNOK_FILE_FILE_TEST_DIR_WIN32_H_
