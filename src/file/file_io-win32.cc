#include "file/file_io-win32.h"

namespace varnok {

namespace {

constexpr DWORD kMaxTransfer = 1 << 30;
constexpr DWORD kRetryPauseMs = 20;

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

// ReadFile, tried again while another program's lock refuses the bytes,
// until `locked_until`; 0 or the error.
DWORD ReadPiece(HANDLE file, char* into, DWORD size, DWORD* got, const Deadline& locked_until) {
  while (!ReadFile(file, into, size, got, nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION || locked_until.Passed()) return error;
    Sleep(kRetryPauseMs);
  }
  return 0;
}

}  // namespace

DWORD Deadline::Left() const {
  const ULONGLONG now = GetTickCount64();
  return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
}

HANDLE OpenShared(const std::wstring& path, DWORD access, const Deadline& deadline) {
  while (true) {
    HANDLE file = CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
        deadline.Passed()) {
      return file;
    }
    Sleep(kRetryPauseMs);
  }
}

DWORD LockRange(HANDLE file, uint64_t offset, uint64_t length, const Deadline& deadline,
                bool exclusive) {
  const DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
  while (true) {
    OVERLAPPED where = At(offset);
    if (LockFileEx(file, flags, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                   &where)) {
      return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return error;
    if (deadline.Passed()) return ERROR_LOCK_VIOLATION;
    Sleep(kRetryPauseMs);
  }
}

void UnlockRange(HANDLE file, uint64_t offset, uint64_t length) {
  OVERLAPPED where = At(offset);
  UnlockFileEx(file, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &where);
}

bool LocksUnsupported(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_INVALID_PARAMETER;
}

std::wstring FinalPath(HANDLE file) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, &path[0], static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length >= path.size()) {
    path.resize(length);
    length = GetFinalPathNameByHandleW(file, &path[0], static_cast<DWORD>(path.size()),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  if (length == 0 || length >= path.size()) return {};
  path.resize(length);
  return path;
}

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? L"." : path.substr(0, separator);
}

bool MarkForDeletion(HANDLE file, bool delete_file) {
  FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(delete_file)};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

bool MoveTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

DWORD WriteAll(HANDLE file, const Part* parts, int count) {
  for (int i = 0; i < count; ++i) {
    for (size_t done = 0; done < parts[i].size;) {
      const size_t left = parts[i].size - done;
      const DWORD size = left < kMaxTransfer ? static_cast<DWORD>(left) : kMaxTransfer;
      DWORD written = 0;
      if (!WriteFile(file, parts[i].data + done, size, &written, nullptr)) return GetLastError();
      if (written == 0) return ERROR_WRITE_FAULT;
      done += written;
    }
  }
  return 0;
}

DWORD ReadWhole(HANDLE file, uint64_t size_hint, std::string* content,
                const Deadline& locked_until) {
  if (size_hint >= content->max_size() / 2) return ERROR_NOT_ENOUGH_MEMORY;
  content->assign(static_cast<size_t>(size_hint) + 1, '\0');
  size_t filled = 0;
  while (true) {
    if (filled == content->size()) content->resize(content->size() * 2);
    const size_t room = content->size() - filled;
    DWORD got = 0;
    const DWORD size = room < kMaxTransfer ? static_cast<DWORD>(room) : kMaxTransfer;
    if (DWORD error = ReadPiece(file, &(*content)[filled], size, &got, locked_until)) return error;
    if (got == 0) break;
    filled += got;
  }
  content->resize(filled);
  return 0;
}

bool HoldsExactly(HANDLE file, const std::string& expected, const Deadline& locked_until) {
  constexpr DWORD kPiece = 1 << 20;
  std::string piece(kPiece, '\0');
  if (!MoveTo(file, 0)) return false;
  for (size_t compared = 0;; ) {
    DWORD got = 0;
    if (ReadPiece(file, &piece[0], kPiece, &got, locked_until) != 0) return false;
    if (got == 0) return compared == expected.size();
    if (expected.size() - compared < got || expected.compare(compared, got, piece, 0, got) != 0) {
      return false;
    }
    compared += got;
  }
}

void FlushDirectory(const std::wstring& dir) {
  HANDLE handle = CreateFileW(dir.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(handle);
  CloseHandle(handle);
}

}  // namespace varnok
