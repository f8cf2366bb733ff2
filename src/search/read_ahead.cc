// The script search with read-ahead. One thread walks the tree in the
// search's order and decides everything: which directory comes next, which
// were listed before, where the answer is. A few reader threads only list
// directories that the walk will reach soon, so that several listings are
// in flight while the walk waits on one, or, where listings come from
// memory, so that other cores list too. How they share the work (the pace)
// is chosen from how fast the walk's own listings come. The walk lists a
// directory itself or waits for the reader that took it; either way the
// walk alone orders and judges the listings, so the answer never depends on
// how the threads are scheduled.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "search/dir_list.h"
#include "search/find_script.h"
#include "search/read_ahead_node.h"
#include "search/read_ahead_pace.h"

namespace varnok {

namespace {

// The most readers a search starts, whatever it is asked for.
constexpr size_t kMostReaders = 32;

class ReadAheadSearch {
 public:
  ReadAheadSearch(const std::string& pattern, const ReadAheadOptions& options)
      : pattern_(pattern),
        readers_wanted_(std::min(options.readers, kMostReaders)),
        window_(std::max<size_t>(options.window, 1)),
        start_after_(options.start_after),
        scanner_(pattern),
        listing_times_(options.slow_listing_us) {}
  ~ReadAheadSearch() { StopReaders(); }
  ReadAheadSearch(const ReadAheadSearch&) = delete;
  ReadAheadSearch& operator=(const ReadAheadSearch&) = delete;

  std::string Walk(const std::string& root);

 private:
  struct Frame {
    NodePtr node;
    size_t next = 0;  // the first child not yet taken by the walk
  };

  NodePtr NextNode();
  void Obtain(Node& node);
  bool ChoosePace();
  bool Accept(const Node& node);
  void Expand(Node& node);
  void Schedule();
  bool Visit(const NodePtr& node, size_t* budget);
  void StartReaders();
  void StopReaders();
  void ReaderLoop();
  NodePtr TakeQueued();
  void SetQueueCount() { queued_.store(queue_.size(), std::memory_order_relaxed); }

  const std::string pattern_;
  const size_t readers_wanted_;
  const size_t window_;
  const size_t start_after_;
  DirectoryScanner scanner_;  // the walk's own

  std::mutex mutex_;
  std::condition_variable work_ready_;    // readers wait here for the queue
  std::condition_variable listing_done_;  // the walk waits here for a reader
  std::deque<std::weak_ptr<Node>> queue_;  // a node dropped by the walk expires
  std::atomic<size_t> queued_{0};          // the queue's length, for readers that spin
  size_t busy_readers_ = 0;
  std::atomic<bool> stopping_{false};
  Pace pace_;  // none until chosen
  bool pace_chosen_ = false;
  std::vector<std::thread> readers_;

