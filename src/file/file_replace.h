// The script file, held for one read-change-write.
//
// Opening takes an exclusive lock that lasts until the object dies, so runs
// that change different keys of one file at the same time all land. The
// content is replaced atomically: a new file in the same directory, flushed,
// given everything the old file had (owner, group, mode bits, extended
// attributes), put under the old name only while that still names the file
// that was read, and the directory flushed. A kill at any moment leaves the
// old file or the new one. A file with several hard links, one whose
// directory refuses a new file, or one whose owner or attributes a new file
// cannot get, is rewritten in place instead, still under the lock, with the
// bytes it changes saved first in a journal that the next open puts back if
// the rewrite was stopped.
#ifndef VARNOK_FILE_FILE_REPLACE_H_
#define VARNOK_FILE_FILE_REPLACE_H_

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

  /// Opens, locks and reads the file at `path`, links followed where the
  /// system would follow them. False, with nothing read, unless it is a
  /// readable regular file. Never blocks on a FIFO or a device. Opens again
  /// as long as other writers keep replacing the file. A rewrite in place
  /// that a killed run left unfinished is undone first. Raises
  /// EIniFileException "Unable to write to <path>" when the turn cannot be
  /// had for minutes, or an unfinished rewrite cannot be undone.
  bool Open(const std::string& path);

  /// The bytes the file held when it was opened.
  const std::string& content() const { return content_; }

  /// Replaces the content by `head`, `middle` and `tail` in that order.
  /// 0 on success; otherwise the errno of the step that failed, with the old
  /// file left as it was and no temporary file left behind.
  /// When another file had taken the name meanwhile, nothing is written,
  /// the answer is 0 and must_reopen() is true: the caller opens again and
  /// computes the change from the content found then.
  int Replace(std::string_view head, std::string_view middle, std::string_view tail);

  bool must_reopen() const { return must_reopen_; }

  /// What a failure of Open or Replace adds to its report, such as a journal
  /// that cannot be applied; empty when the failure needs no more words.
  const std::string& problem() const { return problem_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::string content_;
  std::string problem_;
  bool must_reopen_ = false;
};

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_REPLACE_H_
