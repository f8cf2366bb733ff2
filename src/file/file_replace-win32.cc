// The script file on Windows: the open, the turn and the read, and the
// choice between a replacement by a new file (file_swap-win32.cc) and a
// rewrite in place (file_in_place-win32.cc).
//
// A run opens the file with full sharing, so that other programs may go on
// reading, writing, renaming or deleting it, then takes its turn: a lock on
// one byte far past the file's end (file_turn-win32.h), never on its data,
// so readers are not refused. It then checks that the name still leads to
// the locked file, and starts over from opening where another file took the
// name. A rewrite in place that a stopped run left unfinished is undone
// before the content is used; a file that is read-only is never written.
#include "file/file_replace.h"

#include <windows.h>

#include "base/failure.h"
#include "file/file_journal-win32.h"
#include "file/file_metadata-win32.h"
#include "file/file_replace_state-win32.h"
#include "file/file_turn-win32.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

// A run waiting for its turn tries again this often.
constexpr DWORD kTurnPollMs = 10;
constexpr char kNoTurn[] = "its turn did not come for five minutes";
constexpr char kHeldByOther[] = "another program holds it open and shares it with nobody";
constexpr char kLockedByOther[] = "another program keeps its bytes locked";

}  // namespace

void LockedFile::State::Close() {
  if (file == INVALID_HANDLE_VALUE) return;
  if (turn_held) ReleaseTurn(file);
  turn_held = false;
  CloseHandle(file);
  file = INVALID_HANDLE_VALUE;
}

// Opens `path` with the most access this run may have: to write and
// delete, to write, or to read; 0 or the last refusal.
DWORD LockedFile::State::OpenHandle(const std::wstring& path, const Deadline& deadline) {
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
    error = file != INVALID_HANDLE_VALUE ? 0 : GetLastError();
  }
  return error;
}

LockedFile::State::Opened LockedFile::State::OpenFile(const std::wstring& path,
                                                      const Deadline& deadline) {
  // Held past the wait by a program that shares it with nobody: not a file
  // that is missing or unreadable, but a write the system refuses.
  const DWORD error = OpenHandle(path, deadline);
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return Opened::kHeld;
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IdentityOf(file, &identity)) {
    return Opened::kNo;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) write_error = ERROR_ACCESS_DENIED;
  opened_path = path;
  stored_path = FinalPath(file);
  // Where the system cannot tell (Wine, for long paths), a name that is no
  // link is where the file is: links among its directories lead there too.
  if (stored_path.empty()) {
    const DWORD named = GetFileAttributesW(path.c_str());
    if (named != INVALID_FILE_ATTRIBUTES && (named & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      stored_path = path;
    }
  }
  return Opened::kYes;
}

// Takes the turn, waiting until `deadline`; 0, ERROR_LOCK_VIOLATION when
// the time ran out, kRenameUnderway when another run is renaming its new
// file over the name (a writer yields to it where `yield`), or the error
// that refused the lock.
DWORD LockedFile::State::TakeTurn(const Deadline& deadline, bool yield) {
  const bool writer = write_error == 0;
  while (true) {
    const DWORD error = varnok::TakeTurn(file, writer, Deadline(0), &turn_held);
    if (error != ERROR_LOCK_VIOLATION) return error;
    // A rename without POSIX semantics must wait until nobody holds the
    // old file open, and this run would hold it while it waits.
    if (writer && yield && RenameUnderway()) return kRenameUnderway;
    if (deadline.Passed()) return ERROR_LOCK_VIOLATION;
    Sleep(kTurnPollMs);
  }
}

bool LockedFile::State::StillNamed(const std::wstring& path) const {
  FileIdentity named;
  return IdentityAt(path, &named) && named == identity;
}

// Reads the whole file, waiting a while for other programs' locks on its
// bytes; 0 or the error, ERROR_LOCK_VIOLATION when they outlasted the wait.
DWORD LockedFile::State::ReadContent(std::string* content) {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || !MoveTo(file, 0)) return GetLastError();
  return ReadWhole(file, static_cast<uint64_t>(size.QuadPart), content, Deadline(kSharingWaitMs));
}

