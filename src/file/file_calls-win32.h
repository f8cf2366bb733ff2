// The calls of the Windows script file that tests stand in for: the
// listing of a file's data streams, the attributes the file system gave a
// new file, a file's creation time, and the mark of a rewrite in place (a named stream, which every
// name of the file carries and only a writer of it can create). Wine answers
// the listing otherwise than NTFS, keeps no named streams and moves a
// file's creation time with its last write, so its tests put in answers as
// NTFS gives them. The program always uses the real calls.
#ifndef VARNOK_FILE_FILE_CALLS_WIN32_H_
#define VARNOK_FILE_FILE_CALLS_WIN32_H_

#include <windows.h>

#include <string>

namespace varnok {

/// The named stream that holds the mark, as appended to the file's path.
extern const wchar_t kMarkStream[];

struct WindowsFileCalls {
  // FindFirstStreamW (FindStreamInfoStandard), FindNextStreamW and FindClose.
  HANDLE (*find_first_stream)(const wchar_t* path, WIN32_FIND_STREAM_DATA* stream);
  BOOL (*find_next_stream)(HANDLE search, WIN32_FIND_STREAM_DATA* stream);
  BOOL (*find_close)(HANDLE search);
  // The attributes of the file open on `file` as stored, such as the
  // encryption or compression its directory gave it; 0 when unknown.
  DWORD (*attributes)(HANDLE file);
  // The creation time of the file open on `file`, which tells a file from
  // a later one with its ID (Wine derives it from the last write); false
  // when unknown.
  bool (*creation_time)(HANDLE file, FILETIME* created);
  // Whether the file system of the file open on `file` keeps named streams.
  bool (*keeps_marks)(HANDLE file);
  // The mark of the file open on `file`, whose full path is `path`: read
  // into `bytes` (ERROR_FILE_NOT_FOUND where it has none), written and
  // flushed, removed (0 where it had none). 0 or the error.
  DWORD (*read_mark)(HANDLE file, const std::wstring& path, std::string* bytes);
  DWORD (*write_mark)(HANDLE file, const std::wstring& path, const std::string& bytes);
  DWORD (*remove_mark)(HANDLE file, const std::wstring& path);
};

/// The calls in use.
WindowsFileCalls& FileCalls();

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_CALLS_WIN32_H_
