// Keys of the section "Interface": component lines changed field by field.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

const char kScript[] =
    "[Setup]\r\nMode=1\r\n"
    "[Interface]\r\n"
    "TextBox1=\"Your name\",10,20,200,\"Alice\"\r\n"
    "FileBox1 = \"C:\\Program Files\\Demo\",8,16,\"Browse\"\r\n"
    "NumberBox1=10, 40, 60, 21, 0, 100, 1, 5\r\n"
    "CheckBox1=\"Agree\",10,10,0\r\n"
    "RadioButton1=Choose,Yes|No|Maybe,1\r\n"
    "ScrollBox1=\"Only one\"\r\n"
    "Short NumberBox=1,2,3,4,5,6,7\r\n"
    "Caption=Hello\r\n"
    "Plain=abc\r\n";

RunResult Set(const TempDir& dir, const std::string& assignment,
              const std::vector<std::string>& more = {}) {
  std::vector<std::string> args = {ProjectArg(dir.path()), "-O:s.ini:" + assignment};
  args.insert(args.end(), more.begin(), more.end());
  return RunVarnok(args, {"\n"});
}

// kScript with the line starting `key_prefix` replaced by `line`.
std::string With(const std::string& key_prefix, const std::string& line) {
  std::string text = kScript;
  const size_t at = text.find("\r\n" + key_prefix) + 2;
  return text.replace(at, text.find("\r\n", at) - at, line);
}

TEST(Interface, WorkedExamplesOnACrLfFile) {
  const struct {
    std::string assignment, key, written;
  } cases[] = {
      {"Interface.TextBox1=Bob", "TextBox1", "TextBox1=\"Your name\",10,20,200,\"Bob\""},
      {"interface.FileBox1=D:\\Apps", "FileBox1",
       "FileBox1 = \"D:\\Apps\",8,16,\"Browse\""},
      {"INTERFACE.NumberBox1=8", "NumberBox1", "NumberBox1=10,40,60,21,0,100,1,8"},
      {"Interface.CheckBox1=1", "CheckBox1", "CheckBox1=\"Agree\",10,10,1"},
      {"Interface.RadioButton1=2", "RadioButton1", "RadioButton1=Choose,Yes,No,Maybe,2"},
      {"Interface.ScrollBox1=x", "ScrollBox1", "ScrollBox1=x"},
      {"Interface.TextBox1=", "TextBox1", "TextBox1=\"Your name\",10,20,200,\"\""},
      {"Interface.TextBox1=a|b, c", "TextBox1", "TextBox1=\"Your name\",10,20,200,\"a|b, c\""},
      // A blank before the name: the same section, but not the component rule.
      {" Interface.TextBox1=whole", "TextBox1", "TextBox1=whole"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.Write("s.ini", kScript);
    RunResult result = Set(dir, c.assignment);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "") << c.assignment;
    EXPECT_EQ(dir.Read("s.ini"), With(c.key, c.written)) << c.assignment;
  }
}

TEST(Interface, RefusalsLeaveTheFileAlone) {
  const struct {
    std::string assignment;
    std::vector<std::string> more;
    const char* message;
  } cases[] = {
      {"Interface.Caption=x", {}, "Component type not found"},
      {"Interface.NoSuchKey=x", {}, "Component type not found"},
      {"Interface.=x", {}, "Component type not found"},
      {"Interface.TextBox7=x", {}, "Component not found"},
      {"Interface.Plain=", {"-T:TextBox"}, "Component could not be changed"},
      {"Interface.ScrollBox1=", {}, "Component could not be changed"},
      // With a blank, so that the line break stays inside one argument on Windows too.
      {"Interface.TextBox1=a\nb c", {}, "Component could not be written"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.Write("s.ini", kScript);
    RunResult result = Set(dir, c.assignment, c.more);
    EXPECT_NE(result.out.find(LineEnd() + LineEnd() + c.message + LineEnd() + LineEnd()),
              std::string::npos)
        << c.assignment << ": " << result.out;
    EXPECT_EQ(dir.Read("s.ini"), kScript) << c.assignment;
  }
}

TEST(Interface, ANumberBoxWithoutEightFieldsEndsTheRun) {
  TempDir dir;
  dir.Write("s.ini", kScript);
  RunResult result = Set(dir, "Interface.Short NumberBox=9");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(IsReport(result.err, "EStringListError", "List index out of bounds (7)")) << result.err;
  EXPECT_EQ(dir.Read("s.ini"), kScript);
}

TEST(Interface, TheTypeSwitchOnlyNamesWhatTheKeyDoesNot) {
  TempDir dir;
  dir.Write("s.ini", kScript);
  ASSERT_EQ(Set(dir, "Interface.Caption=x,y", {"-T:filebox"}).status, 0);
  ASSERT_EQ(Set(dir, "Interface.CheckBox1=1", {"-T:FileBox"}).status, 0);
  ASSERT_EQ(Set(dir, "Setup.Mode=a,b", {"-T:FileBox"}).status, 0);
  std::string expected = With("Caption", "Caption=x,y");
  expected = expected.replace(expected.find("CheckBox1="), 25, "CheckBox1=\"Agree\",10,10,1");
  EXPECT_EQ(dir.Read("s.ini"), expected.replace(expected.find("Mode=1"), 6, "Mode=a,b"));
}

TEST(Interface, LongLinesKeepTheirTail) {
  TempDir dir;
  const std::string middle(5000, 'm');
  dir.Write("s.ini", "[Interface]\nTextBox=\"a\"," + middle + ",\"old\"\n");
  ASSERT_EQ(Set(dir, "Interface.TextBox=new").status, 0);
  EXPECT_EQ(dir.Read("s.ini"), "[Interface]\nTextBox=\"a\"," + middle + ",\"new\"\n");
}

}  // namespace
}  // namespace e2e
