// Runs on one file, reached through different spellings of its path, take
// turns: no change is lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

TEST(Turns, RunsThroughALinkAndTheRealPathAllLand) {
  TempDir dir;
  dir.Write("real/s.ini", "[S]\na=old\nb=old\nc=old\n");
  ASSERT_EQ(symlink("real", (dir.path() + "/link").c_str()), 0);
  ASSERT_EQ(symlink("link", (dir.path() + "/via").c_str()), 0);
  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    const std::string n = std::to_string(round);
    std::vector<pid_t> runs = {
        Start({ProjectArg(dir.path() + "/real"), "-O:s.ini:S.a=" + n}),
        Start({ProjectArg(dir.path() + "/link"), "-O:s.ini:S.b=" + n}),
        Start({ProjectArg(dir.path() + "/via"), "-O:s.ini:S.c=" + n}),
    };
    for (pid_t pid : runs) EXPECT_EQ(Wait(pid), 0) << "round " << round;
    ASSERT_EQ(dir.Read("real/s.ini"), "[S]\na=" + n + "\nb=" + n + "\nc=" + n + "\n")
        << "round " << round;
  }
  EXPECT_EQ(dir.List("real"), std::vector<std::string>{"s.ini"});
}

}  // namespace
}  // namespace e2e
