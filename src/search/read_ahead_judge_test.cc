// When the search's readers work: the judge's verdicts on simulated walks,
// and the cores a process may use.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "search/read_ahead_judge.h"
#include "search/usable_cores.h"

namespace varnok {
namespace {

using std::chrono::microseconds;

// A walk through the judge: each directory takes the time that the way the
// judge chose costs at that point. The walk's own listings count as slow
// from this time on.
constexpr long kSlowUs = 20;

class SimulatedWalk {
 public:
  SimulatedWalk() : judge_(16, 64, microseconds(2000), 128) {}

  // Walks `count` directories that take `alone_us` each alone and
  // `readers_us` with readers; the share of them taken with readers.
  double Walk(int count, long alone_us, long readers_us) {
    int with_readers = 0;
    for (int i = 0; i < count; ++i) {
      readers_ = judge_.Next(now_, walk_listed_, alone_us >= kSlowUs);
      with_readers += readers_;
      now_ += microseconds(readers_ ? readers_us : alone_us);
      walk_listed_ = true;
    }
    return static_cast<double>(with_readers) / count;
  }

  // Walks `count` directories that take 10 us both ways, times a speed of
  // the machine that changes at random every 2 ms (0.7 to 1.3); how often
  // the way changed, and in `share` the share taken with readers.
  int WalkOnANoisyMachine(int count, double* share) {
    std::mt19937 random(7);
    double speed = 1.0;
    auto next_change = now_;
    int changes = 0, with_readers = 0;
    for (int i = 0; i < count; ++i) {
      const bool was_with_readers = readers_;
      readers_ = judge_.Next(now_, true, false);
      changes += readers_ != was_with_readers;
      with_readers += readers_;
      if (now_ >= next_change) {
        speed = 0.7 + 0.6 * std::uniform_real_distribution<double>()(random);
        next_change = now_ + microseconds(2000);
      }
      now_ += std::chrono::nanoseconds(static_cast<long>(10000 * speed));
    }
    *share = static_cast<double>(with_readers) / count;
    return changes;
  }

  // Like Walk, but the first directory after readers start takes `ramp_us`.
  double WalkWithRamp(int count, long alone_us, long readers_us, long ramp_us) {
    int with_readers = 0;
    for (int i = 0; i < count; ++i) {
      const bool was_with_readers = readers_;
      readers_ = judge_.Next(now_, walk_listed_, alone_us >= kSlowUs);
      with_readers += readers_;
      now_ += microseconds(!readers_ ? alone_us : was_with_readers ? readers_us : ramp_us);
    }
    return static_cast<double>(with_readers) / count;
  }

  // Like Walk, but the first `ahead` directories after readers stop take the
  // walk `ahead_us`: listed by them already (`walk_lists_ahead` false), or
  // listed by the walk from what they brought into memory.
  double WalkAfterReaders(int count, long alone_us, long readers_us, int ahead, long ahead_us,
                          bool walk_lists_ahead) {
    int with_readers = 0, left_ahead = 0;
    for (int i = 0; i < count; ++i) {
      const bool was_with_readers = readers_;
      readers_ = judge_.Next(now_, walk_listed_, alone_us >= kSlowUs);
      if (was_with_readers && !readers_) left_ahead = ahead;
      with_readers += readers_;
      walk_listed_ = readers_ || left_ahead == 0 || walk_lists_ahead;
      now_ += microseconds(readers_ ? readers_us : left_ahead == 0 ? alone_us : ahead_us);
      if (left_ahead > 0) --left_ahead;
    }
    return static_cast<double>(with_readers) / count;
  }

