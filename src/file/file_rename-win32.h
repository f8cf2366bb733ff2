// Renaming a finished temporary file over the script's name.
#ifndef VARNOK_FILE_FILE_RENAME_WIN32_H_
#define VARNOK_FILE_FILE_RENAME_WIN32_H_

#include <windows.h>

#include <string>

namespace varnok {

/// Renames the file open on `file` (with DELETE access) to `target`, with
/// POSIX semantics: the old file is replaced even while other programs hold
/// it open with FILE_SHARE_DELETE (Windows 10 1809 and later). 0 or the error.
DWORD PosixRename(HANDLE file, const std::wstring& target);

/// MoveFileExW of `from` over `to`, writing through. 0 or the error.
DWORD MoveOver(const std::wstring& from, const std::wstring& to);

/// Whether `error` tells a rename the system or file system does not implement.
bool RenameUnsupported(DWORD error);

/// Whether `error` tells a rename refused because another program holds the
/// file or the run may not delete it.
bool RenameRefused(DWORD error);

/// Calls `rename` again while it is refused, for up to `wait_ms`; 0 or the
/// last error. A virus scanner or an indexer may hold a file for a moment.
template <typename Rename>
DWORD RenameRetried(Rename rename, DWORD wait_ms) {
  const ULONGLONG end = GetTickCount64() + wait_ms;
  while (true) {
    const DWORD error = rename();
    if (error == 0 || !RenameRefused(error) || GetTickCount64() >= end) return error;
    Sleep(20);
  }
}

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_RENAME_WIN32_H_
