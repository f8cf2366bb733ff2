// The walk one directory at a time: a cursor and, for each of its levels,
// the subdirectories still to search there. Internal to the search.
#ifndef VARNOK_SEARCH_SEQUENTIAL_WALK_H_
#define VARNOK_SEARCH_SEQUENTIAL_WALK_H_

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "search/dir_list.h"

namespace varnok {

class SequentialWalk {
 public:
  /// The subdirectories of one level still to search: `names` from `next` on.
  struct Level {
    std::string path;
    std::vector<std::string> names;
    size_t next = 0;
  };

  explicit SequentialWalk(const std::string& pattern) : cursor_(pattern) {}

  /// Lists `root`; false when it cannot be listed.
  bool Start(const std::string& root);
  /// Whether the directory listed last holds the entry searched for.
  bool Found() const { return !scan_.match.empty(); }
  /// The path of that entry; only after Found().
  std::string FoundPath() const { return cursor_.path() + kPathSeparator + scan_.match; }
  /// Lists the next directory to search, below the one listed last
  /// (which holds no match) or after it; false when the tree is done.
  bool Advance();
  /// Stops the walk after the directory listed last (which holds no match)
  /// and hands over what is left: the levels still to search, outermost
  /// first, and the directories listed so far.
  std::vector<Level> Hand(std::set<DirectoryIdentity>* listed);

 private:
  DirectoryCursor cursor_;
  DirectoryScan scan_;
  std::string root_;
  std::vector<Level> pending_;  // paths are filled in by Hand alone
};

}  // namespace varnok

#endif  // VARNOK_SEARCH_SEQUENTIAL_WALK_H_
