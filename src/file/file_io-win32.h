// File calls for the Windows script file: bounded waits for sharing and
// locks, whole reads and writes, the names the system stores files under.
#ifndef VARNOK_FILE_FILE_IO_WIN32_H_
#define VARNOK_FILE_FILE_IO_WIN32_H_

#include <windows.h>

#include <cstdint>
#include <string>

namespace varnok {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// The byte a run locks to keep other runs and writers out while it reads
/// and replaces: far past the end of any file, so that readers, which lock
/// nothing or the data, are never refused.
constexpr uint64_t kGuardOffset = 0x7ffffffffffffffeull;

struct Part {
  const char* data;
  size_t size;
};

/// A deadline `ms` milliseconds from now, and what is left of it.
class Deadline {
 public:
  explicit Deadline(DWORD ms) : end_(GetTickCount64() + ms) {}
  DWORD Left() const;
  bool Passed() const { return Left() == 0; }

 private:
  ULONGLONG end_;
};

/// CreateFileW for an existing file with `access` and full sharing, tried
/// again while another program's open refuses sharing, until `deadline`.
HANDLE OpenShared(const std::wstring& path, DWORD access, const Deadline& deadline);

/// Locks `length` bytes from `offset`, exclusively or shared, tried again
/// while another handle holds them, until `deadline`. 0, or the error:
/// ERROR_LOCK_VIOLATION when the time ran out.
DWORD LockRange(HANDLE file, uint64_t offset, uint64_t length, const Deadline& deadline,
                bool exclusive = true);
void UnlockRange(HANDLE file, uint64_t offset, uint64_t length);

/// Whether `error` says the file system keeps no locks (or none that far
/// out): the run goes on, the turn keeping this program's runs apart.
bool LocksUnsupported(DWORD error);

/// The full "\\?\" path the system stores the file open on `file` under,
/// links resolved; empty when it cannot tell.
std::wstring FinalPath(HANDLE file);

/// `path` up to its last separator.
std::wstring DirectoryOf(const std::wstring& path);

bool MarkForDeletion(HANDLE file, bool delete_file);
bool MoveTo(HANDLE file, uint64_t offset);

/// Writes every byte of `parts` at the file's position; 0 or an error code.
DWORD WriteAll(HANDLE file, const Part* parts, int count);

/// Reads the file from its position to its end into `content`; a read that
/// another program's lock on the bytes refuses is tried again until
/// `locked_until`. 0 or the error (ERROR_LOCK_VIOLATION when the time ran
/// out).
DWORD ReadWhole(HANDLE file, uint64_t size_hint, std::string* content,
                const Deadline& locked_until = Deadline(0));

/// Whether the file open on `file` holds exactly `expected`, read from its
/// start in pieces; refused reads are tried again until `locked_until`.
bool HoldsExactly(HANDLE file, const std::string& expected, const Deadline& locked_until);

/// Flushes the directory `dir` where the system lets a directory be opened
/// and flushed; refusals are ignored.
void FlushDirectory(const std::wstring& dir);

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_IO_WIN32_H_
