// Scripts stored as UTF-16 (a FF FE or FE FF mark first): read by code
// units, and written back in UTF-16 with only the value's units changed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness.h"

namespace e2e {
namespace {

// `units` behind the mark, in either byte order, written apart from the
// program's own conversion.
std::string Utf16File(const std::u16string& units, bool big_endian) {
  std::string bytes;
  for (char16_t unit : u"\uFEFF" + units) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    bytes += big_endian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

ino_t Inode(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st.st_ino;
}

RunResult Set(const TempDir& dir, const std::string& assignment) {
  return RunVarnok({ProjectArg(dir.path()), "-O:s.ini:" + assignment}, {"\n"});
}

struct Change {
  std::u16string before;
  std::string assignment;
  std::u16string after;
};

void ExpectChanges(const std::vector<Change>& changes) {
  for (bool big_endian : {false, true}) {
    for (const Change& c : changes) {
      SCOPED_TRACE(c.assignment + (big_endian ? " (big-endian)" : " (little-endian)"));
      TempDir dir;
      dir.Write("s.ini", Utf16File(c.before, big_endian));
      const RunResult result = Set(dir, c.assignment);
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.out + result.err, "");
      EXPECT_TRUE(dir.Read("s.ini") == Utf16File(c.after, big_endian));
    }
  }
}

TEST(Utf16Script, OnlyTheValuesUnitsChange) {
  ExpectChanges({
      {u"[Main]\r\nVersion=0\r\n[Setup]\r\n  Version = \"1.0\" \t\r\nx=1\r\n",
       "setup.VERSION=2.0 beta",
       u"[Main]\r\nVersion=0\r\n[Setup]\r\n  Version = 2.0 beta \t\r\nx=1\r\n"},
      {u"[Zone]\nzed=old\nzed=second", "zONE.ZED=new", u"[Zone]\nzed=new\nzed=second"},
      {u"; \u00C9t\u00E9 \U0001F600\n[S]\nk=\u20AC\n[T]\nk=1", "S.k=longer value",
       u"; \u00C9t\u00E9 \U0001F600\n[S]\nk=longer value\n[T]\nk=1"},
      // Units whose single bytes are "[" or "=" are neither.
      {u"\u015BS]\n[S]\nk\u3D00=1\nk=2\n", "S.k=3", u"\u015BS]\n[S]\nk\u3D00=1\nk=3\n"},
  });
}

TEST(Utf16Script, InterfaceLinesKeepEveryCharacter) {
  ExpectChanges({
      {u"[Interface]\r\nTextBox1=\"N\u00E4me \U0001F600\",10,\"\u20AC old\"\r\n",
       "Interface.TextBox1=Bob",
       u"[Interface]\r\nTextBox1=\"N\u00E4me \U0001F600\",10,\"Bob\"\r\n"},
      {u"[Interface]\nScrollBox1=\"\U0001F600\",1,\u00E9\n", "Interface.ScrollBox1=x",
       u"[Interface]\nScrollBox1=\"x\",1,\u00E9\n"},
  });
}

TEST(Utf16Script, ValuesBeyondAscii) {
  ExpectChanges({
      {u"[S]\r\nk=old\r\n", "S.k=\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       u"[S]\r\nk=\u00E9\u20AC\U0001F600\r\n"},
      {u"[\u00C9t\u00E9]\nCl\u00E9=1\n", "\xC3\x89t\xC3\xA9.Cl\xC3\xA9=\xE2\x82\xAC",
       u"[\u00C9t\u00E9]\nCl\u00E9=\u20AC\n"},
      {u"[Interface]\nTextBox1=a,\"b\"\n", "Interface.TextBox1=\xF0\x9F\x98\x80",
       u"[Interface]\nTextBox1=a,\"\U0001F600\"\n"},
  });
}

TEST(Utf16Script, OddLengthAndLoneSurrogatesStay) {
  const std::u16string lone(1, u'\xDC00');
  for (bool big_endian : {false, true}) {
    TempDir dir;
    const std::string tail = "\x7F";  // a last odd byte
    dir.Write("s.ini", Utf16File(u"[S]\n" + lone + u"=x\nk=a" + lone + u"\n", big_endian) + tail);
    ASSERT_EQ(Set(dir, "S.k=b").status, 0);
    EXPECT_TRUE(dir.Read("s.ini") ==
                Utf16File(u"[S]\n" + lone + u"=x\nk=b\n", big_endian) + tail);
  }
}

TEST(Utf16Script, RefusalsLeaveTheFileAlone) {
  // Names that only an encoded surrogate (ED A0 80) could spell.
  const std::u16string lone(1, u'\xD800');
  const std::string before =
      Utf16File(u"[S]\r\nk=same\r\n" + lone + u"=1\r\n[" + lone + u"]\r\nk=2\r\n", false);
  struct Case {
    std::string assignment, message;
  };
  std::vector<Case> cases = {{"S.k=same", ""},  // equal: not rewritten
                             {"S.missing=1", "Component not found"},
                             {"T.k=1", "Component not found"},
                             {"S.k=" + std::string(3, ' '), "Component could not be written"}};
  if (!TestingWindowsBuild()) {
    cases.push_back({"S.k=caf\xE9", "Component could not be written"});  // not UTF-8
    cases.push_back({"S.k\xE9=1", "Component not found"});
    // Encoded surrogates are no UTF-8, though the file's own lone ones read as them.
    cases.push_back({"S.k=\xED\xA0\x80", "Component could not be written"});
    cases.push_back({"S.\xED\xA0\x80=x", "Component not found"});
    cases.push_back({"\xED\xA0\x80.k=x", "Component not found"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.assignment);
    TempDir dir;
    const std::string path = dir.Write("s.ini", before);
    const ino_t inode = Inode(path);
    const std::string project = ProjectArg(dir.path()), option = "-O:s.ini:" + c.assignment;
    const RunResult result = RunVarnok({project, option}, {"\n"});
    EXPECT_EQ(result.status, 0);
    const auto quoted = [](const std::string& arg) {
      return arg.find(' ') != std::string::npos ? '"' + arg + '"' : arg;
    };
    const std::string echo = quoted(project) + " " + quoted(option) + " ";
    EXPECT_EQ(result.out, c.message.empty() ? "" : UsageScreen(c.message, echo));
    EXPECT_TRUE(dir.Read("s.ini") == before);
    EXPECT_EQ(Inode(path), inode);
  }
}

}  // namespace
}  // namespace e2e
