// Giving a new file exactly what the script has on POSIX: owner and group,
// mode bits, extended attributes (POSIX ACLs among them) and file flags, and
// nothing it lacks; and keeping the privileges (setuid, setgid, file
// capabilities) that a write of the bytes clears.
#include <errno.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "file/file_replace_calls-posix.h"
#include "file/file_replace_state-posix.h"
#include "os/posix_io.h"

namespace varnok {

namespace {

constexpr char kCapabilityAttribute[] = "security.capability";

// The flags chattr sets on a file that a new file does not simply inherit
// from how it is written (extents, inline data and the like are left out).
constexpr int kCopiedFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                             FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL |
                             FS_NOCOMP_FL | FS_PROJINHERIT_FL
#ifdef FS_DAX_FL
                             | FS_DAX_FL
#endif
    ;

// The names of `fd`'s extended attributes, each ending in NUL; false with
// errno set on failure.
bool ListAttributes(int fd, std::string* names) {
  while (true) {
    const ssize_t size = RetryOnSignal(flistxattr, fd, static_cast<char*>(nullptr), size_t{0});
    if (size <= 0) return names->clear(), size == 0;
    names->assign(static_cast<size_t>(size), '\0');
    const ssize_t got = RetryOnSignal(flistxattr, fd, &(*names)[0], names->size());
    if (got >= 0) return names->resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
  }
}

std::vector<std::string> Split(const std::string& names) {
  std::vector<std::string> list;
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) list.push_back(names.c_str() + at);
  return list;
}

bool GetAttribute(int fd, const char* name, std::string* value) {
  while (true) {
    const ssize_t size = RetryOnSignal(fgetxattr, fd, name, static_cast<void*>(nullptr), size_t{0});
    if (size < 0) return false;
    value->assign(static_cast<size_t>(size), '\0');
    const ssize_t got = RetryOnSignal(fgetxattr, fd, name, static_cast<void*>(&(*value)[0]),
                                      value->size());
    if (got >= 0) return value->resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;
  }
}

// An attribute the file system or the caller may not set or remove cannot
// be reproduced; that calls for a rewrite in place, as a refusal does.
int AsRefusal(int err) { return err == EOPNOTSUPP || err == ERANGE || err == E2BIG ? EPERM : err; }

// Removes every extended attribute of `to` that `from` lacks: a default ACL
// of the directory a new file inherited, a label, or a mark of ours.
int RemoveExtraAttributes(const std::vector<std::string>& kept, int to) {
  std::string names;
  if (!ListAttributes(to, &names)) return errno == EOPNOTSUPP ? 0 : errno;
  for (const std::string& name : Split(names)) {
    bool keep = name != kMarkAttribute;
    keep = keep && std::find(kept.begin(), kept.end(), name) != kept.end();
    if (!keep && RetryOnSignal(fremovexattr, to, name.c_str()) != 0 && errno != ENODATA) {
      return AsRefusal(errno);
    }
  }
  return 0;
}

// Copies every extended attribute of `from` that `to` lacks or holds with
// another value (a new file may already carry a security label).
int CopyAttributes(int from, const std::vector<std::string>& names, int to) {
  std::string value, present;
  for (const std::string& name : names) {
    if (name == kMarkAttribute) continue;
    if (!GetAttribute(from, name.c_str(), &value)) {
      if (errno == ENODATA) continue;  // removed meanwhile
      return errno;
    }
    if (GetAttribute(to, name.c_str(), &present) && present == value) continue;
    if (RetryOnSignal(ReplaceCalls().fsetxattr, to, name.c_str(),
                      static_cast<const void*>(value.data()), value.size(), 0) != 0) {
      return AsRefusal(errno);
    }
  }
  return 0;
}

// Sets `to`'s mode bits to `mode` and checks that they hold: a caller
// outside the file's group without CAP_FSETID cannot give setgid, which the
// system then drops without a word.
int SetMode(int to, mode_t mode) {
  struct stat now;
  if (fstat(to, &now) != 0) return errno;
  if ((now.st_mode & 07777) == mode) return 0;
  if (RetryOnSignal(ReplaceCalls().fchmod, to, mode) != 0) return errno;
  if (fstat(to, &now) != 0) return errno;
  return (now.st_mode & 07777) == mode ? 0 : EPERM;
}

bool HasCapability(int capability) {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[capability / 32].effective >> (capability % 32)) & 1;
}

