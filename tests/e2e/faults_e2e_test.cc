// Hostile surroundings: too few file descriptors, and garbage named like the
// script. The run may fail, but only cleanly, and never damages the file.
#include <gtest/gtest.h>

#include <random>

#include "harness.h"

namespace e2e {
namespace {

const char kOld[] = "[S]\nk=old\n";

// Whether `result` is a clean failure: the usage screen, or the report of a
// refused write.
bool FailedCleanly(const RunResult& result, const std::string& path) {
  if (result.status == 0) return result.out.find("Click Execute to finish") != std::string::npos;
  if (result.status != 1) return false;
  if (IsReport(result.err, "EIniFileException", "Unable to write to " + path)) return true;
  // Sanitized, the program's type check probes memory through a pipe, which
  // needs two spare descriptors: where none is left, it reports in the
  // program's stead. The file must still be whole.
  return kSanitized && result.err.find("invalid vptr") != std::string::npos;
}

TEST(Faults, TooFewDescriptorsFailCleanlyOrSucceed) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "Windows has no descriptor limit to set";
  TempDir dir;
  const std::string path = dir.Write("a/b/s.ini", kOld);
  int failed = 0, succeeded = 0;
  for (int limit = 4; limit <= 12; ++limit) {
    RunOptions options{"\n"};
    options.max_open_files = limit;
    const std::string value = "v" + std::to_string(limit);
    const RunResult result = RunVarnok({ProjectArg(dir.path()), "-O:s.ini:S.k=" + value}, options);
    const std::string now = dir.Read("a/b/s.ini");
    if (result.status == 0 && result.out.empty() && result.err.empty()) {
      EXPECT_EQ(now, "[S]\nk=" + value + "\n") << "limit " << limit;
      ++succeeded;
    } else {
      EXPECT_TRUE(FailedCleanly(result, path))
          << "limit " << limit << ": " << result.out << result.err;
      EXPECT_EQ(now, kOld) << "limit " << limit;
      ++failed;
    }
    EXPECT_EQ(dir.List("a/b"), std::vector<std::string>{"s.ini"}) << "limit " << limit;
    WriteFile(path, kOld);
  }
  EXPECT_GT(failed, 0);  // the limits reach below what a run needs
  EXPECT_GT(succeeded, 0);
}

// Random bytes, mostly from pieces that the reader turns on; every other
// time with well-formed keys somewhere inside.
std::string Garbage(std::mt19937& random) {
  static const char kKeys[] =
      "\n[S]\nk=x\n[Interface]\nTextBox1=a\nNumberBox=1,2,3,4,5,6,7,8\n";
  static const char* const kPieces[] = {
      "[S]", "[s ", "[Interface]", "\r\n", "\n", "\r", "k", " K\t= ", "=", "\"", ";",
      "TextBox1=", "NumberBox =", ",", "|", "\xEF\xBB\xBF", "\xFF\xFE", "]", " ", "\v"};
  std::string text;
  const size_t pieces = std::uniform_int_distribution<size_t>(0, 80)(random);
  for (size_t i = 0; i < pieces; ++i) {
    const size_t pick = random() % (std::size(kPieces) + 4);
    if (pick < std::size(kPieces)) text += kPieces[pick];
    else text += static_cast<char>(random());
  }
  if (random() % 2) text.insert(random() % (text.size() + 1), kKeys);
  return text;
}

// Whether `after` is `before` with one stretch inside one line changed.
bool OneStretchChanged(const std::string& before, const std::string& after) {
  size_t head = 0, tail = 0;
  while (head < before.size() && head < after.size() && before[head] == after[head]) ++head;
  while (tail < before.size() - head && tail < after.size() - head &&
         before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
    ++tail;
  }
  const auto middle = [&](const std::string& text) {
    return text.substr(head, text.size() - head - tail);
  };
  return middle(before).find_first_of("\r\n") == std::string::npos &&
         middle(after).find_first_of("\r\n") == std::string::npos;
}

TEST(Faults, GarbageNamedLikeTheScript) {
  // The readers are the same code on Windows; 200 starts under Wine add nothing.
  if (TestingWindowsBuild()) GTEST_SKIP() << "covered by the POSIX build";
  const char* const kAssignments[] = {"S.k=new", "Interface.TextBox1=new",
                                      "Interface.NumberBox=new", "s. K =new"};
  std::mt19937 random(5);
  int changed = 0, refused = 0;
  for (int trial = 0; trial < 200; ++trial) {
    TempDir dir;
    const std::string before = trial == 0 ? std::string(1 << 20, '\0') : Garbage(random);
    const std::string path = dir.Write("s.ini", before);
    RunOptions options{"\n"};
    options.timeout_seconds = 10;
    const std::string assignment = std::string("-O:s.ini:") + kAssignments[trial % 4];
    const RunResult result = RunVarnok({ProjectArg(dir.path()), assignment}, options);
    const std::string after = dir.Read("s.ini");
    SCOPED_TRACE("trial " + std::to_string(trial));
    EXPECT_EQ(dir.List(), std::vector<std::string>{"s.ini"});
    if (result.status == 0 && result.out.empty() && result.err.empty()) {
      EXPECT_TRUE(OneStretchChanged(before, after));
      EXPECT_NE(after.find("new"), std::string::npos);
      ++changed;
    } else {
      const bool usage_screen = result.status == 0 && result.err.empty();
      EXPECT_TRUE(usage_screen ||
                  IsReport(result.err, "EStringListError", "List index out of bounds (7)"))
          << result.err;
      EXPECT_TRUE(after == before);
      ++refused;
    }
  }
  std::printf("garbage files: %d changed, %d refused, 0 damaged\n", changed, refused);
  EXPECT_GT(changed, 40);
  EXPECT_GT(refused, 40);
}

}  // namespace
}  // namespace e2e
