// The read-ahead search's readers: what the walk queues for them, how many
// run and at what pace, and their loop. Internal to the read-ahead search
// (read_ahead.cc has the walk).
#include "search/read_ahead_search.h"

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "search/usable_cores.h"

namespace varnok {

// Sets the readers to work or to rest. Resting, they get no more work: the
// directories queued for them go back to waiting, for the walk to list.
// Holds the mutex.
void ReadAheadSearch::SetReaders(bool working) {
  readers_working_ = working;
  pace_chosen_ = false;  // chosen anew from the listings of the stretch before
  if (!working) {
    for (const std::weak_ptr<Node>& queued : queue_) {
      const NodePtr node = queued.lock();
      if (node != nullptr && node->stage == Node::Stage::kQueued) node->stage = Node::Stage::kWaiting;
    }
    queue_.clear();
    SetQueueCount();
  }
  work_ready_.notify_all();
}

// Sets the pace from how fast the walk's own listings came, and slows it
// when listings turn slow; whether readers are to run. Holds the mutex.
bool ReadAheadSearch::ChoosePace() {
  const bool slow = listing_times_.Slow();
  if (!pace_chosen_ || (slow && pace_.spin)) {
    if (!slow && cores_ == 0) cores_ = UsableCores();
    pace_ = slow ? SlowPace(readers_wanted_) : FastPace(readers_wanted_, window_, cores_);
    pace_chosen_ = true;
    work_ready_.notify_all();  // spinning readers learn to sleep, readers beyond the pace rest
  }
  return pace_.readers > 0;
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
    while (readers_.size() < pace_.readers) {
      readers_.emplace_back([this, index = readers_.size()] { ReaderLoop(index); });
    }
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

// Reader number `index` lists what the walk queues while the readers work
// and the pace has that many.
void ReadAheadSearch::ReaderLoop(size_t index) {
  DirectoryScanner scanner(pattern_);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (pace_.spin && Working(index) && queue_.empty() && !stopping_) {
      lock.unlock();
      SpinUntil([this] { return queued_.load(std::memory_order_relaxed) != 0 || stopping_; });
      lock.lock();
    }
    work_ready_.wait(lock, [this, index] { return stopping_ || (Working(index) && !queue_.empty()); });
    if (stopping_) return;
    NodePtr node = TakeQueued();
    if (node == nullptr || node->stage != Node::Stage::kQueued) continue;  // dropped or taken
    node->stage = Node::Stage::kListing;
    ++busy_readers_;
    lock.unlock();
    Listing listing = List(scanner, node->path);
    lock.lock();
    if (node->stage != Node::Stage::kDone) {  // else the walk listed it meanwhile
      node->result = std::move(listing);
      node->stage = Node::Stage::kDone;
      node->done.store(true, std::memory_order_release);
    }
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

}  // namespace varnok
