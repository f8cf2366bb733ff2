// The script file on Windows.
//
// Runs of this program that change one file take turns (FileTurn: a mutex
// keyed by the file's identity, whatever spelling of its path each run got).
// In its turn a run opens the file with full sharing, so that other programs
// may go on reading, writing, renaming or deleting it, and locks one byte far
// past its end against other writers that lock, never its data, so readers
// are not refused. The new content goes to a temporary file beside it
// (".vk<digest>.tmp", short so that any script whose path fits can be
// written), which takes the old file's security descriptor, attributes,
// creation time and named streams and is marked for deletion until it is
// whole and flushed; then, if the name still leads to the file that was read,
// the temporary file is renamed over it: with POSIX semantics where the
// system has them (the old file may stay open elsewhere), else with
// MoveFileExW. The file, then its directory, are flushed. A name that is a
// link is resolved first, so the file it leads to is replaced and the link
// stays. Where a new file cannot carry everything the old one has (hard
// links, an owner the run may not give away, a compressed or encrypted file,
// a name it cannot resolve), or where the rename is refused (another program
// holds the file, or the run may not delete it), the file is rewritten in
// place under a lock on its data, journaled (file_in_place-win32.cc); every
// open first undoes a rewrite in place that was stopped.
#include "file/file_replace.h"

#include <windows.h>

#include "base/failure.h"
#include "file/file_metadata-win32.h"
#include "file/file_rename-win32.h"
#include "file/file_replace_state-win32.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

// The name no longer leads to the file that was read.
constexpr DWORD kNameReplaced = ERROR_FILE_INVALID;

}  // namespace

LockedFile::State::Opened LockedFile::State::OpenFile(const std::wstring& path,
                                                      const FileIdentity& expected,
                                                      const Deadline& deadline) {
  write_error = 0;
  // DELETE lets the file be replaced; where it is refused, or another
  // program holds the file without sharing deletion, the file is rewritten
  // in place instead.
  file = OpenShared(path, GENERIC_READ | GENERIC_WRITE | DELETE, Deadline(0));
  may_delete = file != INVALID_HANDLE_VALUE;
  DWORD error = may_delete ? 0 : GetLastError();
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    file = OpenShared(path, GENERIC_READ | GENERIC_WRITE, deadline);
    error = file != INVALID_HANDLE_VALUE ? 0 : GetLastError();
  }
  if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) {
    file = OpenShared(path, GENERIC_READ, deadline);
    write_error = error;
  }
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IdentityOf(file, &identity)) {
    return Opened::kNo;
  }
  if (identity != expected) return Opened::kMoved;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) write_error = ERROR_ACCESS_DENIED;
  opened_path = path;
  stored_path = FinalPath(file);
  return Opened::kYes;
}

// Locks the guard byte; a file system without locks still gets its change,
// the turn keeping this program's runs apart there.
DWORD LockedFile::State::LockGuard() {
  const DWORD error = LockRange(file, kGuardOffset, 1, Deadline(kTurnWaitMs));
  guard_locked = error == 0;
  return LocksUnsupported(error) ? 0 : error;
}

// Creates the temporary file `temp_path` with everything the old file
// carries besides its content; marked for deletion on success.
DWORD LockedFile::State::PrepareTemp(const std::wstring& temp_path, HANDLE* temp, bool* in_place) {
  // Only a run in this file's turn writes this name: one left by a killed run goes.
  DeleteFileW(temp_path.c_str());
  *temp = CreateFileW(temp_path.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
                      FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                      AttributesToKeep(info.dwFileAttributes), nullptr);
  if (*temp == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A directory that refuses a new file still lets a writable file be rewritten.
    *in_place = error == ERROR_ACCESS_DENIED;
    return error;
  }
  DWORD error = CopyStreams(stored_path, temp_path);
  if (error == 0) error = CopySecurity(file, stored_path, *temp, temp_path);
  if (error == 0 && !MarkForDeletion(*temp, true)) error = GetLastError();
  if (error != 0) {
    *in_place = true;  // what the new file cannot carry, the old one keeps
    CloseHandle(*temp);
    DeleteFileW(temp_path.c_str());
    return error;
  }
  FILETIME created = info.ftCreationTime;
  SetFileTime(*temp, &created, nullptr, nullptr);
  return 0;
}

