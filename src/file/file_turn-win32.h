// The turn runs take to change one file on Windows: a lock on the file's
// guard byte, one byte far past its end (file_io-win32.h). A byte-range lock
// belongs to the file itself, so it holds however each run spells the path
// (short or long names, drive letters, shares, links, "\\?\"), across
// sessions and users, elevated or not, and across machines on a share; only
// a program that can open the file can hold it, and no named object exists
// that somebody else could create first. Readers, which lock nothing or the
// data, are never refused.
#ifndef VARNOK_FILE_FILE_TURN_WIN32_H_
#define VARNOK_FILE_FILE_TURN_WIN32_H_

#include <windows.h>

#include "file/file_io-win32.h"

namespace varnok {

/// Takes the turn on the file open on `file`: its guard byte locked
/// exclusively where `writer` (a run that may write), shared otherwise, so
/// that read-only runs never wait for each other. Waits until `deadline`.
/// 0, with `held` telling whether a lock is held; ERROR_LOCK_VIOLATION when
/// the time ran out; another error when the system refused. A file system
/// without byte-range locks gives 0 with no lock held: the change still
/// lands, only the guard against concurrent runs is lost there.
DWORD TakeTurn(HANDLE file, bool writer, const Deadline& deadline, bool* held);

/// Gives the turn back (closing the handle does so too).
void ReleaseTurn(HANDLE file);

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_TURN_WIN32_H_
