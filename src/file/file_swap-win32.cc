// The replacement of the script by a new file on Windows.
//
// The new content goes to a temporary file beside the old one
// (".vk<digest>.tmp", short so that any script whose path fits can be
// written), created readable by this user alone, which takes the old
// file's security descriptor, attributes, creation time and named streams
// and is marked for deletion until it is whole and flushed. A directory that
// makes new files encrypted, compressed or sparse gives the new file what
// the old one lacks: the old one is rewritten in place instead. Immediately
// before every rename attempt the run checks that the name still leads to
// the file as it was read (identity, size, last write); then the temporary
// file is renamed over it: with POSIX semantics where the system has them
// (the old file may stay open elsewhere), else with MoveFileExW, for which
// the run must close the old file and so gives up its turn. A rename that
// other programs keep refusing ends in a rewrite in place, after the run has
// opened the file again, taken its turn and found it exactly as it was read.
// Any change by somebody else makes the run start over from the file as it
// is then. The file, then its directory, are flushed.
#include <cstdio>

#include "file/file_calls-win32.h"
#include "file/file_metadata-win32.h"
#include "file/file_rename-win32.h"
#include "file/file_replace_state-win32.h"
#include "file/file_security-win32.h"
#include "os/random.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

// The new file was made unlike the old one.
constexpr DWORD kStoredUnlike = ERROR_FILE_ENCRYPTED;

// A short hexadecimal digest of the file's identity (16 digits), for the
// temporary file's name.
std::wstring IdentityDigest(const FileIdentity& identity) {
  unsigned long long hash = 14695981039346656037ull;  // FNV-1a
  const auto add = [&hash](unsigned char byte) { hash = (hash ^ byte) * 1099511628211ull; };
  for (int i = 0; i < 8; ++i) add(static_cast<unsigned char>(identity.volume >> (8 * i)));
  for (unsigned char byte : identity.id) add(byte);
  wchar_t digest[17];
  std::swprintf(digest, 17, L"%016llx", hash);
  return digest;
}

// What holds a temporary file's name.
enum class TempName {
  kFree,     // nothing, or a stopped run's leftover, removed now
  kRenaming, // the open temporary file of a run that renames it over the script
  kTaken,    // something else: a directory, a file held by somebody else
};

