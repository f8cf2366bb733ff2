// What the POSIX pieces of the script file share: the state of a held file,
// and the journal, metadata and leftover handling that the replacement
// (file_replace-posix.cc) and the rewrite in place (file_in_place-posix.cc)
// call on.
#ifndef VARNOK_FILE_FILE_REPLACE_STATE_POSIX_H_
#define VARNOK_FILE_FILE_REPLACE_STATE_POSIX_H_

#include <sys/stat.h>
#include <sys/uio.h>

#include <chrono>
#include <string>

#include "file/file_replace.h"
#include "file/journal.h"

namespace varnok {

/// A result of the replacement: the name no longer held the file that was
/// read, nothing was changed, and the run must open the file again.
constexpr int kRaced = -1;

struct LockedFile::State {
  ~State() { Reset(); }
  void Reset();

  // One attempt at opening and locking; -1 to try again (the name moved
  // meanwhile), else 1 for success and 0 for no readable regular file.
  int TryOpen(const std::string& path);
  // Puts back what a killed rewrite in place left, and removes leftovers.
  void Recover();

  // The replacement by a new file: 0, an errno or kRaced.
  int WriteReplacement(const struct iovec* parts, int count);
  int CreateTemp(std::string* temp_name, bool* anonymous);
  int LinkTemp(int temp_fd, std::string* temp_name);
  int FillTemp(int temp, const struct iovec* parts, int count);
  int Swap(const std::string& temp_name, const struct stat& made);
  int AfterExchange(const std::string& temp_name);
  int RenameOver(const std::string& temp_name, const struct stat& made);
  int SyncAfterRename();

  // The rewrite in place, journaled: 0 or an errno.
  int ReplaceInPlace(const struct iovec* parts, int count);
  int WriteInPlace(size_t new_size, size_t keep, struct iovec* parts, int count);
  int RestoreInPlace(size_t keep);

  int dir_fd = -1;          // the directory holding the file itself
  std::string name;         // the file's name in that directory
  int fd = -1;
  int write_errno = 0;      // why the file cannot be written, 0 when it can
  struct stat st = {};      // the file opened, locked and read
  struct stat named = {};   // the file the name should hold now
  const std::string* old = nullptr;  // the content read, during Replace
  bool renamed = false;     // the name took a new file: no rewrite in place after that
  bool rolling_back = false;
  bool touched = false;     // the rewrite in place has begun to write bytes
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

bool SameFile(const struct stat& a, const struct stat& b);

/// Flushes a directory; 0 or an errno. A file system that cannot flush
/// directories (EINVAL) needs not.
int SyncDirectory(int dir_fd);

/// The errno values with which a directory or file refuses a change for lack
/// of permission, where rewriting in place is still allowed.
bool IsPermissionRefusal(int err);

/// Gives `to` the owner and group, all mode bits and every extended
/// attribute of `from` (whose status is `st`). 0; EPERM or EACCES when one
/// of them cannot be reproduced; another errno when the system failed.
int CopyMetadata(int from, const struct stat& st, int to);

/// A name for a temporary file beside the file `st`, tagged with its inode.
std::string TempName(const struct stat& st);

/// Removes the temporary files that killed runs left beside the file `st`,
/// which the caller holds locked.
void RemoveStaleTemps(int dir_fd, const struct stat& st);

/// A journal written for a rewrite in place.
class JournalFile {
 public:
  JournalFile() = default;
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  /// Writes `record` for the file `st` in `dir_fd` beside it, or where that
  /// directory refuses a new file, in the fallback directory; flushed with
  /// its directory. 0 or an errno, with no journal left.
  int Save(int dir_fd, const struct stat& st, const JournalRecord& record);
  /// Removes the journal, flushed; 0 or an errno.
  int Drop();

 private:
  int dir_fd_ = -1;  // owned
  std::string name_;
};

/// The journal record's name for the file `st`.
std::string JournalIdentity(const struct stat& st);

/// Puts back, through the writable `fd` of the locked file `st`, a complete
/// journal left for it beside it in `dir_fd` or in the fallback directory,
/// then removes the journal; removes an incomplete one. 0, or the errno of a
/// failed restore (the journal then stays).
int RecoverJournal(int dir_fd, int fd, const struct stat& st);

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_REPLACE_STATE_POSIX_H_
