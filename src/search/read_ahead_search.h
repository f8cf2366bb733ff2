// The read-ahead search's state: the walk's, the readers' and what they
// share. Internal to the read-ahead search (read_ahead.cc).
#ifndef VARNOK_SEARCH_READ_AHEAD_SEARCH_H_
#define VARNOK_SEARCH_READ_AHEAD_SEARCH_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "search/dir_list.h"
#include "search/find_script.h"
#include "search/read_ahead_judge.h"
#include "search/read_ahead_node.h"
#include "search/read_ahead_pace.h"
#include "search/sequential_walk.h"

namespace varnok {

// The most readers a search starts, whatever it is asked for.
constexpr size_t kMostReaders = 32;

class ReadAheadSearch {
 public:
  ReadAheadSearch(const std::string& pattern, const ReadAheadOptions& options)
      : pattern_(pattern),
        readers_wanted_(std::min(options.readers, kMostReaders)),
        window_(std::max<size_t>(options.window, 1)),
        start_after_(options.start_after),
        judge_pace_(options.judge_pace),
        scanner_(pattern),
        judge_(0, options.trial_directories,
               std::chrono::microseconds(std::max(options.trial_us, 0L)), window_),
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

  bool WalkAlone(const std::string& root, std::string* found);
  bool ReadersMayPay();
  void TakeLevelsFrom(SequentialWalk& alone);
  NodePtr NextNode();
  void Obtain(Node& node);
  void TakeOver(Node& node, std::unique_lock<std::mutex>& lock);
  bool WantReaders();
  void SetReaders(bool working);
  bool ChoosePace();
  bool Accept(const Node& node);
  void Expand(Node& node);
  void Schedule();
  bool Visit(const NodePtr& node, size_t* budget);
  void StartReaders();
  void StopReaders();
  void ReaderLoop(size_t index);
  bool Working(size_t index) const { return readers_working_ && index < pace_.readers; }
  NodePtr TakeQueued();
  void SetQueueCount() { queued_.store(queue_.size(), std::memory_order_relaxed); }

  const std::string pattern_;
  const size_t readers_wanted_;
  const size_t window_;
  const size_t start_after_;
  const bool judge_pace_;
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
  bool readers_working_ = false;  // readers take work; else the walk goes alone
  size_t cores_ = 0;              // the cores the process may use, once needed
  std::vector<std::thread> readers_;

  // The walk's own.
  std::vector<Frame> stack_;
  std::set<DirectoryIdentity> listed_;
  size_t listed_alone_ = 0;  // directories the walk listed before readers could pay
  PaceJudge judge_;
  bool walk_listed_last_ = false;  // the walk listed the last directory itself
  PaceJudge::Clock::time_point last_taken_;  // when the walk took it
  ListingTimes listing_times_;               // of the walk's own listings
};

}  // namespace varnok

#endif  // VARNOK_SEARCH_READ_AHEAD_SEARCH_H_
