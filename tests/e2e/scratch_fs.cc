#include "scratch_fs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "harness.h"

namespace e2e {

namespace {

struct ImageKind {
  const char* type;
  long long size;                       // bytes, sparse
  std::vector<std::string> mkfs_flags;  // quiet, and overwrite the fresh image
};

// xfs takes no file system under 300 MB.
const ImageKind kImageKinds[] = {
    {"ext4", 256LL << 20, {"-q", "-F"}},
    {"xfs", 320LL << 20, {"-q", "-f"}},
    {"btrfs", 256LL << 20, {"-q", "-f"}},
};

// The full path of the system tool `name`, looked up in PATH and the
// system directories root's PATH holds; empty when it is not installed.
std::string FindTool(const std::string& name) {
  const char* path = getenv("PATH");
  std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

const ImageKind* KindOf(const std::string& type) {
  for (const ImageKind& kind : kImageKinds) {
    if (type == kind.type) return &kind;
  }
  return nullptr;
}

// Moves the test process into a mount namespace of its own, once, so that
// its scratch mounts go with it even when it is killed (a test's time-out)
// before its destructors run; what the test starts shares the namespace.
// Where that is refused, the mounts are made where the process stands.
void PrivateMounts() {
  static const bool entered = unshare(CLONE_NEWNS) == 0 &&
                              mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  (void)entered;
}

std::string Trimmed(const std::string& text) {
  const size_t end = text.find_last_not_of(" \n");
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

}  // namespace

ScratchFs::ScratchFs(const std::string& type) {
  why_not_ = Make(type);
  mounted_ = why_not_.empty();
}

std::string ScratchFs::Make(const std::string& type) {
  if (type != "tmpfs" && KindOf(type) == nullptr) return "no scratch file system of type " + type;
  if (geteuid() != 0) return "making and mounting a " + type + " file system needs root";
  PrivateMounts();
  struct stat st;
  const char* tmpdir = getenv("TMPDIR");
  std::string pattern = stat("/var/tmp", &st) == 0 ? "/var/tmp"
                        : tmpdir != nullptr && *tmpdir != 0 ? tmpdir
                                                            : "/tmp";
  pattern += "/varnok-" + type + "-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return "mkdtemp: " + std::string(strerror(errno));
  base_ = pattern;
  path_ = base_ + "/mnt";
  if (chmod(base_.c_str(), 0755) != 0 || mkdir(path_.c_str(), 0755) != 0) {
    return "cannot make a mount point in " + base_;
  }
  if (type == "tmpfs") {
    if (mount("varnok-scratch", path_.c_str(), "tmpfs", 0, "size=256m,mode=0755") != 0) {
      return "mounting a tmpfs was refused: " + std::string(strerror(errno));
    }
    return "";
  }
  if (const std::string why = MakeImage(type); !why.empty()) return why;
  const std::string mount_tool = FindTool("mount");
  if (mount_tool.empty()) return "no mount(8) to attach a loop device";
  const RunResult mounted = RunCommand({mount_tool, "-o", "loop", image_, path_});
  if (mounted.status != 0) return "mounting the " + type + " image failed: " + Trimmed(mounted.err);
  chmod(path_.c_str(), 0755);
  // The loop device holds the image open; unlinked now, it cannot be left
  // behind by a test that never reaches its destructor.
  if (unlink(image_.c_str()) == 0) image_.clear();
  return "";
}

std::string ScratchFs::MakeImage(const std::string& type) {
  const ImageKind& kind = *KindOf(type);
  const std::string mkfs = FindTool("mkfs." + type);
  if (mkfs.empty()) return "mkfs." + type + " is not installed";
  image_ = base_ + "/image";
  const int fd = open(image_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const bool sized = fd >= 0 && ftruncate(fd, kind.size) == 0;
  if (fd >= 0) close(fd);
  if (!sized) return "cannot make a sparse image at " + image_;
  std::vector<std::string> command = {mkfs};
  command.insert(command.end(), kind.mkfs_flags.begin(), kind.mkfs_flags.end());
  command.push_back(image_);
  RunOptions options;
  options.timeout_seconds = 120;
  const RunResult made = RunCommand(command, options);
  if (made.status != 0) return mkfs + " failed: " + Trimmed(made.err);
  return "";
}

ScratchFs::~ScratchFs() {
  // The loop device that mount(8) attached lets go with the last unmount.
  if (mounted_ && umount2(path_.c_str(), 0) != 0) umount2(path_.c_str(), MNT_DETACH);
  if (!image_.empty()) unlink(image_.c_str());
  if (!path_.empty()) rmdir(path_.c_str());
  if (!base_.empty()) rmdir(base_.c_str());
}

}  // namespace e2e
