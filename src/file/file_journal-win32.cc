#include "file/file_journal-win32.h"

#include <optional>

#include "file/file_io-win32.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

constexpr uint64_t kMaxJournalSize = uint64_t{1} << 32;

std::vector<char> OwnerOf(HANDLE handle) {
  DWORD needed = 0;
  GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<char> descriptor(needed);
  if (needed == 0 || !GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION,
                                              descriptor.data(), needed, &needed)) {
    descriptor.clear();
  }
  return descriptor;
}

bool OwnerIs(std::vector<char>& descriptor, PSID sid) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return !descriptor.empty() && GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) &&
         owner != nullptr && sid != nullptr && EqualSid(owner, sid);
}

// Whether this process's user is the owner in `descriptor`.
bool OwnedByThisUser(std::vector<char>& descriptor) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD needed = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  std::vector<char> user(needed);
  const bool known = needed != 0 && GetTokenInformation(token, TokenUser, user.data(), needed, &needed);
  CloseHandle(token);
  return known && OwnerIs(descriptor, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

// Whether the journal open on `journal` may be applied to the file open on
// `file`: a plain file with one name, owned by this user or by the file's
// owner. Someone else who may only add files beside the script could
// otherwise plant bytes to be written into it.
bool Trusted(HANDLE journal, HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(journal, &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nFileSizeHigh >= (kMaxJournalSize >> 32)) {
    return false;
  }
  std::vector<char> journal_owner = OwnerOf(journal), file_owner = OwnerOf(file);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!file_owner.empty() && GetSecurityDescriptorOwner(file_owner.data(), &owner, &defaulted) &&
      OwnerIs(journal_owner, owner)) {
    return true;
  }
  return OwnedByThisUser(journal_owner);
}

// Puts the record's old bytes back into `file` and cuts it to the old size.
DWORD PutBack(HANDLE file, const JournalRecord& record) {
  const Part saved = {record.old_bytes.data(), record.old_bytes.size()};
  if (!MoveTo(file, record.offset)) return GetLastError();
  if (DWORD error = WriteAll(file, &saved, 1)) return error;
  if (!MoveTo(file, record.old_size()) || !SetEndOfFile(file)) return GetLastError();
  return FlushFileBuffers(file) ? 0 : GetLastError();
}

DWORD WriteNewFile(const std::wstring& path, const std::string& bytes) {
  DeleteFileW(path.c_str());  // one a stopped run left: this run holds the file's turn
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  const Part whole = {bytes.data(), bytes.size()};
  DWORD error = WriteAll(file, &whole, 1);
  if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
  if (error != 0) MarkForDeletion(file, true);
  CloseHandle(file);
  if (error == 0) FlushDirectory(DirectoryOf(path));
  return error;
}

}  // namespace

std::vector<std::wstring> JournalPaths(const std::wstring& dir, const FileIdentity& identity) {
  const std::wstring hex = WideFromUtf8(IdentityHex(identity));
  std::vector<std::wstring> paths = {dir + L"\\.varnok-" + hex + L".journal"};
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length > 0 && length <= MAX_PATH) {
    paths.push_back(ExtendedPath(Utf8FromWide(std::wstring(temp, length))) + L"\\varnok-" + hex +
                    L".journal");
  }
  return paths;
}

std::wstring WriteJournal(const std::vector<std::wstring>& paths, const JournalRecord& record,
                          DWORD* error) {
  const std::string bytes = EncodeJournal(record);
  *error = ERROR_PATH_NOT_FOUND;
  for (const std::wstring& path : paths) {
    *error = WriteNewFile(path, bytes);
    if (*error == 0) return path;
  }
  return {};
}

DWORD RemoveJournal(const std::wstring& journal) {
  if (!DeleteFileW(journal.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return GetLastError();
  FlushDirectory(DirectoryOf(journal));
  return 0;
}

DWORD ApplyJournal(const std::wstring& journal, HANDLE file, const FileIdentity& identity) {
  HANDLE handle = CreateFileW(journal.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  std::string bytes;
  const bool read = Trusted(handle, file) && ReadWhole(handle, 0, &bytes);
  CloseHandle(handle);
  if (!read) return 0;
  const std::optional<JournalRecord> record = DecodeJournal(bytes);
  if (record && record->identity != IdentityHex(identity)) return 0;
  if (record) {
    if (DWORD error = PutBack(file, *record)) return error;
  }
  // A journal that stayed would be put back again after later changes.
  return RemoveJournal(journal);
}

}  // namespace varnok
