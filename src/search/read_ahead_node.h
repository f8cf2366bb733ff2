// One directory of the read-ahead search and what listing it gave. Internal
// to the read-ahead search.
#ifndef VARNOK_SEARCH_READ_AHEAD_NODE_H_
#define VARNOK_SEARCH_READ_AHEAD_NODE_H_

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "search/dir_list.h"

namespace varnok {

// What listing one directory gave.
struct Listing {
  bool listed = false;  // false: the directory could not be listed
  DirectoryScan scan;
  DirectoryIdentity id;
  std::exception_ptr failure;  // an unexpected failure, for the walk to raise
};

// Lists `path` with `scanner`; an unexpected failure is kept, not thrown.
inline Listing List(DirectoryScanner& scanner, const std::string& path) {
  Listing listing;
  try {
    listing.listed = scanner.Scan(path, &listing.scan, &listing.id);
  } catch (...) {
    listing.failure = std::current_exception();
  }
  return listing;
}

// One directory of the walk, listed by whichever thread gets to it first.
struct Node {
  enum class Stage { kWaiting, kQueued, kListing, kDone };

  explicit Node(std::string where) : path(std::move(where)) {}

  // Whether the walk will search below this node, as far as is known now.
  bool Searchable() const {
    return stage == Stage::kDone && result.listed && !result.failure && result.scan.match.empty();
  }

  const std::string path;
  Stage stage = Stage::kWaiting;  // changed under the search's mutex
  Listing result;                 // written under the mutex, then kDone
  std::atomic<bool> done{false};  // kDone, for a walk that spins on it
  // The walk's own: the subdirectories to search, made from the listing.
  std::vector<std::shared_ptr<Node>> children;
  bool expanded = false;
};
using NodePtr = std::shared_ptr<Node>;

}  // namespace varnok

#endif  // VARNOK_SEARCH_READ_AHEAD_NODE_H_
