#include "file/file_test_dir-win32.h"

#include <aclapi.h>

namespace varnok {
namespace testing_win32 {

namespace {

std::string MarkKey(HANDLE file) {
  FileIdentity identity;
  IdentityOf(file, &identity);
  return std::string(reinterpret_cast<const char*>(&identity.volume), sizeof identity.volume) +
         std::string(reinterpret_cast<const char*>(identity.id), sizeof identity.id);
}

bool KeepsMarksStandIn(HANDLE) { return true; }

bool CreationTimeStandIn(HANDLE file, FILETIME* created) {
  const auto kept = CreationTimes().find(MarkKey(file));
  if (kept != CreationTimes().end()) return *created = kept->second, true;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  return CreationTimes()[MarkKey(file)] = *created = info.ftCreationTime, true;
}

DWORD ReadMarkStandIn(HANDLE file, const std::wstring&, std::string* bytes) {
  const auto found = Marks().find(MarkKey(file));
  if (found == Marks().end()) return ERROR_FILE_NOT_FOUND;
  *bytes = found->second;
  return 0;
}

DWORD WriteMarkStandIn(HANDLE file, const std::wstring&, const std::string& bytes) {
  Marks()[MarkKey(file)] = bytes;
  if (OnMarkWritten()) OnMarkWritten()(*DecodeMark(bytes));
  return 0;
}

DWORD RemoveMarkStandIn(HANDLE file, const std::wstring&) {
  Marks().erase(MarkKey(file));
  return 0;
}

size_t next_stream = 0;

BOOL ListStream(WIN32_FIND_STREAM_DATA* stream) {
  if (next_stream > ListedStreams().size()) return SetLastError(ERROR_HANDLE_EOF), FALSE;
  const std::wstring name = next_stream == 0 ? L"::$DATA" : ListedStreams()[next_stream - 1];
  ++next_stream;
  *stream = {};
  name.copy(stream->cStreamName, name.size());
  return TRUE;
}

HANDLE FindFirstStream(const wchar_t*, WIN32_FIND_STREAM_DATA* stream) {
  next_stream = 0;
  ListStream(stream);
  return reinterpret_cast<HANDLE>(1);
}

BOOL FindNextStream(HANDLE, WIN32_FIND_STREAM_DATA* stream) { return ListStream(stream); }

BOOL FindCloseStandIn(HANDLE) { return TRUE; }

WindowsFileCalls NtfsLikeCalls() {
  WindowsFileCalls calls = RealCalls();
  calls.find_first_stream = FindFirstStream;
  calls.find_next_stream = FindNextStream;
  calls.find_close = FindCloseStandIn;
  calls.creation_time = CreationTimeStandIn;
  calls.keeps_marks = KeepsMarksStandIn;
  calls.read_mark = ReadMarkStandIn;
  calls.write_mark = WriteMarkStandIn;
  calls.remove_mark = RemoveMarkStandIn;
  return calls;
}

// Puts the stand-in calls in before the first test.
class NtfsLike : public ::testing::Environment {
 public:
  void SetUp() override {
    RealCalls();
    FileCalls() = NtfsLikeCalls();
  }
};

const ::testing::Environment* const kNtfsLike = ::testing::AddGlobalTestEnvironment(new NtfsLike);

void Remove(const std::wstring& path) {
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

}  // namespace

const WindowsFileCalls& RealCalls() {
  static const WindowsFileCalls real = FileCalls();
  return real;
}

std::map<std::string, std::string>& Marks() {
  static std::map<std::string, std::string> marks;
  return marks;
}

std::map<std::string, FILETIME>& CreationTimes() {
  static std::map<std::string, FILETIME> times;
  return times;
}

std::function<void(const WriteMark&)>& OnMarkWritten() {
  static std::function<void(const WriteMark&)> hook;
  return hook;
}

std::vector<std::wstring>& ListedStreams() {
  static std::vector<std::wstring> streams;
  return streams;
}


void WindowsFiles::SetUp() {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  root_ = Utf8FromWide(temp) + "varnok-file-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(ExtendedPath(root_).c_str(), nullptr));
  saved_calls_ = FileCalls();
  Marks().clear();
  CreationTimes().clear();
  OnMarkWritten() = nullptr;
  ListedStreams().clear();
}

void WindowsFiles::TearDown() {
  FileCalls() = saved_calls_;
  OnMarkWritten() = nullptr;
  Remove(ExtendedPath(root_));
}

std::string WindowsFiles::Write(const std::string& name, const std::string& content) {
  const std::string path = root_ + "\\" + name;
  WriteAt(ExtendedPath(path), content);
  return path;
}

void WindowsFiles::WriteAt(const std::wstring& path, const std::string& content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << Utf8FromWide(path);
  const Part part = {content.data(), content.size()};
  EXPECT_EQ(WriteAll(file, &part, 1), 0u);
  CloseHandle(file);
}

std::string WindowsFiles::Read(const std::string& path) {
  HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  std::string content;
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
  EXPECT_EQ(ReadWhole(file, 0, &content), 0u);
  CloseHandle(file);
  return content;
}

std::vector<std::string> WindowsFiles::Entries() const {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((ExtendedPath(root_) + L"\\*").c_str(), &entry);
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(Utf8FromWide(name));
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

FileIdentity WindowsFiles::Identity(const std::string& path) {
  FileIdentity identity;
  EXPECT_TRUE(IdentityAt(ExtendedPath(path), &identity)) << path;
  return identity;
}

bool WindowsFiles::GrantsEverybody(const std::wstring& path) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &acl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  char everybody[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof everybody;
  CreateWellKnownSid(WinWorldSid, nullptr, everybody, &size);
  bool grants = acl == nullptr;  // no list at all lets everybody in
  for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (GetAce(acl, i, reinterpret_cast<void**>(&ace)) &&
        ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && EqualSid(&ace->SidStart, everybody)) {
      grants = true;
    }
  }
  LocalFree(descriptor);
  return grants;
}

std::string WindowsFiles::MarkedJournal(const std::string& path) {
  HANDLE file = CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  std::string bytes;
  const bool marked = ReadMarkStandIn(file, L"", &bytes) == 0;
  CloseHandle(file);
  return marked ? DecodeMark(bytes)->journal : "";
}

int Change(const std::string& path, const std::string& value) {
  LockedFile script;
  EXPECT_TRUE(script.Open(path));
  const std::string& text = script.content();
  const size_t at = text.find("old");
  if (at == std::string::npos) return -1;
  return script.Replace(std::string_view(text).substr(0, at), value,
                        std::string_view(text).substr(at + 3));
}

}  // namespace testing_win32
}  // namespace varnok
