// The journal of a rewrite in place on Windows: before the first byte
// changes, the bytes that will change are saved in ".varnok-<identity>.journal"
// beside the script (in the user's temporary directory where the script's
// directory refuses new files); every run puts a whole journal back, under
// its turn and lock, before it reads the script.
#ifndef VARNOK_FILE_FILE_JOURNAL_WIN32_H_
#define VARNOK_FILE_FILE_JOURNAL_WIN32_H_

#include <windows.h>

#include <string>
#include <vector>

#include "file/file_turn-win32.h"
#include "file/journal.h"

namespace varnok {

/// Where the journal of the file `identity` in the directory `dir` may be:
/// beside it first, then in the user's temporary directory.
std::vector<std::wstring> JournalPaths(const std::wstring& dir, const FileIdentity& identity);

/// Writes `record` to the first of `paths` that takes it, flushed with its
/// directory; the path written, or empty with `error` set when none took it.
std::wstring WriteJournal(const std::vector<std::wstring>& paths, const JournalRecord& record,
                          DWORD* error);

/// Removes `journal`, flushing its directory; 0 or the error.
DWORD RemoveJournal(const std::wstring& journal);

/// Puts the journal `journal` back into the file open on `file` when it is
/// whole, was written by the file's owner or this user, and belongs to
/// `identity`; then removes it. A torn journal (its run stopped before
/// touching the file) is removed; one of another file is left alone.
/// 0, or the error that kept it from being put back or removed.
DWORD ApplyJournal(const std::wstring& journal, HANDLE file, const FileIdentity& identity);

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_JOURNAL_WIN32_H_
