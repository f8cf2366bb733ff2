// The Windows command line read in UTF-16: no character turns into a quote
// that splits an argument, names and values beyond the ANSI code page reach
// the search and UTF-16 scripts whole, an ANSI script refuses what its code
// page cannot hold, and the usage screen echoes what was given in the OEM
// code page. Under Wine the prefix runs in the ANSI code page 1252 and the
// OEM code page 437. The search's "?" runs on both builds.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

const char kScript[] = "[S]\nk=old\n";
const std::string kFullwidthQuote = "\xEF\xBC\x82";  // U+FF02
const std::string kEAcute = "\xC3\xA9", kOmega = "\xCE\xA9", kCjk = "\xE8\xA1\xA8";
const std::string kEmoji = "\xF0\x9F\x98\x80";

std::string Utf16File(const std::u16string& units) {
  std::string bytes;
  for (char16_t unit : u"\uFEFF" + units) {
    bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  }
  return bytes;
}

// ASCII text as UTF-16 units.
std::u16string Units(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

// `text` as code page 437 shows it: the characters these tests use that 437
// holds, and "?" for those it lacks.
std::string Shown(std::string text) {
  const std::pair<std::string, std::string> forms[] = {
      {kEAcute, "\x82"}, {kOmega, "\xEA"}, {kCjk, "?"}, {kFullwidthQuote, "?"}};
  for (const auto& [utf8, oem] : forms) {
    for (size_t at; (at = text.find(utf8)) != std::string::npos;) {
      text.replace(at, utf8.size(), oem);
    }
  }
  return text;
}

// The echo of `arguments` as the usage screen shows it.
std::string ShownEcho(const std::vector<std::string>& arguments) {
  std::string echo;
  for (const std::string& argument : arguments) {
    echo += argument.find(' ') == std::string::npos ? argument : '"' + argument + '"';
    echo += " ";
  }
  return Shown(echo);
}

// "x<U+FF02> -P:<other> <U+FF02>" in double quotes is one argument: a best-fit
// reading of the line in the ANSI code page made the marks quotes, and the
// run changed the other project's script.
TEST(WindowsCommandLine, AFullwidthQuoteCarriesNoSwitch) {
  if (!TestingWindowsBuild()) GTEST_SKIP() << "the shell splits the command line on POSIX";
  TempDir dir;
  const std::string project = dir.path() + "/project", other = dir.path() + "/other";
  dir.Write("project/setup.ini", kScript);
  dir.Write("other/setup.ini", kScript);
  const std::string value =
      "x" + kFullwidthQuote + " -P:" + ProgramPath(other) + " " + kFullwidthQuote;
  const std::vector<std::string> arguments = {ProjectArg(project), "-O:setup.ini:S.k=" + value};
  const RunResult ansi = RunVarnok(arguments, {"\n"});
  EXPECT_EQ(ansi.status, 0);
  EXPECT_EQ(dir.Read("other/setup.ini"), kScript);
  // Code page 1252 has no fullwidth mark: refused, never stored as '"'.
  EXPECT_EQ(ansi.out, UsageScreen("Component could not be written", ShownEcho(arguments)));
  EXPECT_EQ(dir.Read("project/setup.ini"), kScript);
  // A UTF-16 script holds it: the value is stored whole.
  dir.Write("project/setup.ini", Utf16File(u"[S]\r\nk=old\r\n"));
  const RunResult utf16 = RunVarnok(arguments, {"\n"});
  EXPECT_EQ(utf16.out + utf16.err, "");
  const std::u16string stored =
      u"x\uFF02 -P:" + Units(ProgramPath(other)) + u" \uFF02";
  EXPECT_TRUE(dir.Read("project/setup.ini") == Utf16File(u"[S]\r\nk=" + stored + u"\r\n"));
  EXPECT_EQ(dir.Read("other/setup.ini"), kScript);
}

// A project directory and a script name that code page 1252 cannot spell;
// an ANSI script gets names and values in its code page, a UTF-16 one every
// character; the echo shows the arguments in the OEM code page.
TEST(WindowsCommandLine, NamesAndValuesBeyondTheAnsiCodePage) {
  if (!TestingWindowsBuild()) GTEST_SKIP() << "the code pages are Windows'";
  TempDir dir;
  const std::string folder = "Caf" + kEAcute + "-" + kOmega, project = dir.path() + "/" + folder;
  const std::string ansi_name = kCjk + ".ini", ansi_path = folder + "/" + ansi_name;
  const std::string utf16_path = folder + "/u.ini";
  dir.Write(ansi_path, "[Caf\xE9]\r\nk=old\r\n");
  dir.Write(utf16_path, Utf16File(u"[\u03A9]\r\nk=old\r\n"));
  const auto arguments = [&](const std::string& script, const std::string& assignment) {
    return std::vector<std::string>{ProjectArg(project), "-O:" + script + ":" + assignment};
  };
  const RunResult stored =
      RunVarnok(arguments(ansi_name, "Caf" + kEAcute + ".k=caf" + kEAcute + " \xE2\x82\xAC"));
  EXPECT_EQ(stored.out + stored.err, "");
  EXPECT_EQ(dir.Read(ansi_path), "[Caf\xE9]\r\nk=caf\xE9 \x80\r\n");
  const std::vector<std::string> refusal = arguments(ansi_name, "Caf" + kEAcute + ".k=" + kOmega);
  EXPECT_EQ(RunVarnok(refusal, {"\n"}).out,
            UsageScreen("Component could not be written", ShownEcho(refusal)));
  EXPECT_EQ(dir.Read(ansi_path), "[Caf\xE9]\r\nk=caf\xE9 \x80\r\n");
  const std::string beyond = kCjk + kFullwidthQuote + kEmoji;
  const RunResult utf16 = RunVarnok(arguments("u.ini", kOmega + ".k=" + beyond));
  EXPECT_EQ(utf16.out + utf16.err, "");
  EXPECT_TRUE(dir.Read(utf16_path) == Utf16File(u"[\u03A9]\r\nk=\u8868\uFF02\U0001F600\r\n"));
}

// Linux directories under Wine may hold names that differ only in case; an
// entry spelled exactly like the script name wins over the others.
TEST(WindowsSearch, AnExactNameWinsOverOthersOfTheSameLetters) {
  if (!TestingWindowsBuild()) GTEST_SKIP() << "Search.CaseIgnoredExactNameFirstAndWildcards";
  TempDir dir;
  const std::vector<std::string> files = {"d/SETUP.INI", "d/Setup.ini", "d/setup.ini"};
  for (const std::string spelling : {"setup.ini", "SETUP.INI", "Setup.ini"}) {
    SCOPED_TRACE(spelling);
    for (const std::string& file : files) dir.Write(file, kScript);
    ASSERT_EQ(RunVarnok({ProjectArg(dir.path()), "-O:" + spelling + ":S.k=new"}).status, 0);
    for (const std::string& file : files) {
      EXPECT_EQ(dir.Read(file), file == "d/" + spelling ? "[S]\nk=new\n" : kScript);
    }
  }
}

// "?" is one character, however many UTF-16 units (or UTF-8 bytes) it takes.
TEST(Search, AQuestionMarkIsOneCharacterOutsideTheBmpToo) {
  TempDir dir;
  const std::vector<std::string> files = {"x/a" + kEmoji + kEmoji + ".ini",
                                          "y/a" + kEmoji + ".ini"};
  for (const std::string& file : files) dir.Write(file, kScript);
  const RunResult run = RunVarnok({ProjectArg(dir.path()), "-O:a?.ini:S.k=new"}, {"\n"});
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_EQ(dir.Read(files[0]), kScript);
  EXPECT_EQ(dir.Read(files[1]), "[S]\nk=new\n");
}

}  // namespace
}  // namespace e2e
