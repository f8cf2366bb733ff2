// What the POSIX pieces of the script file share: the state of a held file,
// and the metadata, journal and recovery calls that the replacement
// (file_swap-posix.cc) and the rewrite in place (file_in_place-posix.cc) make.
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
  int Resolve(const std::string& path, bool* followed);
  bool KernelFollows(const std::string& path) const;

  // The replacement by a new file: 0, an errno or kRaced.
  int WriteReplacement(const struct iovec* parts, int count);
  int CreateTemp(std::string* temp_name, bool* anonymous);
  int LinkTemp(int temp_fd, std::string* temp_name);
  int FillTemp(int temp, const struct iovec* parts, int count);
  int Swap(const std::string& temp_name, const struct stat& made);
  int AfterExchange(const std::string& temp_name);
  int RenameOver(const std::string& temp_name, const struct stat& made);
  int SyncAfterRename();

  // The rewrite in place, journaled: 0 or an errno, `problem` saying more.
  int ReplaceInPlace(const struct iovec* parts, int count);
  int WriteInPlace(size_t new_size, size_t keep, struct iovec* parts, int count);
  int RestoreInPlace(size_t keep);

  int dir_fd = -1;          // the directory holding the file itself
  std::string dir;          // its path as the run reached it
  std::string name;         // the file's name in that directory
  int fd = -1;
  int write_errno = 0;      // why the file cannot be written, 0 when it can
  struct stat st = {};      // the file opened, locked and read
  struct stat named = {};   // the file the name should hold now
  const std::string* old = nullptr;  // the content read, during Replace
  std::string problem;      // what a failure report adds to "Unable to write to <path>"
  int new_fd = -1;          // the new file, locked until the run ends
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

/// Takes the turn on the open file `fd`: an open-file-description lock, a
/// write lock where `fd` may write (a lock only a writer can take), a read
/// lock otherwise; waits until `deadline`. 0, or ETIMEDOUT when the time ran
/// out. A file system without locks gives 0: the change still lands, only
/// the guard against concurrent runs is lost there.
int TakeTurn(int fd, bool writer, std::chrono::steady_clock::time_point deadline);

/// Gives the empty file `to` the file flags of `from` (chattr's, such as no
/// dump or no copy-on-write). 0; EPERM when they cannot be reproduced.
int CopyFlags(int from, int to);

/// Gives the new file `to` everything `from` (whose status is `st`) has and
/// nothing it lacks: owner and group, all mode bits, every extended
/// attribute (ACLs among them). 0; EPERM or EACCES when one of them cannot
/// be reproduced; another errno when the system failed.
int CopyMetadata(int from, const struct stat& st, int to);

/// The file `fd`'s setuid and setgid bits and file capabilities, which a
/// write of its bytes may clear.
struct Privileges {
  mode_t mode = 0;
  std::string capability;  // security.capability, empty for none
};
Privileges PrivilegesOf(int fd, const struct stat& st);

/// Why a write of the bytes of the file `st` would lose privileges this run
/// cannot give back; empty when it would not.
std::string PrivilegesAtRisk(const Privileges& held, const struct stat& st);

/// Gives `fd` back what `held` records after a write of its bytes. 0; EPERM
/// when the system would not let them be set; another errno when it failed.
int RestorePrivileges(int fd, const Privileges& held);

/// The fixed name of the temporary file beside the script `name`: only a run
/// holding the lock of the file under `name` writes it.
std::string TempName(const std::string& name);

/// A temporary name beside `name` for when the fixed one is taken by
/// something that is not a temporary file.
std::string SpareTempName(const std::string& name);

/// Removes the temporary file a killed run left beside the script `name`
/// (whose status is `st`, locked by the caller): one call where none is left.
void RemoveLeftoverTemp(int dir_fd, const std::string& name, const struct stat& st);

/// What tells the file `fd` apart from every other file, ever: its inode
/// number, its birth time and its generation where the system gives them.
std::string FileIdentity(int fd, const struct stat& st);

/// A journal being written for a rewrite in place of the file `fd`, and the
/// mark on the file that leads to it.
class JournalFile {
 public:
  JournalFile() = default;
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  /// Marks the file `fd` in `dir` (path `dir_path`) and writes `record` (its
  /// token chosen here) beside it, or where the directory refuses it or
  /// lets others rename entries, in this user's own directory under
  /// /var/tmp; flushed with its directory, then the mark says the write has
  /// begun. 0 or an errno, with no journal and no mark left.
  int Save(int fd, int dir_fd, const std::string& dir_path, JournalRecord record);
  /// Whether the journal still lies where the mark says, alone under its name.
  bool Intact() const;
  /// Marks the write done, removes the journal, then the mark. 0 or an
  /// errno, with the mark still saying the write is unfinished.
  int Finish();
  /// Removes the journal and the mark, for a write undone or never begun.
  void Abandon();

 private:
  int Locate(int dir_fd, const std::string& dir_path, bool private_dir);
  int Create(const JournalRecord& record, bool* refused);

  int fd_ = -1;            // the script, not owned
  int dir_fd_ = -1;        // the journal's directory, owned
  int journal_fd_ = -1;
  std::string dir_path_;   // its full path
  bool spare_dir_ = false; // made for this run, removed with the journal
  std::string name_;       // the journal's name in its directory; empty for none
  WriteMark mark_;
};

/// Puts back what a killed rewrite in place left in the file `fd` (status
/// `st`, locked, writable), whose bytes are `content`; `content` then holds
/// what the file holds. 0, or an errno with `problem` saying what stops the
/// run: a journal that is gone, unreadable or untrusted, or a failed restore.
int RecoverRewrite(int fd, const struct stat& st, std::string* content, std::string* problem);

/// The extended attribute that marks an unfinished rewrite in place.
extern const char kMarkAttribute[];

/// Sets `mark` on the file `fd`; 0, EOPNOTSUPP where the file system keeps
/// no such attributes, or another errno.
int SetMark(int fd, const WriteMark& mark);

/// Makes the mark on `fd` say, flushed, that its write is done (or where
/// that cannot be stored, removes it, flushed). 0 or an errno.
int MarkDone(int fd, WriteMark mark);

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_REPLACE_STATE_POSIX_H_
