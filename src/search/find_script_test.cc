// The script search through each way of walking: one directory at a time,
// and with read-ahead from no readers to many. All must give one answer.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "search/find_script.h"

namespace varnok {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// A temporary directory, removed with what it holds.
class Tree {
 public:
  Tree() {
    char name[] = "/tmp/varnok-search-XXXXXX";
    if (mkdtemp(name) != nullptr) root_ = name;
  }
  ~Tree() {
    const int dir = open(root_.c_str(), kDirectoryFlags);
    if (dir >= 0) RemoveContents(dir);
    rmdir(root_.c_str());
  }
  const std::string& root() const { return root_; }
  std::string At(const std::string& relative) const { return root_ + "/" + relative; }

  // Creates `relative`, and the directories it lies in, one step at a time:
  // a directory when it ends in "/", else an empty file. False when the file
  // exists already or cannot be made.
  bool Make(const std::string& relative) {
    int dir = open(root_.c_str(), kDirectoryFlags);
    size_t start = 0;
    for (size_t slash; dir >= 0 && (slash = relative.find('/', start)) != std::string::npos;
         start = slash + 1) {
      const std::string part = relative.substr(start, slash - start);
      mkdirat(dir, part.c_str(), 0755);
      const int next = openat(dir, part.c_str(), kDirectoryFlags);
      close(dir);
      dir = next;
    }
    if (dir < 0) return false;
    bool made = true;
    if (start < relative.size()) {
      const int file =
          openat(dir, relative.c_str() + start, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      made = file >= 0;
      if (made) close(file);
    }
    close(dir);
    return made;
  }
  bool Link(const std::string& relative, const std::string& target) {
    return symlink(target.c_str(), At(relative).c_str()) == 0;
  }

  // Empties the directory open on `dir`, which this closes, one step at a
  // time (the paths may be longer than the system takes); links not followed.
  static void RemoveContents(int dir) {
    DIR* listing = fdopendir(dir);
    if (listing == nullptr) {
      close(dir);
      return;
    }
    while (const dirent* entry = readdir(listing)) {
      const char* name = entry->d_name;
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      if (unlinkat(dirfd(listing), name, 0) == 0) continue;
      const int sub = openat(dirfd(listing), name, kDirectoryFlags | O_NOFOLLOW);
      if (sub >= 0) RemoveContents(sub);
      unlinkat(dirfd(listing), name, AT_REMOVEDIR);
    }
    closedir(listing);
  }

 private:
  std::string root_;
};

using SearchFunction = std::function<std::string(const std::string&, const std::string&)>;

struct Walk {
  const char* name;
  SearchFunction search;
};

void PrintTo(const Walk& walk, std::ostream* out) { *out << walk.name; }

// Listing times that make every listing slow (the slow pace: up to
// `readers` threads even on a fast disk), none slow (the pace for listings
// from memory: spinning readers on the other cores, where the walk lists a
// directory itself rather than wait long for one), or some of them, so
// that the pace may change during a search.
constexpr long kEverySlow = 0;
constexpr long kNoneSlow = 1000L * 1000 * 1000;
constexpr long kSomeSlow = 8;

// Readers from the first directory on: working throughout, or judged over
// stretches of a single directory, so that they stop and start again every
// few directories.
ReadAheadOptions Readers(size_t readers, size_t window, long slow_us, bool judged) {
  ReadAheadOptions options;
  options.readers = readers;
  options.window = window;
  options.start_after = 0;
  options.slow_listing_us = slow_us;
  options.judge_pace = judged;
  options.trial_directories = 1;
  options.trial_us = 0;
  return options;
}

// Readers from the `after`-th directory on: the walk one directory at a time
// hands the rest of the tree over midway, with levels still to search.
ReadAheadOptions ReadersAfter(size_t after, long slow_us) {
  ReadAheadOptions options = Readers(8, 16, slow_us, false);
  options.start_after = after;
  return options;
}

SearchFunction WithReadAhead(const ReadAheadOptions& options) {
  return [=](const std::string& dir, const std::string& name) {
    return FindScriptWithReadAhead(dir, name, options);
  };
}

const Walk kWalks[] = {
    {"Sequential", FindScriptSequential},
    {"ReadAheadWithoutReaders", WithReadAhead(Readers(0, 64, kEverySlow, false))},
    {"ReadAheadAsShipped", FindScript},
    {"ReadAheadEagerNarrow", WithReadAhead(Readers(8, 2, kEverySlow, false))},
    {"ReadAheadEagerWide", WithReadAhead(Readers(3, 1000, kEverySlow, false))},
    {"ReadAheadFromMemoryNarrow", WithReadAhead(Readers(8, 4, kNoneSlow, false))},
    {"ReadAheadFromMemoryWide", WithReadAhead(Readers(8, 1000, kNoneSlow, false))},
    {"ReadAheadJudgedEager", WithReadAhead(Readers(8, 16, kEverySlow, true))},
    {"ReadAheadJudgedFromMemory", WithReadAhead(Readers(8, 64, kNoneSlow, true))},
    {"ReadAheadAfterThree", WithReadAhead(ReadersAfter(3, kEverySlow))},
    {"ReadAheadAfterFive", WithReadAhead(ReadersAfter(5, kNoneSlow))},
};

class SearchBoth : public ::testing::TestWithParam<Walk> {
 protected:
  std::string Find(const std::string& dir, const std::string& name) {
    return GetParam().search(dir, name);
  }
  Tree tree_;
};

INSTANTIATE_TEST_SUITE_P(Walks, SearchBoth, ::testing::ValuesIn(kWalks),
                         [](const ::testing::TestParamInfo<Walk>& walk) {
                           return walk.param.name;
                         });

TEST_P(SearchBoth, DepthFirstPreOrderInListingOrder) {
  for (const char* file : {"c/s.ini", "B/x/s.ini", "a/b/s.ini", "_/s.ini", "a/a/deeper/no.txt"}) {
    ASSERT_TRUE(tree_.Make(file));
  }
  EXPECT_EQ(Find(tree_.root(), "s.ini"), tree_.At("a/b/s.ini"));
  // A deep branch searched first wins over a shallow one searched later,
  // however soon the later one is listed.
  ASSERT_TRUE(tree_.Make("a/a/deeper/1/2/3/4/5/s.ini"));
  EXPECT_EQ(Find(tree_.root(), "S.INI"), tree_.At("a/a/deeper/1/2/3/4/5/s.ini"));
  ASSERT_TRUE(tree_.Make("s.ini"));  // a direct match wins over deeper ones
  EXPECT_EQ(Find(tree_.root(), "s.ini"), tree_.At("s.ini"));
  EXPECT_EQ(Find(tree_.root(), "absent.ini"), "");
  EXPECT_EQ(Find(tree_.At("missing"), "s.ini"), "");
}

TEST_P(SearchBoth, DotDirectoriesSkippedBelowTheProjectOnly) {
  ASSERT_TRUE(tree_.Make(".git/s.ini"));
  ASSERT_TRUE(tree_.Make(".hidden/plain/s.ini"));
  EXPECT_EQ(Find(tree_.root(), "s.ini"), "");
  EXPECT_EQ(Find(tree_.At(".hidden"), "s.ini"), tree_.At(".hidden/plain/s.ini"));
  ASSERT_TRUE(tree_.Make("z/.s.ini"));
  EXPECT_EQ(Find(tree_.root(), ".S.ini"), tree_.At("z/.s.ini"));
}

TEST_P(SearchBoth, ExactNameFirstThenListingOrderAndWildcards) {
  for (const char* file : {"d/SETUP.INI", "d/Setup.ini", "d/setup.ini", "w/test1.ini"}) {
    ASSERT_TRUE(tree_.Make(file));
  }
  EXPECT_EQ(Find(tree_.root(), "setup.ini"), tree_.At("d/setup.ini"));
  EXPECT_EQ(Find(tree_.root(), "sEtUp.ini"), tree_.At("d/SETUP.INI"));
  EXPECT_EQ(Find(tree_.root(), "te?t?.ini"), tree_.At("w/test1.ini"));
  EXPECT_EQ(Find(tree_.root(), "w/test1.ini"), "");  // a directory part matches nothing
  EXPECT_EQ(Find(tree_.root(), ""), "");
}

// In a directory of many entries the exact name is looked up part way
// through the listing; the answer is the same as in a small one.
TEST_P(SearchBoth, ExactNameFirstInABigDirectory) {
  for (int i = 0; i < 600; ++i) ASSERT_TRUE(tree_.Make("big/file" + std::to_string(i) + ".txt"));
  for (const char* file : {"big/SETUP.INI", "big/setup.ini", "big/sub/s.ini"}) {
    ASSERT_TRUE(tree_.Make(file));
  }
  EXPECT_EQ(Find(tree_.root(), "setup.ini"), tree_.At("big/setup.ini"));
  EXPECT_EQ(Find(tree_.root(), "Setup.ini"), tree_.At("big/SETUP.INI"));
  EXPECT_EQ(Find(tree_.root(), "s.ini"), tree_.At("big/sub/s.ini"));
}

TEST_P(SearchBoth, LinksAreFollowedEachDirectoryOnceAndCyclesEnd) {
  ASSERT_TRUE(tree_.Make("real/s.ini"));
  ASSERT_TRUE(tree_.Make("tree/a/empty.txt"));
  ASSERT_TRUE(tree_.Link("tree/a/up", ".."));
  ASSERT_TRUE(tree_.Link("tree/a/loop", "../../tree"));
  ASSERT_TRUE(tree_.Link("tree/a/zz", "../../real"));
  ASSERT_TRUE(tree_.Link("tree/b", "../real"));
  EXPECT_EQ(Find(tree_.At("tree"), "none.ini"), "");
  // "real" is reached first through tree/a/zz, so the answer names that way.
  EXPECT_EQ(Find(tree_.At("tree"), "s.ini"), tree_.At("tree/a/zz/s.ini"));
}

// Long paths and few descriptors: a chain of names deeper than the system's
// path length, a branch to leave and come back from, many directories side
// by side, all within a few dozen descriptors at most.
TEST_P(SearchBoth, DeepAndBroadWithFewDescriptors) {
  std::string deep;
  for (int level = 0; level < 250; ++level) {
    deep += "level-of-the-chain-" + std::to_string(level % 2) + "/";
  }
  ASSERT_GT(deep.size(), static_cast<size_t>(PATH_MAX));
  ASSERT_TRUE(tree_.Make("m/a/" + deep + "s.ini"));
  ASSERT_TRUE(tree_.Make("m/a/level-of-the-chain-0/aside/x/y/other.txt"));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(tree_.Make("b/" + std::to_string(i) + "/s.ini"));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(tree_.Make("a/" + std::to_string(i) + "/sub/"));
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 64;  // the test's own descriptors are fewer than ten
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  const std::string found = Find(tree_.root(), "s.ini");
  const std::string found_in_m = Find(tree_.At("m"), "s.ini");
  setrlimit(RLIMIT_NOFILE, &old_limit);
  EXPECT_EQ(found, tree_.At("b/0/s.ini"));
  EXPECT_EQ(found_in_m, tree_.At("m/a/" + deep + "s.ini"));
}

size_t CountEntries(const char* dir) {
  size_t count = 0;
  if (DIR* listing = opendir(dir)) {
    while (readdir(listing) != nullptr) ++count;
    closedir(listing);
  }
  return count;
}

// The readers are gone, and their descriptors closed, by the time the
// answer is returned; found early or after the whole tree.
TEST(SearchReadAhead, LeavesNoThreadAndNoDescriptorBehind) {
  Tree tree;
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(tree.Make("d" + std::to_string(i) + "/e/f/"));
  ASSERT_TRUE(tree.Make("d0/s.ini"));
  // A first search, so that threads a runtime starts on first use (as
  // ThreadSanitizer's) are counted before.
  FindScriptWithReadAhead(tree.root(), "absent.ini", Readers(8, 64, kEverySlow, false));
  const size_t threads = CountEntries("/proc/self/task"), fds = CountEntries("/proc/self/fd");
  ASSERT_GT(threads, 0u);
  for (const long slow_us : {kEverySlow, kNoneSlow}) {
    for (const char* name : {"s.ini", "absent.ini"}) {
      FindScriptWithReadAhead(tree.root(), name, Readers(8, 64, slow_us, false));
      EXPECT_EQ(CountEntries("/proc/self/task"), threads) << name << ", " << slow_us;
      EXPECT_EQ(CountEntries("/proc/self/fd"), fds) << name << ", " << slow_us;
    }
  }
}

// Random trees of mixed-case names, dot directories, links (cycles among
// them) and matches at several depths: every read-ahead answers as the
// walk one directory at a time does.
class RandomTree {
 public:
  explicit RandomTree(unsigned seed) : random_(seed) {
    dirs_.push_back("");
    const int steps = 10 + Pick(40);
    for (int step = 0; step < steps; ++step) AddEntry();
  }
  const Tree& tree() const { return tree_; }
  size_t Pick(size_t below) { return std::uniform_int_distribution<size_t>(0, below - 1)(random_); }

