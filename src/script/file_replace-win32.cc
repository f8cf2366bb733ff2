// The script file on Windows.
//
// Windows cannot rename a file over one that any process holds open, so runs
// of this program that change one file take turns through a named mutex,
// keyed by the file's full path, and none holds the file open while it waits.
// In its turn a run opens the file, locks it with LockFileEx against other
// writers and reads it. The new content goes to a temporary file beside it,
// marked for deletion until it is complete, so that a run killed at any
// moment leaves none behind; then the run closes the old file and renames the
// temporary one over it with MoveFileExA, writing through. The temporary file
// takes the old one's attributes and creation time; its access rights are
// those its directory gives new files. A name that is a link is resolved
// first, so the file it leads to is replaced and the link stays.
#include "script/file_replace.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "text.h"

namespace varnok {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr int kTempNameAttempts = 100;
// Another program (a virus scanner, an indexer) may hold the file open for
// a moment; the rename is tried again for about a second.
constexpr int kRenameAttempts = 50;
constexpr DWORD kRenamePauseMs = 20;
constexpr DWORD kMaxTransfer = 1 << 30;

struct Part {
  const char* data;
  size_t size;
};

void CloseIfOpen(HANDLE* handle) {
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
  *handle = INVALID_HANDLE_VALUE;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool InfoAt(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return known;
}

std::string FullPath(const std::string& path) {
  std::string full(MAX_PATH, '\0');
  DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  if (length >= full.size()) {
    full.resize(length);
    length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  }
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  return full;
}

// The path under which the file open on `file` is stored, links resolved;
// `path` itself when the system cannot name it in the ANSI code page.
std::string StoredPath(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info,
                       const std::string& path) {
  std::string stored(MAX_PATH, '\0');
  DWORD length = GetFinalPathNameByHandleA(file, &stored[0], static_cast<DWORD>(stored.size()), 0);
  if (length >= stored.size()) {
    stored.resize(length);
    length = GetFinalPathNameByHandleA(file, &stored[0], static_cast<DWORD>(stored.size()), 0);
  }
  BY_HANDLE_FILE_INFORMATION found;
  if (length == 0 || length >= stored.size()) return path;
  stored.resize(length);
  return InfoAt(stored, &found) && SameFile(found, info) ? stored : path;
}

// The name of the mutex that runs changing the file at `path` take turns
// through: a hash of its full path, letters upper-cased.
std::string TurnMutexName(const std::string& path) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : UpperAscii(FullPath(path))) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Local\\varnok-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

std::string TempName(const std::string& dir, int attempt) {
  char name[64];
  std::snprintf(name, sizeof name, ".varnok-%lu-%lx%x.tmp", GetCurrentProcessId(), GetTickCount(),
                static_cast<unsigned>(attempt));
  return dir + '\\' + name;
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

// Writes every byte of `parts` at the file's position; 0 or an error code.
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

bool ReadWhole(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info, std::string* content) {
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size >= content->max_size() / 2) return false;
  content->assign(static_cast<size_t>(size) + 1, '\0');
  size_t filled = 0;
  while (true) {
    if (filled == content->size()) content->resize(content->size() * 2);
    const size_t room = content->size() - filled;
    DWORD got = 0;
    if (!ReadFile(file, &(*content)[filled], room < kMaxTransfer ? static_cast<DWORD>(room) : kMaxTransfer,
                  &got, nullptr)) {
      return false;
    }
    if (got == 0) break;
    filled += got;
  }
  content->resize(filled);
  return true;
}

}  // namespace

struct LockedFile::State {
  ~State() { Reset(); }
  void Reset() {
    Release();
    if (turn != nullptr) {
      ReleaseMutex(turn);
      CloseHandle(turn);
      turn = nullptr;
    }
  }
  // Unlocks and closes the file, keeping the turn.
  void Release() {
    if (file == INVALID_HANDLE_VALUE) return;
    OVERLAPPED whole = {};
    if (locked) UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    locked = false;
    CloseIfOpen(&file);
  }

  void TakeTurn(const std::string& path);
  bool OpenFile(const std::string& path);
  DWORD ReplaceByRename(const Part* parts, int count, bool* temp_refused);
  DWORD CreateTemp(std::string* temp_path, HANDLE* temp);
  DWORD RenameOver(const std::string& temp_path);
  DWORD ReplaceInPlace(const std::string& old, Part* parts, int count);
  DWORD WriteInPlace(uint64_t old_size, uint64_t new_size, size_t keep, const Part* parts,
                     int count);
  void RestoreInPlace(const std::string& old, size_t keep);

  HANDLE turn = nullptr;               // the mutex, owned while the object lives
  HANDLE file = INVALID_HANDLE_VALUE;
  bool locked = false;
  DWORD write_error = 0;               // why the file cannot be written, 0 when it can
  BY_HANDLE_FILE_INFORMATION info = {};
  std::string stored_path;             // where the file is, links resolved
};

void LockedFile::State::TakeTurn(const std::string& path) {
  // Without the mutex (a name taken by another kind of object) the run
  // still has the file lock; only the wait for a concurrent rename is lost.
  turn = CreateMutexA(nullptr, FALSE, TurnMutexName(path).c_str());
  if (turn == nullptr) return;
  // WAIT_ABANDONED: a run was killed in its turn, and the turn passes on.
  const DWORD waited = WaitForSingleObject(turn, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(turn);
    turn = nullptr;
  }
}