TempName ProbeTemp(const std::wstring& path) {
  HANDLE left = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (left == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return TempName::kFree;
    return error == ERROR_SHARING_VIOLATION ? TempName::kRenaming : TempName::kTaken;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool removed = GetFileInformationByHandle(left, &info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                       MarkForDeletion(left, true);
  CloseHandle(left);
  return removed ? TempName::kFree : TempName::kTaken;
}

// Whether a refusal, not a failure, kept the new file from getting what the
// old one has: the old one keeps it when rewritten in place.
bool Refusal(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD ||
         error == ERROR_INVALID_OWNER || error == ERROR_NOT_SUPPORTED || error == kStoredUnlike;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

}  // namespace

// The temporary file's one name for this script: it is written only by a
// run that holds the script's turn, and held open by that run until its
// rename is done, so that other runs can tell that a rename is under way.
std::wstring LockedFile::State::TempPath() const {
  return DirectoryOf(stored_path) + L"\\.vk" + IdentityDigest(identity) + L".tmp";
}

bool LockedFile::State::RenameUnderway() const {
  return !stored_path.empty() && ProbeTemp(TempPath()) == TempName::kRenaming;
}

// Waits, with the script closed, until the rename that holds `temp_path` is
// done; false when it is still held after a while.
bool LockedFile::State::WaitForRename(const std::wstring& temp_path) const {
  const Deadline deadline(kSharingWaitMs);
  while (ProbeTemp(temp_path) == TempName::kRenaming) {
    if (deadline.Passed()) return false;
    Sleep(10);
  }
  return true;
}

// Creates the temporary file, readable by this user alone, and furnishes it.
DWORD LockedFile::State::PrepareTemp(std::wstring* temp_path, HANDLE* temp, bool* in_place) {
  // The name that says a rename is under way; where somebody else holds it,
  // a name of this run's own.
  *temp_path = TempPath();
  if (ProbeTemp(*temp_path) != TempName::kFree) {
    temp_path->insert(temp_path->size() - 4, L"-" + WideFromUtf8(HexDigits(RandomBytes(4))));
  }
  PrivateSecurity security;
  if (security.attributes() == nullptr) return ERROR_INVALID_OWNER;
  // Shared as the script is, since it becomes the script; until then only
  // this user may open it at all.
  *temp = CreateFileW(temp_path->c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
                      kShareAll, security.attributes(), CREATE_NEW,
                      AttributesToKeep(info.dwFileAttributes), nullptr);
  if (*temp == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A directory that refuses a new file still lets a writable file be rewritten.
    *in_place = error == ERROR_ACCESS_DENIED;
    return error;
  }
  if (const DWORD error = FurnishTemp(*temp, *temp_path)) {
    *in_place = Refusal(error);  // what the new file cannot carry, the old one keeps
    CloseHandle(*temp);
    DeleteFileW(temp_path->c_str());
    return error;
  }
  return 0;
}

// Gives the new file everything the old one carries besides its content,
// marks it for deletion until it is whole, and locks it as the old file is,
// so that a run that opens it under the name waits until this one is done.
// 0 or the error.
DWORD LockedFile::State::FurnishTemp(HANDLE temp, const std::wstring& temp_path) {
  DWORD error = StoredAlike(FileCalls().attributes(temp), info.dwFileAttributes) ? 0 : kStoredUnlike;
  if (error == 0) error = CopyStreams(stored_path, temp_path);
  if (error == 0) error = CopySecurity(file, stored_path, temp, temp_path);
  if (error == 0 && !MarkForDeletion(temp, true)) error = GetLastError();
  if (error != 0) return error;
  FILETIME created = info.ftCreationTime;
  SetFileTime(temp, &created, nullptr, nullptr);
  LockRange(temp, kGuardOffset, 1, Deadline(0));
  return 0;
}

// Writes the new content to a temporary file beside the old one and renames
// it over the old name; 0, an error code or kNameReplaced, with the old file
// as it was and no temporary file left behind. `in_place` asks for a
// rewrite in place.
DWORD LockedFile::State::ReplaceByRename(const Part* parts, int count, bool* in_place) {
  std::wstring temp_path;
  HANDLE temp = INVALID_HANDLE_VALUE;
  DWORD error = PrepareTemp(&temp_path, &temp, in_place);
  if (error != 0) return error;
  error = WriteAll(temp, parts, count);
  if (error == 0 && !FlushFileBuffers(temp)) error = GetLastError();
  if (error == 0) error = SwapIn(temp, temp_path, in_place);
  if (error == 0) {
    FlushFileBuffers(temp);  // the file under its new name
    FlushDirectory(DirectoryOf(stored_path));
  }
  const bool removed = error == 0 || MarkForDeletion(temp, true);
  CloseHandle(temp);
  if (!removed) DeleteFileW(temp_path.c_str());
  return error;
}

// 0 when the name still leads to the file as it was read; kNameReplaced
// when it leads to another file, to none, or to this one changed since.
DWORD LockedFile::State::NameUnchanged() const {
  HANDLE named = CreateFileW(stored_path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (named == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return kNameReplaced;
    return ERROR_CANT_ACCESS_FILE;  // no refusal: never a reason to write in place
  }
  FileIdentity now;
  BY_HANDLE_FILE_INFORMATION seen;
  const bool known = IdentityOf(named, &now) && GetFileInformationByHandle(named, &seen);
  CloseHandle(named);
  if (!known) return ERROR_CANT_ACCESS_FILE;
  const bool same = now == identity && seen.nFileSizeLow == info.nFileSizeLow &&
                    seen.nFileSizeHigh == info.nFileSizeHigh &&
                    SameTime(seen.ftLastWriteTime, info.ftLastWriteTime);
  return same ? 0 : kNameReplaced;
}

// Renames the whole, marked temporary file over the name, if the name still
// leads to the file as it was read.
DWORD LockedFile::State::SwapIn(HANDLE temp, const std::wstring& temp_path, bool* in_place) {
  if (!MarkForDeletion(temp, false)) return GetLastError();
  DWORD error = RenameRetried(
      [&] {
        const DWORD changed = NameUnchanged();
        return changed != 0 ? changed : PosixRename(temp, stored_path);
      },
      kRenameWaitMs);
  if (error == 0 || !RenameUnsupported(error)) {
    *in_place = RenameRefused(error);
    return error;
  }
  // Without POSIX semantics the old file must not be open while it is
  // replaced, so the turn is given up until the file is opened again.
  Close();
  error = RenameRetried(
      [&] {
        const DWORD changed = NameUnchanged();
        return changed != 0 ? changed : MoveOver(temp_path, stored_path);
      },
      kRenameWaitMs);
  if (error != 0 && RenameRefused(error)) {
    const DWORD reopened = Reopen();
    *in_place = reopened == 0;
    if (reopened != 0) error = reopened;
  }
  return error;
}

// Opens the file that was read again, takes the turn and checks that it is
// exactly as it was read; 0, kNameReplaced, or the error that refused it.
DWORD LockedFile::State::Reopen() {
  const FileIdentity read_identity = identity;
  const BY_HANDLE_FILE_INFORMATION read_info = info;
  const Opened opened = OpenFile(stored_path, Deadline(kSharingWaitMs));
  DWORD error = opened == Opened::kHeld ? ERROR_SHARING_VIOLATION : 0;
  if (opened == Opened::kYes && identity != read_identity) error = kNameReplaced;
  if (opened == Opened::kNo) error = kNameReplaced;
  if (error == 0 && write_error != 0) error = write_error;
  if (error == 0) error = TakeTurn(Deadline(kTurnWaitMs), false);
  if (error == 0 && (!GetFileInformationByHandle(file, &info) ||
                     info.nFileSizeLow != read_info.nFileSizeLow ||
                     info.nFileSizeHigh != read_info.nFileSizeHigh ||
                     !SameTime(info.ftLastWriteTime, read_info.ftLastWriteTime) ||
                     !HoldsExactly(file, *old, Deadline(kSharingWaitMs)))) {
    error = kNameReplaced;
  }
  if (error != 0) Close();
  return error;
}

}  // namespace varnok
