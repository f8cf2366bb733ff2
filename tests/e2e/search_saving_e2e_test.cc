// Finding a script that another program is saving or renaming at the same
// time, on a file system whose listings can miss an entry renamed while
// they are read (btrfs).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "harness.h"
#include "scratch_fs.h"

namespace e2e {
namespace {

const char kScript[] = "[S]\nk=old\n";

// Keeps changing the script's directory from a thread of the test, until it
// dies: exchanging the script's name with another file's, or saving the
// script as an editor does, by writing a new file and renaming it over the
// name. Waits `pause_us` between changes (0: none at all).
class Churn {
 public:
  enum class Kind { kExchange, kSave };

  Churn(const std::string& dir, const std::string& name, Kind kind, int pause_us)
      : thread_([this, dir, name, kind, pause_us] {
          const std::string script = dir + "/" + name, other = dir + "/other.ini";
          const std::string saved = dir + "/" + name + ".new";
          while (!stop_) {
            if (kind == Kind::kExchange) {
              renameat2(AT_FDCWD, script.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
            } else {
              WriteFile(saved, kScript);
              rename(saved.c_str(), script.c_str());
            }
            if (pause_us > 0) usleep(pause_us);
          }
        }) {}
  ~Churn() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct ChurnCase {
  const char* file;  // the script's own name; the runs ask for "s.ini"
  Churn::Kind kind;
  int pause_us;
};

// The runs ask for the value the script holds, so no run writes and each
// one is over quickly. Every run must find the script: the exact name by
// its lookup whatever the listings show; a name that differs in case, which
// only a listing can show, through listings that were not disturbed, as
// long as the directory stands still now and then.
TEST(SearchSaving, AScriptBeingSavedIsFoundInEveryRun) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "the Windows search lists directories through Wine";
  ScratchFs fs("btrfs");
  if (!fs.mounted()) GTEST_SKIP() << fs.why_not();
  const std::string dir = fs.path() + "/project";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  for (int i = 0; i < 30; ++i) WriteFile(dir + "/file" + std::to_string(i) + ".txt", "x\n");
  const ChurnCase cases[] = {{"s.ini", Churn::Kind::kExchange, 0},
                             {"s.ini", Churn::Kind::kSave, 0},
                             {"S.ini", Churn::Kind::kExchange, 1000},
                             {"S.ini", Churn::Kind::kSave, 1000}};
  // Under the sanitizers a run takes a fifth of a second: fewer runs there
  // keep the test to its share of CI's time; the plain build makes 200.
  const int runs = kSanitized ? 50 : 200;
  for (const ChurnCase& churn_case : cases) {
    const std::string script = dir + "/" + churn_case.file;
    WriteFile(script, kScript);
    WriteFile(dir + "/other.ini", kScript);
    int blind = 0, failed = 0;
    std::string failure;
    {
      Churn churn(dir, churn_case.file, churn_case.kind, churn_case.pause_us);
      for (int run = 0; run < runs; ++run) {
        const RunResult result = RunVarnok({ProjectArg(dir), "-O:s.ini:S.k=old"}, {"\n"});
        if (result.out.find("Script not found") != std::string::npos) {
          ++blind;
        } else if (result.status != 0 || !result.out.empty() || !result.err.empty()) {
          ++failed;
          failure = result.out + result.err;
        }
      }
    }
    const bool exchanged = churn_case.kind == Churn::Kind::kExchange;
    SCOPED_TRACE(std::string(churn_case.file) + (exchanged ? ", exchanged" : ", saved"));
    EXPECT_EQ(blind, 0) << "of " << runs << " runs";
    EXPECT_EQ(failed, 0) << "of " << runs << " runs; the last: " << failure;
    remove(script.c_str());
    remove((script + ".new").c_str());
  }
}

}  // namespace
}  // namespace e2e
