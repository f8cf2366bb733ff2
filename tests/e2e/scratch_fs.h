// A file system of a chosen type for one test, on a loop image or in memory.
#ifndef VARNOK_TESTS_E2E_SCRATCH_FS_H_
#define VARNOK_TESTS_E2E_SCRATCH_FS_H_

#include <string>

namespace e2e {

/// A file system of `type` ("ext4", "xfs", "btrfs" or "tmpfs") mounted on a
/// fresh directory for the object's life: a sparse loop image (or tmpfs)
/// made and mounted when the tests run as root and the mkfs tool is there;
/// unmounted and removed when the object dies. The image and the mount point
/// lie in a fresh directory under /var/tmp (or $TMPDIR where /var/tmp is
/// missing). The file system's root may hold what mkfs puts there (ext4's
/// lost+found), so tests work in directories of their own below path().
/// The mount lives in a mount namespace of the test process's own, so a
/// test killed before its destructors run leaves no mount behind (only an
/// empty directory).
class ScratchFs {
 public:
  explicit ScratchFs(const std::string& type);
  ~ScratchFs();
  ScratchFs(const ScratchFs&) = delete;
  ScratchFs& operator=(const ScratchFs&) = delete;

  bool mounted() const { return mounted_; }
  /// Why it could not be made, for GTEST_SKIP; empty once mounted.
  const std::string& why_not() const { return why_not_; }
  /// The mount point: a directory readable and searchable by everyone.
  const std::string& path() const { return path_; }

 private:
  // Makes and mounts the file system; the reason when it cannot, else "".
  std::string Make(const std::string& type);
  std::string MakeImage(const std::string& type);

  std::string base_;   // the fresh directory holding image and mount point
  std::string image_;  // the loop image, or empty (tmpfs)
  std::string path_;
  std::string why_not_;
  bool mounted_ = false;
};

}  // namespace e2e

#endif  // VARNOK_TESTS_E2E_SCRATCH_FS_H_