bool LockedFile::State::OpenFile(const std::string& path) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  write_error = 0;
  if (file == INVALID_HANDLE_VALUE) {
    write_error = GetLastError();
    if (write_error != ERROR_ACCESS_DENIED && write_error != ERROR_SHARING_VIOLATION &&
        write_error != ERROR_WRITE_PROTECT) {
      return false;
    }
    file = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) write_error = ERROR_ACCESS_DENIED;
  // A file system without locks still gets its change; only the guard
  // against other writers is lost there.
  OVERLAPPED whole = {};
  locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
  stored_path = StoredPath(file, info, path);
  return true;
}

DWORD LockedFile::State::CreateTemp(std::string* temp_path, HANDLE* temp) {
  const std::string dir = stored_path.substr(0, stored_path.find_last_of("\\/"));
  const DWORD attributes = info.dwFileAttributes & kKeptAttributes;
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    *temp_path = TempName(dir, attempt);
    *temp = CreateFileA(temp_path->c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*temp != INVALID_HANDLE_VALUE) return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return error;
  }
  return ERROR_FILE_EXISTS;
}

DWORD LockedFile::State::RenameOver(const std::string& temp_path) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExA(temp_path.c_str(), stored_path.c_str(), flags)) return 0;
    const DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        attempt == kRenameAttempts) {
      return error;
    }
    Sleep(kRenamePauseMs);
  }
}

// Writes the new content to a temporary file beside the old one and renames
// it over the old name; 0 or an error code, with the old file as it was and
// no temporary file left behind. `temp_refused` tells a directory that
// refused the temporary file.
DWORD LockedFile::State::ReplaceByRename(const Part* parts, int count, bool* temp_refused) {
  std::string temp_path;
  HANDLE temp = INVALID_HANDLE_VALUE;
  DWORD error = CreateTemp(&temp_path, &temp);
  *temp_refused = error != 0;
  if (error != 0) return error;
  // Deleted when its handle closes, however the run ends, until it is whole.
  const bool marked = MarkForDeletion(temp, true);
  FILETIME created = info.ftCreationTime;
  SetFileTime(temp, &created, nullptr, nullptr);
  error = WriteAll(temp, parts, count);
  if (error == 0 && !FlushFileBuffers(temp)) error = GetLastError();
  if (error == 0) {
    Release();  // the old file must not be open while it is replaced
    // Kept from here on: the rename follows at once.
    if (marked && !MarkForDeletion(temp, false)) error = GetLastError();
    if (error == 0) error = RenameOver(temp_path);
    if (error != 0) MarkForDeletion(temp, true);
  }
  CloseHandle(temp);
  if (error != 0) DeleteFileA(temp_path.c_str());  // gone already where it was marked
  return error;
}

DWORD LockedFile::State::ReplaceInPlace(const std::string& old, Part* parts, int count) {
  uint64_t new_size = 0;
  size_t keep = 0;
  for (int i = 0; i < count; ++i) new_size += parts[i].size;
  // The leading bytes that stay need no rewrite.
  while (keep < parts[0].size && keep < old.size() && parts[0].data[keep] == old[keep]) ++keep;
  parts[0].data += keep;
  parts[0].size -= keep;
  const DWORD error = WriteInPlace(old.size(), new_size, keep, parts, count);
  if (error != 0) RestoreInPlace(old, keep);
  return error;
}

// The new bytes from offset `keep` on, and the new size; 0 or an error code.
DWORD LockedFile::State::WriteInPlace(uint64_t old_size, uint64_t new_size, size_t keep,
                                      const Part* parts, int count) {
  // Reserve the room first, so a full disk mostly fails before a byte changes.
  if (new_size > old_size && (!MoveTo(file, new_size) || !SetEndOfFile(file))) {
    return GetLastError();
  }
  if (!MoveTo(file, keep)) return GetLastError();
  if (DWORD error = WriteAll(file, parts, count)) return error;
  if (new_size < old_size && (!MoveTo(file, new_size) || !SetEndOfFile(file))) {
    return GetLastError();
  }
  return FlushFileBuffers(file) ? 0 : GetLastError();
}

// After a failed rewrite in place: the old bytes from `keep` on and the old
// size back, as far as the system lets. The bytes before `keep` were never
// touched.
void LockedFile::State::RestoreInPlace(const std::string& old, size_t keep) {
  const Part back = {old.data() + keep, old.size() - keep};
  if (!MoveTo(file, keep) || WriteAll(file, &back, 1) != 0) return;
  if (MoveTo(file, old.size()) && SetEndOfFile(file)) FlushFileBuffers(file);
}

LockedFile::LockedFile() : state_(std::make_unique<State>()) {}

LockedFile::~LockedFile() = default;

bool LockedFile::Open(const std::string& path) {
  State& s = *state_;
  s.Reset();
  content_.clear();
  s.TakeTurn(path);
  if (!s.OpenFile(path) || !ReadWhole(s.file, s.info, &content_)) {
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
  if (s.info.nNumberOfLinks > 1) return static_cast<int>(s.ReplaceInPlace(content_, parts, 3));
  bool temp_refused = false;
  DWORD error = s.ReplaceByRename(parts, 3, &temp_refused);
  // A directory that refuses a new file for lack of permission still lets
  // a writable file be rewritten; no other failure may fall back to that.
  if (temp_refused && error == ERROR_ACCESS_DENIED) error = s.ReplaceInPlace(content_, parts, 3);
  return static_cast<int>(error);
}

}  // namespace varnok
