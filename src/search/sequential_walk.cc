#include "search/sequential_walk.h"

#include <utility>

namespace varnok {

bool SequentialWalk::Start(const std::string& root) {
  root_ = root;
  pending_.clear();
  return cursor_.OpenRoot(root, &scan_);
}

// Leaves finished levels behind until a subdirectory opens; the cursor
// stands on the level that pending_.back() lists.
bool SequentialWalk::Advance() {
  pending_.push_back({std::string(), std::move(scan_.subdirs), 0});
  while (!pending_.empty()) {
    Level& level = pending_.back();
    if (level.next == level.names.size()) {
      pending_.pop_back();
      if (!pending_.empty()) cursor_.ReturnToParent();
      continue;
    }
    const std::string& name = level.names[level.next++];
    if (name[0] != '.' && cursor_.OpenChild(name, &scan_)) return true;
  }
  return false;
}

// Each level below the root is the subdirectory its parent level took last.
std::vector<SequentialWalk::Level> SequentialWalk::Hand(std::set<DirectoryIdentity>* listed) {
  pending_.push_back({std::string(), std::move(scan_.subdirs), 0});
  std::vector<Level> levels = std::move(pending_);
  pending_.clear();
  for (size_t i = 0; i < levels.size(); ++i) {
    levels[i].path = i == 0 ? root_
                            : levels[i - 1].path + kPathSeparator +
                                  levels[i - 1].names[levels[i - 1].next - 1];
  }
  *listed = cursor_.TakeListed();
  return levels;
}

}  // namespace varnok
