// Undoing, at the next open, a rewrite in place that a killed run left
// unfinished: the mark on the file leads to the journal, which is applied
// only when it is trusted, belongs to this file and this write, and the
// file holds exactly what that write can have left.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <optional>

#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"
#include "os/posix_io.h"

namespace varnok {

namespace {

constexpr uint64_t kMaxJournalSize = uint64_t{1} << 34;

// A journal found through a mark, open for reading.
struct FoundJournal {
  ~FoundJournal() {
    if (fd >= 0) close(fd);
    if (dir_fd >= 0) close(dir_fd);
  }
  int dir_fd = -1, fd = -1;
  std::string name;
  struct stat st = {};
};

std::optional<std::string> ReadMark(int fd) {
  std::string value(512, '\0');
  while (true) {
    const ssize_t got = RetryOnSignal(fgetxattr, fd, kMarkAttribute, static_cast<void*>(&value[0]),
                                      value.size());
    if (got >= 0) return value.substr(0, static_cast<size_t>(got));
    if (errno != ERANGE || value.size() > 65536) return std::nullopt;
    value.resize(value.size() * 4);
  }
}

// Opens the journal at `path` without following a link at its end; 0 or an
// errno. Only a full path whose last part is a journal's name is one.
int OpenJournal(const std::string& path, FoundJournal* found) {
  const size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || !IsJournalName(path.substr(slash + 1))) return EINVAL;
  found->name = path.substr(slash + 1);
  found->dir_fd = OpenDirectory(slash == 0 ? "/" : path.substr(0, slash));
  if (found->dir_fd < 0) return errno;
  found->fd = RetryOnSignal(openat, found->dir_fd, found->name.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (found->fd < 0 || fstat(found->fd, &found->st) != 0) return errno;
  return 0;
}

// Whether the journal `journal` may be applied to the file `st`: a plain
// file with one name that only its owner can change, and that owner this
// user, root or the file's owner. Anybody else could plant bytes in it.
bool Trusted(const struct stat& journal, const struct stat& st) {
  return S_ISREG(journal.st_mode) && journal.st_nlink == 1 && (journal.st_mode & 022) == 0 &&
         (journal.st_uid == geteuid() || journal.st_uid == 0 || journal.st_uid == st.st_uid);
}

std::optional<JournalRecord> ReadRecord(const FoundJournal& found) {
  if (static_cast<uint64_t>(found.st.st_size) > kMaxJournalSize) return std::nullopt;
  std::string bytes(static_cast<size_t>(found.st.st_size), '\0');
  size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = RetryOnSignal(read, found.fd, &bytes[filled], bytes.size() - filled);
    if (got <= 0) return std::nullopt;
    filled += static_cast<size_t>(got);
  }
  return DecodeJournal(bytes);
}

// Puts the record's old bytes back into `fd` and cuts it to the old size.
int PutBack(int fd, const JournalRecord& record) {
  auto& calls = ReplaceCalls();
  struct iovec saved = {const_cast<char*>(record.old_bytes.data()), record.old_bytes.size()};
  if (lseek(fd, static_cast<off_t>(record.offset), SEEK_SET) < 0) return errno;
  if (int err = WriteAll(fd, &saved, 1, calls.writev)) return err;
  if (RetryOnSignal(calls.ftruncate, fd, static_cast<off_t>(record.old_size())) != 0) return errno;
  return RetryOnSignal(calls.fsync, fd) != 0 ? errno : 0;
}

// Removes the mark, and the journal it names where that is one of a write
// that never began or has finished: trusted, and the mark's own where it is
// whole (a torn one is still being written, or was when its run stopped).
void Discard(int fd, const WriteMark& mark, const struct stat& st) {
  FoundJournal found;
  if (OpenJournal(mark.journal, &found) == 0 && Trusted(found.st, st)) {
    const std::optional<JournalRecord> record = ReadRecord(found);
    if ((!record || record->token == mark.token) &&
        unlinkat(found.dir_fd, found.name.c_str(), 0) == 0) {
      SyncDirectory(found.dir_fd);
    }
  }
  fremovexattr(fd, kMarkAttribute);
}

// Applies the journal of the unfinished write `mark`; see RecoverRewrite.
int Apply(int fd, const struct stat& st, const WriteMark& mark, std::string* content,
          std::string* problem) {
  FoundJournal found;
  const std::string where = "its rewrite in place was stopped, and its journal " + mark.journal;
  if (int err = OpenJournal(mark.journal, &found)) {
    return *problem = where + " cannot be opened (" + strerror(err) + ")", err;
  }
  if (!Trusted(found.st, st)) {
    return *problem = where + " is not to be trusted (another owner, mode or link)", EPERM;
  }
  const std::optional<JournalRecord> record = ReadRecord(found);
  if (!record || record->token != mark.token) {
    return *problem = where + " is damaged or another write's", EINVAL;
  }
  // A mark that came with a copy of the file: the journal is another file's.
  if (record->identity != FileIdentity(fd, st)) return fremovexattr(fd, kMarkAttribute), 0;
  if (record->offset > content->size() || !LeftByWrite(*record, std::string_view(*content).substr(record->offset))) {
    // Changed since by somebody else: set aside, never applied.
    renameat(found.dir_fd, found.name.c_str(), found.dir_fd, (found.name + ".stale").c_str());
    return fremovexattr(fd, kMarkAttribute), 0;
  }
  if (int err = PutBack(fd, *record)) {
    return *problem = where + ", whose old bytes could not be put back", err;
  }
  content->replace(record->offset, std::string::npos, record->old_bytes);
  if (int err = MarkDone(fd, mark)) {
    return *problem = where + "; its old bytes are back, but the mark could not be removed", err;
  }
  Discard(fd, mark, st);
  return 0;
}

}  // namespace

int RecoverRewrite(int fd, const struct stat& st, std::string* content, std::string* problem) {
  const std::optional<std::string> value = ReadMark(fd);
  if (!value) return 0;  // no mark, or a file system without them
  const std::optional<WriteMark> mark = DecodeMark(*value);
  if (!mark) {
    *problem = std::string("it carries a mark (") + kMarkAttribute + ") that this version cannot read";
    return EINVAL;
  }
  if (mark->state != WriteMark::kWriting) return Discard(fd, *mark, st), 0;
  return Apply(fd, st, *mark, content, problem);
}

}  // namespace varnok
