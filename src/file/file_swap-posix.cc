// The replacement of the script by a new file on POSIX: O_TMPFILE (where the
// system has it) so that a killed run mostly leaves no named temporary file,
// fsync, and an exchange of names that is undone when the name no longer
// held the file that was read. The new file is locked before it takes the
// name, and only a run holding the lock of the file under the script's name
// uses the script's temporary name, so the next run finds what a killed run
// left under that one name.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"
#include "os/posix_io.h"
#include "os/random.h"

namespace varnok {

namespace {

// Errors with which a system says it cannot exchange two names at all.
bool ExchangeUnsupported(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

void RemoveName(int dir_fd, const std::string& name) { unlinkat(dir_fd, name.c_str(), 0); }

// A new file's lock: the turn of the run that wrote it, for the next run
// that opens it under the script's name.
int LockNewFile(int temp) {
  return TakeTurn(temp, true, std::chrono::steady_clock::now() + std::chrono::seconds(1));
}

// The script's name as 16 hexadecimal digits (FNV-1a), for its temporary name.
std::string NameDigest(const std::string& name) {
  unsigned long long hash = 14695981039346656037ull;
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", hash);
  return digits;
}

}  // namespace

std::string TempName(const std::string& name) { return ".varnok-" + NameDigest(name) + ".tmp"; }

std::string SpareTempName(const std::string& name) {
  return ".varnok-" + NameDigest(name) + "-" + HexDigits(RandomBytes(8)) + ".tmp";
}

void RemoveLeftoverTemp(int dir_fd, const std::string& name, const struct stat& st) {
  const std::string temp = TempName(name);
  struct stat left;
  // Only a run holding this lock writes the name, so a file under it is
  // what a killed run left: its new file, or the old one it swapped out.
  // The script itself is never one, whatever its name.
  if (fstatat(dir_fd, temp.c_str(), &left, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(left.st_mode) &&
      !SameFile(left, st)) {
    unlinkat(dir_fd, temp.c_str(), 0);
  }
}

// A new, locked file beside the script: anonymous where the system allows,
// else under `temp_name`; -1 with errno set on failure.
int LockedFile::State::CreateTemp(std::string* temp_name, bool* anonymous) {
  int temp = -1;
  *anonymous = false;
#ifdef O_TMPFILE
  // An anonymous file needs /proc to be given a name.
  temp = RetryOnSignal(ReplaceCalls().create, dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC,
                       mode_t{0600});
  if (temp < 0 && errno != EISDIR && errno != EOPNOTSUPP && errno != EINVAL) return -1;
  *anonymous = temp >= 0 && access("/proc/self/fd", X_OK) == 0;
  if (temp >= 0 && !*anonymous) close(temp), temp = -1;
#endif
  if (temp < 0) {
    for (const std::string& candidate : {TempName(name), SpareTempName(name)}) {
      *temp_name = candidate;
      temp = RetryOnSignal(ReplaceCalls().create, dir_fd, temp_name->c_str(),
                           O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode_t{0600});
      if (temp >= 0 || errno != EEXIST) break;
    }
    if (temp < 0) return -1;
  }
  if (int err = LockNewFile(temp)) {
    if (!*anonymous) RemoveName(dir_fd, *temp_name);
    close(temp);
    errno = err;
    return -1;
  }
  return temp;
}

// Gives an anonymous temporary file the script's temporary name; 0 or an errno.
int LockedFile::State::LinkTemp(int temp_fd, std::string* temp_name) {
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", temp_fd);
  for (const std::string& candidate : {TempName(name), SpareTempName(name)}) {
    *temp_name = candidate;
    if (RetryOnSignal(ReplaceCalls().linkat, AT_FDCWD, static_cast<const char*>(proc_path), dir_fd,
                      temp_name->c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// Writes the new content to a temporary file beside the old one and puts it
// under the old name; 0, an errno or kRaced, with no temporary file left.
// The new file stays open, and locked, until the run ends.
int LockedFile::State::WriteReplacement(const struct iovec* parts, int count) {
  std::string temp_name;
  bool anonymous = false;
  int temp = CreateTemp(&temp_name, &anonymous);
  if (temp < 0) return errno;
  bool named_temp = !anonymous;
  int err = FillTemp(temp, parts, count);
  if (err == 0 && anonymous) named_temp = (err = LinkTemp(temp, &temp_name)) == 0;
  struct stat made = {};
  if (err == 0 && fstat(temp, &made) != 0) err = errno;
  if (err == 0) err = Swap(temp_name, made);
  else if (named_temp) RemoveName(dir_fd, temp_name);
  if (err == 0) {
    if (new_fd >= 0) close(new_fd);
    new_fd = temp;
  } else {
    close(temp);
  }
  return err;
}

// Everything the old file has, then the new bytes, flushed to disk. The
// flags go first, as some (no copy-on-write) hold only for an empty file;
// owner, attributes and mode bits before a byte is written, so nobody can
// open the file with access the old one did not grant; the setuid and
// setgid bits and file capabilities again after the bytes, which clear them.
int LockedFile::State::FillTemp(int temp, const struct iovec* parts, int count) {
  if (int err = CopyFlags(fd, temp)) return err;
  if (int err = CopyMetadata(fd, st, temp)) return err;
  struct iovec copy[3] = {};
  for (int i = 0; i < count; ++i) copy[i] = parts[i];
  if (int err = WriteAll(temp, copy, count, ReplaceCalls().writev)) return err;
  if (int err = RestorePrivileges(temp, PrivilegesOf(fd, st))) return err;
  return RetryOnSignal(ReplaceCalls().fsync, temp) != 0 ? errno : 0;
}

int LockedFile::State::Swap(const std::string& temp_name, const struct stat& made) {
  if (RetryOnSignal(ReplaceCalls().exchange, dir_fd, temp_name.c_str(), dir_fd, name.c_str()) == 0) {
    return AfterExchange(temp_name);
  }
  const int err = errno;
  if (ExchangeUnsupported(err)) return RenameOver(temp_name, made);
  RemoveName(dir_fd, temp_name);
  return err;
}

// The old name holds the new file and the temporary name what the old name
// held: the file read, or another that took the name meanwhile, which goes
// back.
int LockedFile::State::AfterExchange(const std::string& temp_name) {
  auto& calls = ReplaceCalls();
  struct stat out;
  if (fstatat(dir_fd, temp_name.c_str(), &out, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(out, st)) {
    if (RetryOnSignal(calls.exchange, dir_fd, temp_name.c_str(), dir_fd, name.c_str()) != 0) {
      return errno;  // both files stay, each under a name
    }
    RemoveName(dir_fd, temp_name);
    return kRaced;
  }
  renamed = true;
  if (int err = SyncDirectory(dir_fd)) {
    // The exchange may not last: the old file goes back under its name.
    // Should that fail, the new file stays, whole.
    RetryOnSignal(calls.exchange, dir_fd, temp_name.c_str(), dir_fd, name.c_str());
    RemoveName(dir_fd, temp_name);
    return err;
  }
  RemoveName(dir_fd, temp_name);
  // The change has landed. A crash before this flush may bring back the old
  // file under the temporary name; the next run removes it.
  SyncDirectory(dir_fd);
  return 0;
}

// Where names cannot be exchanged: renames over the name right after
// checking that it still holds the file it should.
int LockedFile::State::RenameOver(const std::string& temp_name, const struct stat& made) {
  struct stat now;
  if (fstatat(dir_fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, named)) {
    RemoveName(dir_fd, temp_name);
    return kRaced;
  }
  if (RetryOnSignal(ReplaceCalls().renameat, dir_fd, temp_name.c_str(), dir_fd, name.c_str()) != 0) {
    const int err = errno;
    RemoveName(dir_fd, temp_name);
    return err;
  }
  renamed = true;
  named = made;
  return SyncAfterRename();
}

// Flushes the directory after the rename; 0 or an errno. When that fails the
// rename may not last, so the old content is put back under the name.
int LockedFile::State::SyncAfterRename() {
  const int err = SyncDirectory(dir_fd);
  if (err == 0 || rolling_back) return err;
  rolling_back = true;
  struct iovec back = {const_cast<char*>(old->data()), old->size()};
  WriteReplacement(&back, 1);
  rolling_back = false;
  return err;
}

}  // namespace varnok