 private:
  void AddEntry() {
    static const char* const kDirNames[] = {"a",    "B",   "_u", "sub",  "Sub2",
                                            ".dot", "zed", "M0", "s.ini"};
    static const char* const kFileNames[] = {"s.ini", "S.INI", "s.Ini",
                                             "setup.ini", "x.txt", "s1.ini"};
    const std::string parent = dirs_[Pick(dirs_.size())];
    const std::string prefix = parent.empty() ? "" : parent + "/";
    const size_t kind = Pick(10);
    if (kind < 5) {
      const std::string dir = prefix + kDirNames[Pick(9)];
      if (tree_.Make(dir + "/keep.txt")) dirs_.push_back(dir);
    } else if (kind < 8) {
      tree_.Make(prefix + kFileNames[Pick(6)]);
    } else {
      const std::string target = dirs_[Pick(dirs_.size())];  // an ancestor makes a cycle
      tree_.Link(prefix + (kind == 8 ? "link" : "Link"), tree_.At(target));
    }
  }

  Tree tree_;
  std::mt19937 random_;
  std::vector<std::string> dirs_;  // relative to the root, the root as ""
};

TEST(SearchReadAhead, AnswersAsTheSequentialWalkOnRandomTrees) {
  const char* const kNames[] = {"s.ini", "S.ini", "s?.ini", "*.ini", "setup.ini", "none.txt"};
  for (unsigned seed = 1; seed <= 150; ++seed) {
    RandomTree random(seed);
    const long slow_us[] = {kEverySlow, kSomeSlow, kNoneSlow};
    ReadAheadOptions options = Readers(1 + random.Pick(8), 1 + random.Pick(16), slow_us[seed % 3],
                                       seed % 2 == 0);
    options.start_after = random.Pick(12);  // hands over anywhere in the tree
    for (const char* name : kNames) {
      const std::string expected = FindScriptSequential(random.tree().root(), name);
      EXPECT_EQ(FindScriptWithReadAhead(random.tree().root(), name, options), expected)
          << "seed " << seed << ", name " << name;
      EXPECT_EQ(FindScript(random.tree().root(), name), expected) << "seed " << seed;
    }
  }
}

}  // namespace
}  // namespace varnok
