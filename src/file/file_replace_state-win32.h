// The state of a LockedFile on Windows, shared by the files that open,
// replace and rewrite it in place.
#ifndef VARNOK_FILE_FILE_REPLACE_STATE_WIN32_H_
#define VARNOK_FILE_FILE_REPLACE_STATE_WIN32_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "file/file_io-win32.h"
#include "file/file_replace.h"
#include "file/file_turn-win32.h"

namespace varnok {

// The turn and the guard lock wait this long for runs ahead of this one.
constexpr DWORD kTurnWaitMs = 5 * 60 * 1000;
// Other programs' sharing modes and data locks are waited out this long.
constexpr DWORD kSharingWaitMs = 30 * 1000;
// A virus scanner or an indexer may hold the file for a moment; a rename it
// refuses is tried again for this long before the file is rewritten in place.
constexpr DWORD kRenameWaitMs = 1000;

struct LockedFile::State {
  enum class Opened { kYes, kNo, kMoved };

  ~State() { Reset(); }
  void Reset() {
    Close();
    turn.Release();
  }
  void Close() {
    if (file == INVALID_HANDLE_VALUE) return;
    if (guard_locked) UnlockRange(file, kGuardOffset, 1);
    guard_locked = false;
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }

  Opened OpenFile(const std::wstring& path, const FileIdentity& expected, const Deadline& deadline);
  DWORD LockGuard();
  DWORD ReplaceByRename(const Part* parts, int count, bool* in_place);
  DWORD PrepareTemp(const std::wstring& temp_path, HANDLE* temp, bool* in_place);
  DWORD SwapIn(HANDLE temp, const std::wstring& temp_path, bool* in_place);
  std::wstring JournalDirectory() const;
  DWORD ApplyJournals();
  DWORD ReplaceInPlace(const std::string& old, Part* parts, int count);
  DWORD WriteInPlace(uint64_t old_size, uint64_t new_size, size_t keep, const Part* parts,
                     int count);
  bool RestoreInPlace(const std::string& old, size_t keep);

  FileTurn turn;
  HANDLE file = INVALID_HANDLE_VALUE;
  bool guard_locked = false;
  bool may_delete = false;             // the handle has DELETE access
  DWORD write_error = 0;               // why the file cannot be written, 0 when it can
  BY_HANDLE_FILE_INFORMATION info = {};
  FileIdentity identity;
  std::wstring opened_path;            // the name it was opened by
  std::wstring stored_path;            // where the file is, links resolved; empty if unknown
};


}  // namespace varnok

#endif  // VARNOK_FILE_FILE_REPLACE_STATE_WIN32_H_
