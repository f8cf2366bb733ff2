// The command line, the usage screen, the closing wait and the failure report.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <utility>

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

// The module and the offset that a failure report's first line names; both
// empty when the report has another form.
std::pair<std::string, std::string> ModuleAndOffset(const std::string& report) {
  std::string head = report.substr(0, report.find('\n'));
  if (!head.empty() && head.back() == '\r') head.pop_back();
  const std::string in = " in module ";
  const size_t module = head.find(in), at = head.rfind(" at ");
  const size_t at_offset_dot = 13;  // " at ", eight digits and "."
  if (head.rfind("Exception ", 0) != 0 || module == std::string::npos ||
      at == std::string::npos || at < module + in.size() || head.size() != at + at_offset_dot ||
      head.back() != '.') {
    return {};
  }
  const std::string offset = head.substr(at + 4, 8);
  if (offset.find_first_not_of("0123456789ABCDEF") != std::string::npos) return {};
  return {head.substr(module + in.size(), at - module - in.size()), offset};
}

// A directory holding a script that no run may write, even as root.
struct ReadOnlyScript {
  ReadOnlyScript() : path(dir.Write("a.ini", "[M]\nK=1\n")) {
    if (chmod(path.c_str(), 0444) != 0) ADD_FAILURE() << "cannot make " << path << " read-only";
  }
  std::vector<std::string> Arguments() const { return {ProjectArg(dir.path()), "-O:a.ini:M.K=2"}; }
  TempDir dir;
  std::string path;
};

// The offset is the raise site's place in the program, not its address in
// memory, which the system moves from run to run: the same in each run of
// one failure, and within the program file.
TEST(Run, TheReportsOffsetIsAPlaceInTheProgram) {
  const ReadOnlyScript script;
  std::string offsets[3];
  for (std::string& offset : offsets) {
    const RunResult result = RunVarnok(script.Arguments(), {"\n"});
    ASSERT_EQ(result.status, 1);
    offset = ModuleAndOffset(result.err).second;
    ASSERT_EQ(offset.size(), 8u) << result.err;
  }
  EXPECT_EQ(offsets[0], offsets[1]);
  EXPECT_EQ(offsets[0], offsets[2]);
  if (TestingWindowsBuild()) return;  // VARNOK_PROGRAM is then not the program run
  struct stat program = {};
  ASSERT_EQ(stat(VARNOK_PROGRAM, &program), 0);
  EXPECT_LT(std::stoll(offsets[0], nullptr, 16), static_cast<long long>(program.st_size));
}

// A program file removed while it runs keeps its name in the report, though
// the system then marks its path with " (deleted)"; a program file whose own
// name ends so keeps all of it.
TEST(Run, TheReportNamesARemovedProgramFileByItsName) {
  if (TestingWindowsBuild()) GTEST_SKIP() << "Wine starts the program from its path";
  const ReadOnlyScript script;
  const struct {
    std::string file, command;
  } cases[] = {
      {"varnok", "exec 9<\"$0\" && rm \"$0\" && exec /proc/self/fd/9 \"$@\""},
      {"varnok (deleted)", "exec \"$0\" \"$@\""},
  };
  for (const auto& c : cases) {
    TempDir bin;
    const std::string copy = bin.Write(c.file, ReadFile(VARNOK_PROGRAM));
    ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
    std::vector<std::string> argv = {"bash", "-c", c.command, copy};
    for (const std::string& argument : script.Arguments()) argv.push_back(argument);
    const RunResult result = RunCommand(argv, {"\n"});
    EXPECT_EQ(result.status, 1) << c.file;
    EXPECT_EQ(ModuleAndOffset(result.err).first, c.file) << result.err;
    EXPECT_EQ(bin.List(), c.file == "varnok" ? std::vector<std::string>{}
                                             : std::vector<std::string>{c.file});
  }
}

}  // namespace
}  // namespace e2e
