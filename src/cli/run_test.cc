#include "cli/run.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "base/failure.h"

namespace varnok {
namespace {

RunState Read(std::initializer_list<std::string> arguments) {
  RunState run;
  for (const std::string& argument : arguments) ReadArgument(&run, argument);
  return run;
}

TEST(ReadArgument, SwitchForms) {
  EXPECT_EQ(Read({"-p:C:\\Dir"}).ProjectDir, "C:\\Dir");
  EXPECT_EQ(Read({"-PC:\\Dir"}).ProjectDir, "C:\\Dir");
  EXPECT_EQ(Read({"-P: \tC:\\Dir \x01"}).ProjectDir, "C:\\Dir");
  EXPECT_EQ(Read({"-Project"}).ProjectDir, "roject");
  EXPECT_EQ(Read({"-o:a.ini:S.k=v"}).OptionSpec, "a.ini:S.k=v");
  EXPECT_EQ(Read({"-t:TextBox"}).TypeName, "TextBox");
  RunState other = Read({"-X:1", "P:2", "--P"});
  EXPECT_EQ(other.ProjectDir + other.OptionSpec + other.TypeName, "");
  EXPECT_EQ(other.ArgEcho, "-X:1 P:2 --P ");
}

TEST(ReadArgument, LastSwitchWinsEvenWhenEmpty) {
  EXPECT_EQ(Read({"-P:one", "-P:two"}).ProjectDir, "two");
  EXPECT_EQ(Read({"-P:one", "-P:"}).ProjectDir, "");
}

TEST(ReadArgument, ValueTakenWholeThenTrimmed) {
  const std::string long_value = std::string(12000, 'x') + "\xC3\xA9";
  EXPECT_EQ(Read({"-P:  " + long_value + " \t"}).ProjectDir, long_value);
  EXPECT_EQ(Read({"-T" + long_value}).TypeName, long_value);
}

TEST(ReadArgument, EchoQuotesArgumentsWithBlanks) {
  RunState run = Read({"-O:a.ini:Interface.TextBox1=two words", "plain", "tab\there", ""});
  EXPECT_EQ(run.ArgEcho, "\"-O:a.ini:Interface.TextBox1=two words\" plain tab\there  ");
}

RunState Dissect(const std::string& assignment) {
  RunState run;
  run.OptionSpec = assignment;
  DissectOption(&run);
  return run;
}

TEST(DissectOption, SplitsAtTheFirstSeparators) {
  RunState run = Dissect("setup.ini:Interface.TextBox1=a:b.c=d");
  EXPECT_EQ(run.ScriptName, "setup.ini");
  EXPECT_EQ(run.SectionName, "Interface");
  EXPECT_EQ(run.KeyName, "TextBox1");
  EXPECT_EQ(run.NewValue, "a:b.c=d");
  EXPECT_EQ(Dissect("C:\\x.ini:S.k=v").ScriptName, "C");
  EXPECT_EQ(Dissect("a.ini: Interface.Key=v").SectionName, " Interface");
}

TEST(DissectOption, MissingSeparatorsLeaveEmptyPieces) {
  RunState no_colon = Dissect("S.k=v");
  EXPECT_EQ(no_colon.ScriptName, "");
  EXPECT_EQ(no_colon.SectionName, "S");
  RunState no_dot = Dissect("a.ini:Skv=1");
  EXPECT_EQ(no_dot.SectionName, "");
  EXPECT_EQ(no_dot.KeyName, "Skv");
  RunState no_equals = Dissect("a.ini:S.value");
  EXPECT_EQ(no_equals.KeyName, "");
  EXPECT_EQ(no_equals.NewValue, "value");
}

TEST(DissectOption, PiecesTakenWhole) {
  const std::string long_value = std::string(10000, 'v') + "\xE2\x82\xAC";
  EXPECT_EQ(Dissect("a:S.k=" + long_value).NewValue, long_value);
  RunState long_names = Dissect(std::string(1200, 's') + ":" + std::string(1200, 'S') + "." +
                                std::string(1200, 'k') + "=v");
  EXPECT_EQ(long_names.ScriptName, std::string(1200, 's'));
  EXPECT_EQ(long_names.SectionName, std::string(1200, 'S'));
  EXPECT_EQ(long_names.KeyName, std::string(1200, 'k'));
  EXPECT_EQ(long_names.NewValue, "v");
}

TEST(UsageLines, TenLinesWithReasonAndEcho) {
  RunState run = Read({"-P:x"});
  run.ErrorText = "Script not found";
  const std::vector<std::string> lines = UsageLines(run);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "varnok Version " VARNOK_VERSION);
  EXPECT_EQ(lines[3], "Script not found");
  EXPECT_EQ(lines[5], "-P:x ");
  EXPECT_EQ(lines[7],
            "Syntax: varnok {/|-}O[:]<script>:<section>.<key>=<value> {/|-}P[:]<Project Dir>) "
            "[{/|-}S[:]<typ>]");
  EXPECT_EQ(lines[9], "Click Execute to finish ...");
  EXPECT_EQ(lines[2] + lines[4] + lines[6] + lines[8], "");
}

TEST(FailureReport, NamesKindModuleOffsetAndMessage) {
  try {
    RaiseListIndexError(7);
  } catch (const Failure& failure) {
    const std::string report = FailureReport(failure, "varnok", "\n");
    char offset[9];
    std::snprintf(offset, sizeof offset, "%08X", SiteOffset(failure.site()));
    EXPECT_NE(SiteOffset(failure.site()), 0u);
    EXPECT_EQ(report, "Exception EStringListError in module varnok at " + std::string(offset) +
                          ".\nList index out of bounds (7).\n\n");
  }
  EXPECT_EQ(FailureReport(Failure("K", "Ends.", nullptr), "m.exe", "\r\n"),
            "Exception K in module m.exe at 00000000.\r\nEnds.\r\n\r\n");
  EXPECT_EQ(FailureReport(Failure("K", "", nullptr), "m", "\n"),
            "Exception K in module m at 00000000.\n\n\n");
}

TEST(InOutErrorMessage, FixedTextsAndNumbers) {
  EXPECT_EQ(InOutErrorMessage(2), "File not found");
  EXPECT_EQ(InOutErrorMessage(5), "File access denied");
  EXPECT_EQ(InOutErrorMessage(101), "Disk full");
  EXPECT_EQ(InOutErrorMessage(105), "I/O error 105");
  EXPECT_EQ(InOutErrorMessage(32), "I/O error 32");
}

}  // namespace
}  // namespace varnok