  // The walk's own.
  std::vector<Frame> stack_;
  std::set<DirectoryIdentity> listed_;
  size_t obtained_ = 0;
  ListingTimes listing_times_;  // of the walk's own listings
};

std::string ReadAheadSearch::Walk(const std::string& root) {
  NodePtr node = std::make_shared<Node>(root);
  do {
    Obtain(*node);
    if (!Accept(*node)) continue;  // cannot be listed, or listed before: nothing in it
    const std::string& match = node->result.scan.match;
    if (!match.empty()) return node->path + kPathSeparator + match;
    Expand(*node);
    stack_.push_back({std::move(node), 0});
  } while ((node = NextNode()) != nullptr);
  return "";
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
// slow pace, is queued for one), else by waiting for the reader. Queues the
// directories ahead meanwhile.
void ReadAheadSearch::Obtain(Node& node) {
  std::unique_lock<std::mutex> lock(mutex_);
  // At a slow pace a queued directory is left to the readers: taking it
  // would keep the walk at the head of the queue, listing nearly everything
  // itself with one read in flight, the readers never ahead of it.
  const bool mine = node.stage == Node::Stage::kWaiting ||
                    (node.stage == Node::Stage::kQueued &&
                     (pace_.walk_takes_queued || readers_.empty()));
  if (mine) node.stage = Node::Stage::kListing;
  ++obtained_;
  if (queue_.size() + busy_readers_ < pace_.refill_below) Schedule();
  if (mine) {
    lock.unlock();
    const auto started = std::chrono::steady_clock::now();
    Listing listing = List(scanner_, node.path);
    listing_times_.Note(std::chrono::steady_clock::now() - started);
    lock.lock();
    node.result = std::move(listing);
    node.stage = Node::Stage::kDone;
  } else {
    if (pace_.spin) {
      lock.unlock();
      SpinUntil([&node] { return node.done.load(std::memory_order_acquire); });
      lock.lock();
    }
    listing_done_.wait(lock, [&node] { return node.stage == Node::Stage::kDone; });
  }
  if (node.result.failure) std::rethrow_exception(node.result.failure);
}

// Sets the pace once the walk has listed enough to judge, and slows it
// when listings turn slow; whether readers are to run. Holds the mutex.
bool ReadAheadSearch::ChoosePace() {
  if (readers_wanted_ == 0 || obtained_ < start_after_) return false;
  const bool slow = listing_times_.Slow();
  if (!pace_chosen_ || (slow && pace_.spin)) {
    pace_ = slow ? SlowPace(readers_wanted_) : FastPace(readers_wanted_, window_);
    pace_chosen_ = true;
    work_ready_.notify_all();  // spinning readers learn to sleep
  }
  return pace_.readers > 0;
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
  for (const std::string& name : subdirs) {
    if (name[0] == '.') continue;  // dot directories are not searched
    node.children.push_back(std::make_shared<Node>(node.path + kPathSeparator + name));
  }
  std::vector<std::string>().swap(subdirs);
}

// Queues the directories the walk reaches next, in its order, up to the
// window; looks into the listings already made ahead. Holds the mutex.
void ReadAheadSearch::Schedule() {
  if (!ChoosePace()) return;
  size_t budget = window_;
  bool room = true;
  for (auto frame = stack_.rbegin(); room && frame != stack_.rend(); ++frame) {
    const std::vector<NodePtr>& children = frame->node->children;
    for (size_t i = frame->next; room && i < children.size(); ++i) {
      room = Visit(children[i], &budget);
    }
  }
  if (readers_.size() < pace_.readers && !queue_.empty()) StartReaders();
}

// Queues `node` if it waits, or looks below it if it is listed and will be
// searched; false when the window or the readers are full.
bool ReadAheadSearch::Visit(const NodePtr& node, size_t* budget) {
  if (*budget == 0 || queue_.size() + busy_readers_ >= pace_.most_in_flight) return false;
  --*budget;
  if (node->stage == Node::Stage::kWaiting) {
    node->stage = Node::Stage::kQueued;
    queue_.push_back(node);
    SetQueueCount();
    work_ready_.notify_one();
    return true;
  }
  const DirectoryIdentity& id = node->result.id;
  if (!node->Searchable() || (id.known && listed_.count(id) != 0)) {
    return true;  // in a reader's hands, or nothing the walk will search below it
  }
  Expand(*node);
  for (const NodePtr& child : node->children) {
    if (!Visit(child, budget)) return false;
  }
  return true;
}

// Starts the readers; a thread the system refuses leaves fewer of them (the
// walk lists whatever no reader takes). Holds the mutex.
void ReadAheadSearch::StartReaders() {
  try {
    while (readers_.size() < pace_.readers) readers_.emplace_back([this] { ReaderLoop(); });
  } catch (const std::system_error&) {
  }
}

void ReadAheadSearch::StopReaders() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& reader : readers_) reader.join();
}

void ReadAheadSearch::ReaderLoop() {
  DirectoryScanner scanner(pattern_);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (pace_.spin && queue_.empty() && !stopping_) {
      lock.unlock();
      SpinUntil([this] { return queued_.load(std::memory_order_relaxed) != 0 || stopping_; });
      lock.lock();
    }
    work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    NodePtr node = TakeQueued();
    if (node == nullptr || node->stage != Node::Stage::kQueued) continue;  // dropped or taken
    node->stage = Node::Stage::kListing;
    ++busy_readers_;
    lock.unlock();
    Listing listing = List(scanner, node->path);
    lock.lock();
    node->result = std::move(listing);
    node->stage = Node::Stage::kDone;
    node->done.store(true, std::memory_order_release);
    --busy_readers_;
    listing_done_.notify_one();
  }
}

// Takes a directory off the queue, from the end the pace says. Holds the
// mutex; the queue is not empty.
NodePtr ReadAheadSearch::TakeQueued() {
  NodePtr node;
  if (pace_.readers_take_last) {
    node = queue_.back().lock();
    queue_.pop_back();
  } else {
    node = queue_.front().lock();
    queue_.pop_front();
  }
  SetQueueCount();
  return node;
}

}  // namespace

std::string FindScriptWithReadAhead(const std::string& Dir, const std::string& Name,
                                    const ReadAheadOptions& options) {
  if (!IsPlainEntryName(Name)) return "";
  ReadAheadSearch search(Name, options);
  return search.Walk(Dir);
}

}  // namespace varnok