bool InGroup(gid_t group) {
  if (getegid() == group) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

}  // namespace

const char kMarkAttribute[] = "user.varnok.write";

int CopyFlags(int from, int to) {
  int wanted = 0, present = 0;
  if (ioctl(from, FS_IOC_GETFLAGS, &wanted) != 0) return 0;  // a file system without flags
  if (ioctl(to, FS_IOC_GETFLAGS, &present) != 0) return (wanted & kCopiedFlags) ? EPERM : 0;
  if ((present & kCopiedFlags) == (wanted & kCopiedFlags)) return 0;
  int flags = (present & ~kCopiedFlags) | (wanted & kCopiedFlags);
  if (ioctl(to, FS_IOC_SETFLAGS, &flags) != 0 || ioctl(to, FS_IOC_GETFLAGS, &present) != 0) {
    return EPERM;
  }
  return (present & kCopiedFlags) == (wanted & kCopiedFlags) ? 0 : EPERM;
}

int CopyMetadata(int from, const struct stat& st, int to) {
  if (RetryOnSignal(ReplaceCalls().fchown, to, st.st_uid, st.st_gid) != 0) return errno;
  std::string names;
  if (!ListAttributes(from, &names) && errno != EOPNOTSUPP) return errno;
  const std::vector<std::string> kept = Split(names);
  // What grants access goes first, and only what the old file grants: a
  // reader who opened the new file in between would keep it open.
  if (int err = RemoveExtraAttributes(kept, to)) return err;
  if (int err = SetMode(to, st.st_mode & 07777)) return err;
  if (int err = CopyAttributes(from, kept, to)) return err;
  // An access ACL set by a caller outside the file's group clears setgid.
  return SetMode(to, st.st_mode & 07777);
}

Privileges PrivilegesOf(int fd, const struct stat& st) {
  Privileges held;
  held.mode = st.st_mode & 07777;
  if (!GetAttribute(fd, kCapabilityAttribute, &held.capability)) held.capability.clear();
  return held;
}

std::string PrivilegesAtRisk(const Privileges& held, const struct stat& st) {
  if (!held.capability.empty() && !HasCapability(CAP_SETFCAP)) {
    return "writing it would remove its file capabilities, which only a run with CAP_SETFCAP can give back";
  }
  if (HasCapability(CAP_FSETID)) return "";
  const bool may_chmod = geteuid() == st.st_uid || HasCapability(CAP_FOWNER);
  if ((held.mode & S_ISUID) && !may_chmod) {
    return "writing it would clear its setuid bit, which only its owner can set again";
  }
  // A write clears setgid where the group may execute the file, and (as
  // newer systems do) wherever the writer is outside the file's group;
  // setting it again takes the owner, in that group.
  const bool in_group = InGroup(st.st_gid);
  if ((held.mode & S_ISGID) && ((held.mode & S_IXGRP) || !in_group) && !(may_chmod && in_group)) {
    return "writing it would clear its setgid bit, which only its owner in its group can set again";
  }
  return "";
}

int RestorePrivileges(int fd, const Privileges& held) {
  std::string present;
  if (!held.capability.empty() &&
      !(GetAttribute(fd, kCapabilityAttribute, &present) && present == held.capability) &&
      RetryOnSignal(ReplaceCalls().fsetxattr, fd, kCapabilityAttribute,
                    static_cast<const void*>(held.capability.data()), held.capability.size(), 0) != 0) {
    return AsRefusal(errno);
  }
  return SetMode(fd, held.mode);
}

}  // namespace varnok
