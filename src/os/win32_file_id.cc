#include "os/win32_file_id.h"

#include <cstring>

namespace varnok {

namespace {

// FileIdInfo and its record, which the headers name only for builds that
// require Windows 8.
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdRecord {
  ULONGLONG volume_serial;
  unsigned char file_id[16];
};

}  // namespace

bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && std::memcmp(a.id, b.id, sizeof a.id) == 0;
}

bool HasFileId(const FileIdentity& identity) {
  static const unsigned char kZero[sizeof identity.id] = {};
  return std::memcmp(identity.id, kZero, sizeof kZero) != 0;
}

bool IdentityOf(HANDLE file, FileIdentity* identity) {
  *identity = FileIdentity();
  FileIdRecord record = {};
  const bool by_id = GetFileInformationByHandleEx(file, kFileIdInfo, &record, sizeof record);
  if (by_id) {
    identity->volume = record.volume_serial;
    std::memcpy(identity->id, record.file_id, sizeof identity->id);
    if (HasFileId(*identity)) return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return by_id;
  *identity = FileIdentity();
  identity->volume = info.dwVolumeSerialNumber;
  const ULONGLONG index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  std::memcpy(identity->id, &index, sizeof index);  // the low half, as FileIdInfo holds it
  return true;
}

bool IdentityAt(const std::wstring& path, FileIdentity* identity) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = IdentityOf(file, identity);
  CloseHandle(file);
  return known;
}

}  // namespace varnok
