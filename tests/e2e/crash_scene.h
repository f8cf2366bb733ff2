// One case of the crash-point matrix: a fresh script tree with known owner,
// mode bits, ACL and links, and the judgement of what a run left in it.
#ifndef VARNOK_TESTS_E2E_CRASH_SCENE_H_
#define VARNOK_TESTS_E2E_CRASH_SCENE_H_

#include <sys/stat.h>

#include <string>
#include <vector>

#include "crash_matrix.h"
#include "harness.h"

namespace e2e {

/// How a run under injection ended.
enum class Ending { kSuccess, kReported, kKilled, kUnexpected };

/// Ending of `result`: status 0 and silence is success; the failure report
/// (status 1) or a usage screen (status 0) is a reported failure.
Ending EndingOf(const RunResult& result);

class CrashScene {
 public:
  /// Under `root` (readable by everyone), for `path`, a script of about
  /// `size` bytes whose value grows or shrinks.
  CrashScene(const std::string& root, const CrashPath& path, size_t size, bool grow);

  /// Builds the tree afresh: the old script, its owner, mode, ACL and link.
  /// Returns false (with a failure recorded) when the system refuses.
  bool Prepare();

  /// The arguments that change the key, and those of the follow-up run,
  /// which sets a key that does not exist and so only opens the file.
  std::vector<std::string> ChangeArguments() const;
  std::vector<std::string> FollowUpArguments() const;

  /// Every bad outcome the tree shows after a run that ended as `ending`
  /// and the follow-up run `follow_up`: "kind: detail", none when all holds.
  std::vector<std::string> Judge(Ending ending, const RunResult& follow_up) const;

  const std::string& project() const { return project_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string ContentProblem(Ending ending, const std::string& now) const;
  std::string IdentityProblem() const;
  std::vector<std::string> JournalsElsewhere() const;

  const CrashPath& path_;
  std::string case_root_, project_, dir_, script_, link_;
  std::string old_, new_, value_;
  bool acl_supported_ = true;
  struct stat expected_ = {};
  std::string expected_acl_;
};

}  // namespace e2e

#endif  // VARNOK_TESTS_E2E_CRASH_SCENE_H_
