// The command line, the usage screen, the closing wait and the failure report.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness.h"

namespace e2e {
namespace {

const char kScript[] =
    "\xEF\xBB\xBF; settings\r\n[Setup]\r\nVersion = 1.0 \r\nEmpty=\r\n[Interface]\r\nCaption=Hi";

TEST(Run, SuccessIsSilentAndChangesOnlyTheValue) {
  TempDir dir;
  dir.Write("sub/setup.ini", kScript);
  RunResult result = RunVarnok({ProjectArg(dir.path()), "-O:setup.ini:setup.VERSION=2.0 beta"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out + result.err, "");
  EXPECT_EQ(dir.Read("sub/setup.ini"),
            "\xEF\xBB\xBF; settings\r\n[Setup]\r\nVersion = 2.0 beta \r\nEmpty=\r\n"
            "[Interface]\r\nCaption=Hi");
}

TEST(Run, NoArgumentsShowTheSyntaxError) {
  RunResult result = RunVarnok({});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, UsageScreen("Syntax error", ""));
  EXPECT_EQ(result.err, "");
}

TEST(Run, ReportedFailuresShowTheScreenAndLeaveTheFileAlone) {
  TempDir dir;
  const std::string project = ProjectArg(dir.path());
  dir.Write("a/setup.ini", kScript);
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{project}, "Syntax error"},
      {{"-O:setup.ini:Setup.Version=2"}, "Syntax error"},
      {{"-P:", "C:\\Dir", "-O:setup.ini:Setup.Version=2"}, "Syntax error"},
      {{project, "-O:other.ini:Setup.Version=2"}, "Script not found"},
      {{project, "-O:Setup.Version=2"}, "Script not found"},
      {{project, "-O:setup.ini:Setup.Missing=2"}, "Component not found"},
      {{project, "-O:setup.ini:Nowhere.Version=2"}, "Component not found"},
      {{project, "-O:setup.ini:Setup.Empty=2"}, "Component not found"},
      {{project, "-O:setup.ini:Setup.Version="}, "Component could not be written"},
      // With a blank, so that the line break stays inside one argument on Windows too.
      {{project, "-O:setup.ini:Setup.Version=a\nb c"}, "Component could not be written"},
      {{project, "-O:setup.ini:Setup.Version=a\rb c"}, "Component could not be written"},
      // Values that would read back empty, so the key could never be set again.
      {{project, "-O:setup.ini:Setup.Version=\"\""}, "Component could not be written"},
      {{project, "-O:setup.ini:Setup.Version=" + std::string(1500, ' ')},
       "Component could not be written"},
  };
  for (const auto& c : cases) {
    // No argument on Windows holds a double quote.
    if (TestingWindowsBuild() && c.args.back().find('"') != std::string::npos) continue;
    std::string echo;
    for (const std::string& arg : c.args) {
      echo += (arg.find(' ') != std::string::npos ? '"' + arg + '"' : arg) + " ";
    }
    RunResult result = RunVarnok(c.args, {"\n"});
    EXPECT_EQ(result.status, 0) << c.message;
    EXPECT_EQ(result.out, UsageScreen(c.message, echo));
    EXPECT_EQ(dir.Read("a/setup.ini"), kScript) << c.message;
  }
}

TEST(Run, EchoQuotesBlanksAndTheLastAssignmentWins) {
  TempDir dir;
  dir.Write("setup.ini", "[S]\nk=old\n");
  RunResult result = RunVarnok({"/P:" + ProgramPath(dir.path()), "-O:setup.ini:S.k=first",
                                "-o:setup.ini:S.nokey=two words", "extra"}, {"\n"});
  EXPECT_EQ(result.out,
            UsageScreen("Component not found", "-P:" + ProgramPath(dir.path()) +
                                                   " -O:setup.ini:S.k=first "
                                                   "\"-o:setup.ini:S.nokey=two words\" extra "));
  EXPECT_EQ(RunVarnok({"/p:" + ProgramPath(dir.path()), "/o:setup.ini:S.k=http://x/y"}).status, 0);
  EXPECT_EQ(dir.Read("setup.ini"), "[S]\nk=" + AsRead("http://x/y") + "\n");
}

TEST(Run, TheWaitEndsAtALineFeedCtrlZOrEndOfInput) {
  for (const RunOptions& options :
       {RunOptions{"rest\nmore", true}, RunOptions{"rest\nmore"}, RunOptions{"r\x1Amore"},
        RunOptions{"\x1A\nmore", true}}) {
    // Whatever follows the line stays for the next reader of the input.
    RunResult result = RunCommand({"sh", "-c", "\"$VARNOK\"; cat"}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, UsageScreen("Syntax error", "") + options.input.substr(options.input.find_first_of("\n\x1A") + 1));
  }
  EXPECT_EQ(RunVarnok({}, {""}).status, 0);
  EXPECT_EQ(RunVarnok({}, {"no line feed", true}).status, 0);
}

TEST(Run, ConsoleFailuresEndThroughTheReport) {
  const struct {
    RunOptions options;
    const char* message;
    bool screen_shown;
  } cases[] = {
      {[] { RunOptions o; o.close_stdout = true; return o; }(), "I/O error 105", false},
      {[] { RunOptions o; o.stdout_to_full_device = true; return o; }(), "Disk full", false},
      {[] { RunOptions o; o.stdout_to_closed_pipe = true; return o; }(),
       TestingWindowsBuild() ? "I/O error 109" : "I/O error 32", false},
      {[] { RunOptions o; o.close_stdin = true; return o; }(), "I/O error 104", true},
  };
  for (const auto& c : cases) {
    RunResult result = RunVarnok({}, c.options);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_TRUE(IsReport(result.err, "EInOutError", c.message))
        << result.err;
    EXPECT_EQ(result.out, c.screen_shown ? UsageScreen("Syntax error", "") : "");
  }
}

// The report names the program's own file, not whatever the caller passed
// as argv[0], nor the name of a link that led to it.
TEST(Run, TheReportNamesTheProgramFileItself) {
  TempDir dir, links;
  const std::string script = dir.Write("a.ini", "[M]\nK=1\n");
  ASSERT_EQ(chmod(script.c_str(), 0444), 0);
  const std::string run = " \"$@\"";
  const std::string link = links.path() + "/vk";
  for (const std::string& command :
       {"exec -a fakename \"$VARNOK\"" + run, "ln -s \"$VARNOK\" " + link + " && exec " + link + run}) {
    RunResult result = RunCommand({"bash", "-c", command, "bash", ProjectArg(dir.path()),
                                   "-O:a.ini:M.K=2"});
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_TRUE(IsReport(result.err, "EIniFileException",
                         "Unable to write to " + ProgramPath(script)))
        << command << "\n" << result.err;
  }
}

}  // namespace
}  // namespace e2e
