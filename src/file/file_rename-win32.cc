#include "file/file_rename-win32.h"

namespace varnok {

namespace {

// FileRenameInfoEx and its flags, named here because the build targets
// Vista's headers.
constexpr int kFileRenameInfoEx = 22;
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;

struct RenameInfoEx {
  DWORD flags;
  HANDLE root_directory;
  DWORD name_bytes;
  WCHAR name[1];
};

}  // namespace

DWORD PosixRename(HANDLE file, const std::wstring& target) {
  const size_t bytes = target.size() * sizeof(WCHAR);
  std::string buffer(sizeof(RenameInfoEx) + bytes, '\0');
  RenameInfoEx* info = reinterpret_cast<RenameInfoEx*>(&buffer[0]);
  info->flags = kRenameReplaceIfExists | kRenamePosixSemantics;
  info->name_bytes = static_cast<DWORD>(bytes);
  target.copy(info->name, target.size());
  const BOOL renamed = SetFileInformationByHandle(
      file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileRenameInfoEx), info,
      static_cast<DWORD>(buffer.size()));
  return renamed ? 0 : GetLastError();
}

DWORD MoveOver(const std::wstring& from, const std::wstring& to) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  return MoveFileExW(from.c_str(), to.c_str(), flags) ? 0 : GetLastError();
}

bool RenameUnsupported(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED;
}

bool RenameRefused(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

}  // namespace varnok
