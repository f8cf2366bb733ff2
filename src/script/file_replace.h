// The script file, held for one read-change-write.
//
// Opening takes an exclusive lock that lasts until the object dies, so runs
// that change different keys of one file at the same time all land. The
// content is replaced atomically: a new file in the same directory, flushed,
// given the old file's permission bits and owner, renamed over the old name,
// and the directory flushed. A kill at any moment leaves the old file or the
// new one. A file with several hard links, or one whose directory refuses a
// new file, is rewritten in place instead, still under the lock.
#ifndef VARNOK_SCRIPT_FILE_REPLACE_H_
#define VARNOK_SCRIPT_FILE_REPLACE_H_

#include <memory>
#include <string>
#include <string_view>

namespace varnok {

class LockedFile {
 public:
  LockedFile();
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  /// Opens, locks and reads the file at `path`, links followed. False, with
  /// nothing read, unless it is a readable regular file. Never blocks on a
  /// FIFO or a device.
  bool Open(const std::string& path);

  /// The bytes the file held when it was opened.
  const std::string& content() const { return content_; }

  /// Replaces the content by `head`, `middle` and `tail` in that order.
  /// 0 on success; otherwise the errno of the step that failed, with the old
  /// file left as it was and no temporary file left behind.
  int Replace(std::string_view head, std::string_view middle, std::string_view tail);

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::string content_;
};

}  // namespace varnok

#endif  // VARNOK_SCRIPT_FILE_REPLACE_H_
