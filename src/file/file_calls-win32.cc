// The real calls of the Windows script file. The mark is the stream
// ":varnok.write" of the script; a stream is opened by its path, so each
// open checks that it belongs to the file the run holds (a stream has its
// file's ID), never to another file that took the name meanwhile.
#include "file/file_calls-win32.h"

#include "file/file_io-win32.h"
#include "os/win32_file_id.h"

namespace varnok {

const wchar_t kMarkStream[] = L":varnok.write";

namespace {

constexpr DWORD kMaxMarkSize = 1 << 16;

HANDLE FindFirstStream(const wchar_t* path, WIN32_FIND_STREAM_DATA* stream) {
  return FindFirstStreamW(path, FindStreamInfoStandard, stream, 0);
}

BOOL FindNextStream(HANDLE search, WIN32_FIND_STREAM_DATA* stream) {
  return FindNextStreamW(search, stream);
}

BOOL CloseSearch(HANDLE search) { return FindClose(search); }

DWORD AttributesOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) ? info.dwFileAttributes : 0;
}

bool CreationTime(HANDLE file, FILETIME* created) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  *created = info.ftCreationTime;
  return true;
}

bool KeepsMarks(HANDLE file) {
  DWORD flags = 0;
  return GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_NAMED_STREAMS) != 0;
}

// Opens the mark of the file open on `file`; fails with ERROR_FILE_INVALID
// where the stream opened is not that file's.
HANDLE OpenMark(HANDLE file, const std::wstring& path, DWORD access, DWORD disposition) {
  HANDLE mark = CreateFileW((path + kMarkStream).c_str(), access, kShareAll, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark == INVALID_HANDLE_VALUE) return mark;
  FileIdentity of_file, of_mark;
  if (IdentityOf(file, &of_file) && IdentityOf(mark, &of_mark) && of_file == of_mark) return mark;
  CloseHandle(mark);
  SetLastError(ERROR_FILE_INVALID);
  return INVALID_HANDLE_VALUE;
}

bool NoSuchFile(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// An empty stream is no mark: a run stopped between creating the stream
// and writing its first state had not changed a byte.
DWORD ReadMark(HANDLE file, const std::wstring& path, std::string* bytes) {
  bytes->clear();
  HANDLE mark = OpenMark(file, path, GENERIC_READ, OPEN_EXISTING);
  if (mark == INVALID_HANDLE_VALUE) return NoSuchFile(GetLastError()) ? ERROR_FILE_NOT_FOUND : GetLastError();
  DWORD error = ReadWhole(mark, 0, bytes);
  if (error == 0 && bytes->size() > kMaxMarkSize) error = ERROR_INVALID_DATA;
  CloseHandle(mark);
  return error == 0 && bytes->empty() ? ERROR_FILE_NOT_FOUND : error;
}

DWORD WriteMark(HANDLE file, const std::wstring& path, const std::string& bytes) {
  HANDLE mark = OpenMark(file, path, GENERIC_WRITE, OPEN_ALWAYS);
  if (mark == INVALID_HANDLE_VALUE) return GetLastError();
  const Part whole = {bytes.data(), bytes.size()};
  DWORD error = WriteAll(mark, &whole, 1);
  if (error == 0 && !SetEndOfFile(mark)) error = GetLastError();
  if (error == 0 && !FlushFileBuffers(mark)) error = GetLastError();
  CloseHandle(mark);
  return error;
}

// Deletes the stream; a writer who may not delete it empties it instead.
DWORD RemoveMark(HANDLE file, const std::wstring& path) {
  HANDLE mark = OpenMark(file, path, DELETE, OPEN_EXISTING);
  const bool deleting = mark != INVALID_HANDLE_VALUE;
  if (!deleting && GetLastError() == ERROR_ACCESS_DENIED) {
    mark = OpenMark(file, path, GENERIC_WRITE, OPEN_EXISTING);
  }
  if (mark == INVALID_HANDLE_VALUE) return NoSuchFile(GetLastError()) ? 0 : GetLastError();
  DWORD error = 0;
  if (deleting ? !MarkForDeletion(mark, true) : !SetEndOfFile(mark) || !FlushFileBuffers(mark)) {
    error = GetLastError();
  }
  CloseHandle(mark);
  if (error == 0) FlushFileBuffers(file);
  return error;
}

}  // namespace

WindowsFileCalls& FileCalls() {
  static WindowsFileCalls calls = {FindFirstStream, FindNextStream, CloseSearch,
                                   AttributesOf,    CreationTime,   KeepsMarks,
                                   ReadMark,        WriteMark,      RemoveMark};
  return calls;
}

}  // namespace varnok
