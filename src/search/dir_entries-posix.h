// The entries of one directory on POSIX, as the search sees them: each
// name with the type the listing gives (getdents64 on Linux, readdir
// elsewhere), and whether an entry is a directory or a link the kernel
// refuses to follow. Internal to dir_read-posix.h.
#ifndef VARNOK_SEARCH_DIR_ENTRIES_POSIX_H_
#define VARNOK_SEARCH_DIR_ENTRIES_POSIX_H_

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <cstdint>
#include <cstring>
#include <vector>

namespace varnok {

inline bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

#ifdef __linux__
// Calls `visit(name, d_type)` for each entry of the directory open on `fd`,
// from the descriptor's position, until it answers false. A failing read
// ends the listing, as readdir does. Records follow the kernel's
// linux_dirent64 layout: the record length at byte 16, the type at byte 18,
// the NUL-terminated name from byte 19.
template <typename Visit>
void ForEachEntry(int fd, std::vector<char>* buffer, Visit visit) {
  while (true) {
    const long got = syscall(SYS_getdents64, fd, buffer->data(), buffer->size());
    if (got <= 0) return;
    for (long pos = 0; pos < got;) {
      const char* record = buffer->data() + pos;
      uint16_t length;
      std::memcpy(&length, record + 16, sizeof length);
      pos += length;
      if (!visit(record + 19, static_cast<unsigned char>(record[18]))) return;
    }
  }
}
#else
// As above, through readdir on a duplicate of `fd` (closedir closes the
// descriptor that fdopendir took over).
template <typename Visit>
void ForEachEntry(int fd, std::vector<char>*, Visit visit) {
  const int own = dup(fd);
  DIR* dir = own >= 0 ? fdopendir(own) : nullptr;
  if (dir == nullptr) {
    if (own >= 0) close(own);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    if (!visit(entry->d_name, entry->d_type)) break;
  }
  closedir(dir);
}
#endif

// Whether the entry is a directory, links followed (a link the kernel
// refuses is not); stats only where the listing does not say.
inline bool IsDirectoryEntry(int dir_fd, const char* name, unsigned char type) {
  if (type == DT_DIR) return true;
  if (type != DT_LNK && type != DT_UNKNOWN) return false;
  struct stat st;
  return fstatat(dir_fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Whether the entry is a symbolic link that the kernel refuses to follow
// for this run. Only links are asked about.
inline bool IsRefusedLink(int dir_fd, const char* name, unsigned char type) {
  struct stat st;
  if (type == DT_UNKNOWN) {
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return false;
  } else if (type != DT_LNK) {
    return false;
  }
  return fstatat(dir_fd, name, &st, 0) != 0 && errno == EACCES;
}

}  // namespace varnok

#endif  // VARNOK_SEARCH_DIR_ENTRIES_POSIX_H_
