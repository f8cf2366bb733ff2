// The script search with read-ahead. One thread walks the tree in the
// search's order and decides everything: which directory comes next, which
// were listed before, where the answer is. A few reader threads only list
// directories that the walk will reach soon, so that several listings are
// in flight while the walk waits on one, or, where listings come from
// memory, so that other cores list too. Whether they work at all is judged
// from the walk's own progress with them and without (PaceJudge); how they
// share the work (the pace) is chosen from how fast the walk's own listings
// come. The walk lists a directory itself or waits for the reader that took
// it; either way the walk alone orders and judges the listings, so the
// answer never depends on how the threads are scheduled.
//
// The search begins as the walk one directory at a time (SequentialWalk) and
// goes on that way while readers cannot pay: its first directories, and
// throughout where the process has one core and listings come from memory.
// Looking ahead costs bookkeeping of its own (a node, a path and a mutex a
// directory), which such a walk then never pays. The readers' side is in
// read_ahead_readers.cc.
#include "search/read_ahead_search.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "search/dir_list.h"
#include "search/find_script.h"
#include "search/usable_cores.h"

namespace varnok {

std::string ReadAheadSearch::Walk(const std::string& root) {
  std::string found;
  if (!WalkAlone(root, &found)) return found;
  NodePtr node;
  while ((node = NextNode()) != nullptr) {
    Obtain(*node);
    if (!Accept(*node)) continue;  // cannot be listed, or listed before: nothing in it
    const std::string& match = node->result.scan.match;
    if (!match.empty()) return node->path + kPathSeparator + match;
    Expand(*node);
    stack_.push_back({std::move(node), 0});
  }
  return "";
}

// Walks one directory at a time, with nothing to look ahead or hand over,
// while readers cannot pay; true once they may, the rest of the tree then
// taken over for the walk with readers. Else the walk's answer is in
// `found` (empty for none).
bool ReadAheadSearch::WalkAlone(const std::string& root, std::string* found) {
  SequentialWalk alone(pattern_);
  if (!alone.Start(root)) return false;
  do {
    if (alone.Found()) {
      *found = alone.FoundPath();
      return false;
    }
    if (ReadersMayPay()) {
      TakeLevelsFrom(alone);
      return true;
    }
  } while (alone.Advance());
  return false;
}

// Whether readers may pay from here on: after the first directories, where
// the process may use another core, or where the walk's listings are slow
// (readers then overlap their waits on the device even on one core). Called
// once a directory, after its listing.
bool ReadAheadSearch::ReadersMayPay() {
  if (readers_wanted_ == 0) return false;
  const PaceJudge::Clock::time_point now = PaceJudge::Clock::now();
  if (listed_alone_ > 0) listing_times_.Note(now - last_taken_);
  last_taken_ = now;
  if (++listed_alone_ < std::max<size_t>(start_after_, 1)) return false;
  if (!judge_pace_ || listing_times_.Slow()) return true;
  if (cores_ == 0) cores_ = UsableCores();
  return cores_ > 1;
}

// Takes over the levels the walk alone has left, as directories listed and
// expanded, and the directories it listed.
void ReadAheadSearch::TakeLevelsFrom(SequentialWalk& alone) {
  for (SequentialWalk::Level& level : alone.Hand(&listed_)) {
    NodePtr node = std::make_shared<Node>(std::move(level.path));
    node->stage = Node::Stage::kDone;
    node->expanded = true;
    std::string path = node->path + kPathSeparator;
    const size_t parent_size = path.size();
    for (size_t i = level.next; i < level.names.size(); ++i) {
      if (level.names[i][0] == '.') continue;  // dot directories are not searched
      path.resize(parent_size);
      node->children.push_back(std::make_shared<Node>(path.append(level.names[i])));
    }
    if (!node->children.empty()) stack_.push_back({std::move(node), 0});
  }
}

// The next directory in the walk's order. The walk takes it out of its
// parent, and drops the parent with its last child, so the stack holds only
// levels with directories still to search (a deep chain costs nothing to
// look ahead through) and a finished subtree is freed as the walk leaves it.
NodePtr ReadAheadSearch::NextNode() {
  while (!stack_.empty()) {
    Frame& top = stack_.back();
    std::vector<NodePtr>& children = top.node->children;
    if (top.next == children.size()) {
      stack_.pop_back();  // a level without subdirectories
      continue;
    }
    NodePtr next = std::move(children[top.next++]);
    if (top.next == children.size()) stack_.pop_back();
    return next;
  }
  return nullptr;
}

// Makes `node` listed: by the walk itself when no reader has it (or, at a
// slow pace, is queued for one), else by waiting for the reader (from
// memory only briefly, then the walk lists it too). Starts or stops the
// readers as the judge finds, and queues the directories ahead meanwhile.
void ReadAheadSearch::Obtain(Node& node) {
  const bool want_readers = WantReaders();  // first: it times the directory before
  std::unique_lock<std::mutex> lock(mutex_);
  if (want_readers != readers_working_) SetReaders(want_readers);
  // At a slow pace a queued directory is left to the readers: taking it
  // would keep the walk at the head of the queue, listing nearly everything
  // itself with one read in flight, the readers never ahead of it.
  const bool mine = node.stage == Node::Stage::kWaiting ||
                    (node.stage == Node::Stage::kQueued &&
                     (pace_.walk_takes_queued || readers_.empty()));
  if (mine) node.stage = Node::Stage::kListing;
  walk_listed_last_ = mine;
  if (readers_working_ && queue_.size() + busy_readers_ < pace_.refill_below) Schedule();
  if (mine) {
    lock.unlock();
    Listing listing = List(scanner_, node.path);
    lock.lock();
    node.result = std::move(listing);
    node.stage = Node::Stage::kDone;
  } else if (pace_.spin) {
    lock.unlock();
    if (SpinUntil([&node] { return node.done.load(std::memory_order_acquire); }, kListAfter)) {
      lock.lock();
    } else {
      TakeOver(node, lock);
    }
  } else {
    listing_done_.wait(lock, [&node] { return node.stage == Node::Stage::kDone; });
  }
  if (node.result.failure) std::rethrow_exception(node.result.failure);
}

// Lists `node` in place of the reader that has it and is not done: from
// memory a listing takes microseconds, so that reader is not running (the
// machine is busy), and the walk would wait for it for as long as it is
// kept from running. Whichever listing is done first is kept. Takes `lock`.
void ReadAheadSearch::TakeOver(Node& node, std::unique_lock<std::mutex>& lock) {
  Listing listing = List(scanner_, node.path);
  lock.lock();
  if (node.stage == Node::Stage::kDone) return;
  node.result = std::move(listing);
  node.stage = Node::Stage::kDone;
  node.done.store(true, std::memory_order_release);
}

// Whether readers are to work while the walk takes its next directory: as
// the judge finds, or throughout where the pace is not judged. The time since the
// walk took the directory before is that directory's listing, where the walk
// listed it itself (with the walk's short work on it).
bool ReadAheadSearch::WantReaders() {
  const PaceJudge::Clock::time_point now = PaceJudge::Clock::now();
  if (walk_listed_last_) listing_times_.Note(now - last_taken_);
  last_taken_ = now;
  if (!judge_pace_) return true;
  return judge_.Next(now, walk_listed_last_, listing_times_.Slow());
}

// Whether the walk searches `node`: it was listed, and not listed before.
bool ReadAheadSearch::Accept(const Node& node) {
  const DirectoryIdentity& id = node.result.id;
  return node.result.listed && (!id.known || listed_.insert(id).second);
}

void ReadAheadSearch::Expand(Node& node) {
  if (node.expanded) return;
  node.expanded = true;
  std::vector<std::string>& subdirs = node.result.scan.subdirs;
  node.children.reserve(subdirs.size());
  std::string path = node.path + kPathSeparator;
  const size_t parent_size = path.size();
  for (const std::string& name : subdirs) {
    if (name[0] == '.') continue;  // dot directories are not searched
    path.resize(parent_size);
    node.children.push_back(std::make_shared<Node>(path.append(name)));
  }
  std::vector<std::string>().swap(subdirs);
}

std::string FindScriptWithReadAhead(const std::string& Dir, const std::string& Name,
                                    const ReadAheadOptions& options) {
  if (!IsPlainEntryName(Name)) return "";
  ReadAheadSearch search(Name, options);
  return search.Walk(Dir);
}

}  // namespace varnok