// Writes the new content to a temporary file beside the old one and renames
// it over the old name; 0 or an error code, with the old file as it was and
// no temporary file left behind. `in_place` asks for a rewrite in place.
DWORD LockedFile::State::ReplaceByRename(const Part* parts, int count, bool* in_place) {
  const std::wstring temp_path =
      DirectoryOf(stored_path) + L"\\.vk" + WideFromUtf8(IdentityDigest(identity)) + L".tmp";
  HANDLE temp = INVALID_HANDLE_VALUE;
  DWORD error = PrepareTemp(temp_path, &temp, in_place);
  if (error != 0) return error;
  error = WriteAll(temp, parts, count);
  if (error == 0 && !FlushFileBuffers(temp)) error = GetLastError();
  if (error == 0) error = SwapIn(temp, temp_path, in_place);
  if (error == 0) {
    FlushFileBuffers(temp);  // the file under its new name
    FlushDirectory(DirectoryOf(stored_path));
  } else {
    MarkForDeletion(temp, true);
  }
  CloseHandle(temp);
  if (error != 0) DeleteFileW(temp_path.c_str());  // gone already where it was marked
  return error;
}

// Renames the whole, marked temporary file over the name, if the name still
// leads to the file that was read.
DWORD LockedFile::State::SwapIn(HANDLE temp, const std::wstring& temp_path, bool* in_place) {
  FileIdentity now;
  if (!IdentityAt(stored_path, &now)) {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_FILE_NOT_FOUND;
  }
  if (now != identity) return kNameReplaced;
  if (!MarkForDeletion(temp, false)) return GetLastError();
  DWORD error = RenameRetried([&] { return PosixRename(temp, stored_path); }, kRenameWaitMs);
  if (error == 0 || !RenameUnsupported(error)) {
    *in_place = RenameRefused(error);
    return error;
  }
  // Without POSIX semantics the old file must not be open while it is
  // replaced; the turn still keeps this program's other runs away.
  Close();
  error = RenameRetried([&] { return MoveOver(temp_path, stored_path); }, kRenameWaitMs);
  if (error != 0 && RenameRefused(error)) {
    // Back to the file that was read, for a rewrite in place.
    const FileIdentity read = identity;
    *in_place = OpenFile(stored_path, read, Deadline(kSharingWaitMs)) == Opened::kYes &&
                LockGuard() == 0;
    if (!*in_place) Close();  // not the file that was read, or not lockable
  }
  return error;
}

LockedFile::LockedFile() : state_(std::make_unique<State>()) {}

LockedFile::~LockedFile() = default;

bool LockedFile::Open(const std::string& path) {
  State& s = *state_;
  s.Reset();
  content_.clear();
  must_reopen_ = false;
  const std::wstring wide = ExtendedPath(path);
  const Deadline deadline(kTurnWaitMs);
  // The identity is known only from an open file; the turn is taken for it,
  // then the file opened again for the edit. Where the name was given to
  // another file meanwhile, the turn for that one is taken instead.
  State::Opened opened = State::Opened::kMoved;
  while (opened == State::Opened::kMoved) {
    FileIdentity named;
    if (!IdentityAt(wide, &named)) return false;
    if (deadline.Passed() || !s.turn.Take(named, deadline.Left())) RaiseIniFileError(path);
    opened = s.OpenFile(wide, named, Deadline(kSharingWaitMs));
    if (opened != State::Opened::kYes) s.Reset();
  }
  if (opened == State::Opened::kNo) return false;
  // A rewrite in place that was stopped is undone before anything is read.
  if (s.LockGuard() != 0 || s.ApplyJournals() != 0) RaiseIniFileError(path);
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(s.file, &size) || !MoveTo(s.file, 0) ||
      !ReadWhole(s.file, static_cast<uint64_t>(size.QuadPart), &content_)) {
    s.Reset();
    content_.clear();
    return false;
  }
  return true;
}

int LockedFile::Replace(std::string_view head, std::string_view middle, std::string_view tail) {
  State& s = *state_;
  if (s.file == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  if (s.write_error != 0) return static_cast<int>(s.write_error);
  Part parts[3] = {{head.data(), head.size()}, {middle.data(), middle.size()},
                   {tail.data(), tail.size()}};
  // A new file cannot keep hard links, an unusual way of storing, or a link
  // the system cannot resolve; a run that may not delete the file cannot
  // replace it.
  bool in_place = s.info.nNumberOfLinks > 1 || !s.may_delete || s.stored_path.empty() ||
                  !AttributesReproducible(s.info.dwFileAttributes);
  DWORD error = 0;
  must_reopen_ = false;
  if (!in_place) error = s.ReplaceByRename(parts, 3, &in_place);
  if (in_place && s.file != INVALID_HANDLE_VALUE) error = s.ReplaceInPlace(content_, parts, 3);
  // Another file took the name: nothing was written, and the change is made
  // again from that file's content.
  must_reopen_ = error == kNameReplaced;
  return must_reopen_ ? 0 : static_cast<int>(error);
}

}  // namespace varnok
