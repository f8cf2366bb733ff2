// The state of a LockedFile on Windows, shared by the files that open it
// (file_replace-win32.cc), replace it by a new file (file_swap-win32.cc)
// and rewrite it in place (file_in_place-win32.cc).
#ifndef VARNOK_FILE_FILE_REPLACE_STATE_WIN32_H_
#define VARNOK_FILE_FILE_REPLACE_STATE_WIN32_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "file/file_io-win32.h"
#include "file/file_replace.h"
#include "os/win32_file_id.h"

namespace varnok {

class JournalFile;

// A run waits this long for its turn, then gives up.
constexpr DWORD kTurnWaitMs = 5 * 60 * 1000;
// Other programs' sharing modes and locks on the data are waited out this long.
constexpr DWORD kSharingWaitMs = 30 * 1000;
// A virus scanner or an indexer may hold the file for a moment; a rename it
// refuses is tried again for this long before the file is rewritten in place.
constexpr DWORD kRenameWaitMs = 1000;

/// A result of the replacement: the name no longer leads to the file as it
/// was read (another file took it, it is gone, or the file was changed
/// meanwhile); nothing was written, and the run must open the file again.
constexpr DWORD kNameReplaced = ERROR_FILE_INVALID;

/// A result of waiting for the turn: another run renames its new file over
/// the name, and the file must be closed until it is done.
constexpr DWORD kRenameUnderway = ERROR_BUSY;

struct LockedFile::State {
  enum class Opened { kYes, kNo, kHeld };
  enum class Attempt { kReady, kAgain, kNoFile, kHeld, kNoTurn, kRefused };

  ~State() { Close(); }
  void Close();

  // Opening, the turn and the read (file_replace-win32.cc).
  Attempt TryOpen(const std::wstring& path, const Deadline& turn_deadline);
  DWORD OpenHandle(const std::wstring& path, const Deadline& deadline);
  Opened OpenFile(const std::wstring& path, const Deadline& deadline);
  DWORD TakeTurn(const Deadline& deadline, bool yield);
  bool StillNamed(const std::wstring& path) const;
  DWORD ReadContent(std::string* content);
  std::wstring MarkPath() const { return stored_path.empty() ? opened_path : stored_path; }

  // The replacement by a new file: 0, an error code or kNameReplaced.
  DWORD ReplaceByRename(const Part* parts, int count, bool* in_place);
  DWORD PrepareTemp(std::wstring* temp_path, HANDLE* temp, bool* in_place);
  DWORD FurnishTemp(HANDLE temp, const std::wstring& temp_path);
  DWORD SwapIn(HANDLE temp, const std::wstring& temp_path, bool* in_place);
  std::wstring TempPath() const;
  bool RenameUnderway() const;
  bool WaitForRename(const std::wstring& temp_path) const;
  DWORD NameUnchanged() const;
  DWORD Reopen();

  // The rewrite in place, journaled: 0 or an error code, `problem` saying more.
  DWORD ReplaceInPlace(Part* parts, int count);
  DWORD WriteJournaled(JournalFile* journal, uint64_t new_size, size_t keep, const Part* parts,
                       int count);
  DWORD WriteInPlace(uint64_t new_size, size_t keep, const Part* parts, int count);
  bool RestoreInPlace(size_t keep);

  HANDLE file = INVALID_HANDLE_VALUE;
  bool turn_held = false;
  bool yield_to_renames = true;        // false once a temporary file was held too long
  bool may_delete = false;             // the handle has DELETE access
  DWORD write_error = 0;               // why the file cannot be written, 0 when it can
  BY_HANDLE_FILE_INFORMATION info = {};  // as read: size, times, links, attributes
  FileIdentity identity;
  std::wstring opened_path;            // the name it was opened by
  std::wstring stored_path;            // where the file is, links resolved; empty if unknown
  const std::string* old = nullptr;    // the content read, during Replace
  std::string problem;                 // what a failure report adds to "Unable to write to <path>"
};

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_REPLACE_STATE_WIN32_H_