 private:
  PaceJudge judge_;
  PaceJudge::Clock::time_point now_;
  bool readers_ = false;
  bool walk_listed_ = true;
};

TEST(PaceJudge, KeepsReadersWhileTheyPayAndGoesAloneWhereTheyDoNot) {
  SimulatedWalk paying;
  EXPECT_GT(paying.Walk(40000, 10, 5), 0.9);  // trials alone cost a little
  SimulatedWalk losing;
  EXPECT_LT(losing.Walk(40000, 10, 15), 0.05);  // trials with readers cost a little
  SimulatedWalk equal;  // no gain worth the threads
  EXPECT_LT(equal.Walk(40000, 10, 10), 0.05);
}

TEST(PaceJudge, ReadersThatStopPayingAreDroppedAtOnce) {
  SimulatedWalk walk;
  EXPECT_GT(walk.Walk(20000, 10, 5), 0.9);
  // Another program takes the second core: with readers the walk now goes
  // slower than alone, in the midst of a long keeping.
  EXPECT_LT(walk.Walk(20000, 10, 14), 0.05);
}

TEST(PaceJudge, TriesAgainAndFollowsTheTreeFromMemoryToDisk) {
  SimulatedWalk walk;
  EXPECT_LT(walk.Walk(20000, 10, 15), 0.05);
  // The walk reaches directories read from a disk, where readers have
  // several reads in flight.
  EXPECT_GT(walk.Walk(3000, 500, 100), 0.8);
  EXPECT_LT(walk.Walk(40000, 10, 15), 0.05);  // and back to memory
}

TEST(PaceJudge, TrialsGetRarerWhereTheWaysAreAboutEqual) {
  // Verdicts follow the noise; each trial starts readers and stops them.
  SimulatedWalk walk;
  double share = 0;
  EXPECT_LE(walk.WalkOnANoisyMachine(200000, &share), 12);  // 2 s: a handful of trials
  EXPECT_LT(share, 0.1);  // and noise seldom wins the readers a keeping
}

TEST(PaceJudge, AStartNeitherTimedNorSpentOnReaders) {
  // The first directories of a run are slow; timed, they would make readers
  // look as if they paid.
  SimulatedWalk walk;
  EXPECT_EQ(walk.Walk(16, 1000, 1000), 0.0);
  EXPECT_LT(walk.Walk(2000, 10, 15), 0.2);  // one trial with readers, then alone
  SimulatedWalk small;  // a small project, however slow, starts no reader
  EXPECT_EQ(small.Walk(16, 10000, 1), 0.0);
}

TEST(PaceJudge, WhatReadersDidAheadDoesNotCountForTheWalkAlone) {
  // Readers pay. When they stop for a trial, the walk finds directories
  // listed ahead, or brought into memory ahead, which take it next to
  // nothing; timed, they would make the walk alone look faster than readers.
  SimulatedWalk listed_ahead;
  EXPECT_GT(listed_ahead.WalkAfterReaders(40000, 10, 6, 300, 1, false), 0.9);
  SimulatedWalk in_memory_ahead;
  EXPECT_GT(in_memory_ahead.WalkAfterReaders(40000, 10, 6, 128, 0, true), 0.9);
}

TEST(PaceJudge, ReadersFromADiskGetTheirTrialsDirectories) {
  // From a disk the first listing with readers waits as long as one alone,
  // while their reads fill up; over the whole trial they are far ahead.
  SimulatedWalk walk;
  walk.Walk(16 + 16, 500, 500);  // the start and a trial alone
  EXPECT_GT(walk.WalkWithRamp(3000, 500, 100, 5000), 0.9);
}

TEST(UsableCores, CgroupQuotas) {
  EXPECT_EQ(CoresOfCpuMax("max 100000\n"), 0u);
  EXPECT_EQ(CoresOfCpuMax("150000 100000\n"), 1u);
  EXPECT_EQ(CoresOfCpuMax("400000 100000\n"), 4u);
  EXPECT_EQ(CoresOfCpuMax("50000 100000\n"), 1u);  // half a core is one
  EXPECT_EQ(CoresOfCpuMax(""), 0u);
  EXPECT_EQ(CoresOfQuota(-1, 100000), 0u);  // v1: no quota
  EXPECT_EQ(CoresOfQuota(200000, 100000), 2u);
}

TEST(UsableCores, TheProcessGroupAndItsMount) {
  const std::string mountinfo =
      "30 22 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
      "33 30 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n"
      "31 30 0:28 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup "
      "rw,cpu,cpuacct\n"
      "40 30 0:37 /box /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";
  CgroupMount mount;
  ASSERT_TRUE(FindCgroupMount(mountinfo, true, &mount));
  EXPECT_EQ(mount.point, "/sys/fs/cgroup/cpu,cpuacct");  // not cpuset
  ASSERT_TRUE(FindCgroupMount(mountinfo, false, &mount));
  EXPECT_EQ(mount.point, "/sys/fs/cgroup/unified");
  EXPECT_EQ(mount.root, "/box");
  EXPECT_FALSE(FindCgroupMount("30 22 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n", false, &mount));

  const std::string groups = "5:cpuset:/a\n4:cpu,cpuacct:/user/job\n0::/box/job\n";
  EXPECT_EQ(GroupOf(groups, true), "/user/job");
  EXPECT_EQ(GroupOf(groups, false), "/box/job");
  EXPECT_EQ(GroupOf("4:cpuacct:/x\n", true), "");
  EXPECT_GE(UsableCores(), 1u);
}

}  // namespace
}  // namespace varnok
