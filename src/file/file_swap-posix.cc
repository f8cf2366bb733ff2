// The replacement of the script by a new file on POSIX: O_TMPFILE (where the
// system has it) so that a killed run mostly leaves no named temporary file,
// fsync, and an exchange of names that is undone when the name no longer
// held the file that was read.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "os/posix_io.h"
#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"

namespace varnok {

namespace {

constexpr int kMaxNameAttempts = 100;

// Errors with which a system says it cannot exchange two names at all.
bool ExchangeUnsupported(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

void RemoveName(int dir_fd, const std::string& name) { unlinkat(dir_fd, name.c_str(), 0); }

}  // namespace

int LockedFile::State::CreateTemp(std::string* temp_name, bool* anonymous) {
#ifdef O_TMPFILE
  int temp = RetryOnSignal(ReplaceCalls().create, dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC,
                           mode_t{0600});
  if (temp >= 0 && access("/proc/self/fd", X_OK) == 0) {
    *anonymous = true;
    return temp;
  }
  if (temp >= 0) close(temp);
  else if (errno != EISDIR && errno != EOPNOTSUPP && errno != EINVAL) return -1;
#endif
  *anonymous = false;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    *temp_name = TempName(st);
    int temp = RetryOnSignal(ReplaceCalls().create, dir_fd, temp_name->c_str(),
                             O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode_t{0600});
    if (temp >= 0 || errno != EEXIST) return temp;
  }
  return -1;
}

// Gives an anonymous temporary file a name; 0 or an errno.
int LockedFile::State::LinkTemp(int temp_fd, std::string* temp_name) {
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", temp_fd);
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    *temp_name = TempName(st);
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
  close(temp);
  if (err == 0) return Swap(temp_name, made);
  if (named_temp) RemoveName(dir_fd, temp_name);
  return err;
}

// The new bytes, then everything else the old file has: the owner first,
// since a change of owner clears the setuid and setgid bits, and the bits
// after the bytes, since writing clears them too. Flushed to disk.
int LockedFile::State::FillTemp(int temp, const struct iovec* parts, int count) {
  struct iovec copy[3] = {};
  for (int i = 0; i < count; ++i) copy[i] = parts[i];
  if (int err = WriteAll(temp, copy, count, ReplaceCalls().writev)) return err;
  if (int err = CopyMetadata(fd, st, temp)) return err;
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
