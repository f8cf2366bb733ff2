// The script search with read-ahead. One thread walks the tree in the
// search's order and decides everything: which directory comes next, which
// were listed before, where the answer is. A few reader threads only list
// directories that the walk will reach soon, so that several listings are
// in flight while the walk waits on one. The readers start only when the
// walk's own listings are slow (a cold disk, a network): from memory a
// listing takes microseconds and threads only add cost. The walk lists a
// directory itself when it was not handed to the readers and waits for a
// reader's listing otherwise; either way the walk alone orders and judges
// the listings, so the answer never depends on how the threads are
// scheduled.
#include <algorithm>
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

#include "script/dir_list.h"
#include "script/find_script.h"

namespace varnok {

namespace {

// The most readers a search starts, whatever it is asked for.
constexpr size_t kMostReaders = 32;

// Readers start once half of the walk's last 16 listings were slow. A
// listing from memory takes a few microseconds, and there readers only
// cost: threads share one descriptor table, which makes every open and
// close dearer, and a hand-off between threads costs more than a listing.
constexpr int kSlowListingsToStart = 8;

// What listing one directory gave.
struct Listing {
  bool listed = false;  // false: the directory could not be listed
  DirectoryScan scan;
  DirectoryIdentity id;
  std::exception_ptr failure;  // an unexpected failure, for the walk to raise
};

Listing List(DirectoryScanner& scanner, const std::string& path) {
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
  // The walk's own: the subdirectories to search, made from the listing.
  std::vector<std::shared_ptr<Node>> children;
  bool expanded = false;
};
using NodePtr = std::shared_ptr<Node>;

class ReadAheadSearch {
 public:
  ReadAheadSearch(const std::string& pattern, const ReadAheadOptions& options)
      : pattern_(pattern),
        readers_wanted_(std::min(options.readers, kMostReaders)),
        window_(std::max<size_t>(options.window, 1)),
        start_after_(options.start_after),
        slow_listing_(std::chrono::microseconds(options.slow_listing_us)),
        scanner_(pattern) {}
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
  void NoteListingTime(std::chrono::steady_clock::duration took);
  int SlowListings() const;
  bool Accept(const Node& node);
  void Expand(Node& node);
  void Schedule();
  bool Visit(const NodePtr& node, size_t* budget);
  void StartReaders();
  void StopReaders();
  void ReaderLoop();

  const std::string pattern_;
  const size_t readers_wanted_;
  const size_t window_;
  const size_t start_after_;
  const std::chrono::steady_clock::duration slow_listing_;
  DirectoryScanner scanner_;  // the walk's own

  std::mutex mutex_;
  std::condition_variable work_ready_;    // readers wait here for the queue
  std::condition_variable listing_done_;  // the walk waits here for a reader
  std::deque<std::weak_ptr<Node>> queue_;  // a node dropped by the walk expires
  size_t busy_readers_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> readers_;

  // The walk's own.
  std::vector<Frame> stack_;
  std::set<DirectoryIdentity> listed_;
  size_t obtained_ = 0;
  uint16_t recent_slow_ = 0;  // one bit for each of the walk's last listings, 1 if slow
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

// Makes `node` listed: by the walk itself when it is not queued for the
// readers, else by waiting for them. Queues the directories ahead meanwhile.
void ReadAheadSearch::Obtain(Node& node) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A queued directory is left to the readers while they run: taking it
  // would keep the walk at the head of the queue, listing nearly everything
  // itself, with the readers never ahead of it.
  const bool mine = node.stage == Node::Stage::kWaiting ||
                    (node.stage == Node::Stage::kQueued && readers_.empty());
  if (mine) node.stage = Node::Stage::kListing;
  ++obtained_;
  Schedule();
  if (mine) {
    lock.unlock();
    const auto started = std::chrono::steady_clock::now();
    Listing listing = List(scanner_, node.path);
    NoteListingTime(std::chrono::steady_clock::now() - started);
    lock.lock();
    node.result = std::move(listing);
    node.stage = Node::Stage::kDone;
  } else {
    listing_done_.wait(lock, [&node] { return node.stage == Node::Stage::kDone; });
  }
  if (node.result.failure) std::rethrow_exception(node.result.failure);
}

// Records whether one of the walk's own listings was slow.
void ReadAheadSearch::NoteListingTime(std::chrono::steady_clock::duration took) {
  recent_slow_ = static_cast<uint16_t>(recent_slow_ << 1 | (took >= slow_listing_ ? 1 : 0));
}

// How many of the walk's last 16 listings were slow.
int ReadAheadSearch::SlowListings() const {
  int count = 0;
  for (uint16_t bits = recent_slow_; bits != 0; bits &= static_cast<uint16_t>(bits - 1)) ++count;
  return count;
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
  if (readers_wanted_ == 0 || obtained_ < start_after_) return;
  if (readers_.empty() && SlowListings() < kSlowListingsToStart) return;
  size_t budget = window_;
  bool room = true;
  for (auto frame = stack_.rbegin(); room && frame != stack_.rend(); ++frame) {
    const std::vector<NodePtr>& children = frame->node->children;
    for (size_t i = frame->next; room && i < children.size(); ++i) {
      room = Visit(children[i], &budget);
    }
  }
  if (readers_.empty() && !queue_.empty()) StartReaders();
}

// Queues `node` if it waits, or looks below it if it is listed and will be
// searched; false when the window or the readers are full.
bool ReadAheadSearch::Visit(const NodePtr& node, size_t* budget) {
  if (*budget == 0 || queue_.size() + busy_readers_ >= 2 * readers_wanted_) return false;
  --*budget;
  if (node->stage == Node::Stage::kWaiting) {
    node->stage = Node::Stage::kQueued;
    queue_.push_back(node);
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
    while (readers_.size() < readers_wanted_) readers_.emplace_back([this] { ReaderLoop(); });
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
    work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    NodePtr node = queue_.front().lock();
    queue_.pop_front();
    if (node == nullptr || node->stage != Node::Stage::kQueued) continue;  // dropped or taken
    node->stage = Node::Stage::kListing;
    ++busy_readers_;
    lock.unlock();
    Listing listing = List(scanner, node->path);
    lock.lock();
    node->result = std::move(listing);
    node->stage = Node::Stage::kDone;
    --busy_readers_;
    listing_done_.notify_one();
  }
}

}  // namespace

std::string FindScriptWithReadAhead(const std::string& Dir, const std::string& Name,
                                    const ReadAheadOptions& options) {
  if (!IsPlainEntryName(Name)) return "";
  ReadAheadSearch search(Name, options);
  return search.Walk(Dir);
}

}  // namespace varnok