LockedFile::LockedFile() : state_(std::make_unique<State>()) {}

LockedFile::~LockedFile() = default;

// One attempt at opening the file and taking its turn.
LockedFile::State::Attempt LockedFile::State::TryOpen(const std::wstring& path,
                                                     const Deadline& turn_deadline) {
  const Opened opened = OpenFile(path, Deadline(kSharingWaitMs));
  if (opened != Opened::kYes) return opened == Opened::kNo ? Attempt::kNoFile : Attempt::kHeld;
  const DWORD turn = TakeTurn(turn_deadline, yield_to_renames);
  if (turn != 0 && turn != kRenameUnderway) {
    return turn == ERROR_LOCK_VIOLATION ? Attempt::kNoTurn : Attempt::kRefused;
  }
  // Another file took the name meanwhile: its turn instead.
  if (turn == 0 && !StillNamed(path)) return Attempt::kAgain;
  // Another run renames its new file over the name and needs the old one
  // closed: it goes first (unless its temporary file is held for longer
  // than a rename takes, by somebody else).
  if (turn == 0 && (write_error != 0 || !yield_to_renames || !RenameUnderway())) {
    return Attempt::kReady;
  }
  const std::wstring temp = TempPath();
  Close();
  yield_to_renames = WaitForRename(temp);
  return Attempt::kAgain;
}

bool LockedFile::Open(const std::string& path) {
  State& s = *state_;
  s.Close();
  content_.clear();
  problem_.clear();
  must_reopen_ = false;
  s.yield_to_renames = true;
  const std::wstring wide = ExtendedPath(path);
  const Deadline turn_deadline(kTurnWaitMs);
  State::Attempt attempt;
  while ((attempt = s.TryOpen(wide, turn_deadline)) == State::Attempt::kAgain) {
    s.Close();
    if (turn_deadline.Passed()) RaiseIniFileError(path, kNoTurn);
  }
  if (attempt != State::Attempt::kReady) s.Close();
  if (attempt == State::Attempt::kNoFile) return false;
  if (attempt == State::Attempt::kHeld) RaiseIniFileError(path, kHeldByOther);
  if (attempt != State::Attempt::kReady) {
    RaiseIniFileError(path, attempt == State::Attempt::kNoTurn ? kNoTurn : "");
  }
  if (const DWORD error = s.ReadContent(&content_)) {
    s.Close();
    content_.clear();
    if (error == ERROR_LOCK_VIOLATION) RaiseIniFileError(path, kLockedByOther);
    return false;
  }
  if (s.write_error == 0 && RecoverRewrite(s.file, s.MarkPath(), &content_, &problem_) != 0) {
    s.Close();
    RaiseIniFileError(path, problem_);
  }
  // What was read, to tell a later change by another program.
  GetFileInformationByHandle(s.file, &s.info);
  return true;
}

int LockedFile::Replace(std::string_view head, std::string_view middle, std::string_view tail) {
  State& s = *state_;
  must_reopen_ = false;
  problem_.clear();
  if (s.file == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  if (s.write_error != 0) return static_cast<int>(s.write_error);
  Part parts[3] = {{head.data(), head.size()}, {middle.data(), middle.size()},
                   {tail.data(), tail.size()}};
  s.old = &content_;
  s.problem.clear();
  // A new file cannot keep hard links, an unusual way of storing, or a link
  // the system cannot resolve; a run that may not delete the file cannot
  // replace it.
  bool in_place = s.info.nNumberOfLinks > 1 || !s.may_delete || s.stored_path.empty() ||
                  !AttributesReproducible(s.info.dwFileAttributes);
  DWORD error = 0;
  if (!in_place) error = s.ReplaceByRename(parts, 3, &in_place);
  if (in_place && s.file != INVALID_HANDLE_VALUE) error = s.ReplaceInPlace(parts, 3);
  problem_ = s.problem;
  // The name no longer led to the file as read: nothing was written, and
  // the change is made again from the content found now.
  must_reopen_ = error == kNameReplaced;
  return must_reopen_ ? 0 : static_cast<int>(error);
}

}  // namespace varnok
