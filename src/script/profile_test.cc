#include "script/profile.h"

#include <gtest/gtest.h>

#include <string>

namespace varnok {
namespace {

// The value a read delivers, or "<absent>".
std::string Read(std::string_view text, std::string_view section, std::string_view key) {
  auto span = LocateValue(text, section, key);
  if (!span) return "<absent>";
  return ValueAsRead(text, *span);
}

TEST(ProfileRead, LineEndings) {
  EXPECT_EQ(Read("[S]\r\na=1\r\nb=2\r\n", "S", "b"), "2");
  EXPECT_EQ(Read("[S]\ra=1\rb=2", "S", "b"), "2");
  EXPECT_EQ(Read("[S]\n\r\na=1\r\r\nb=2", "S", "b"), "2");
  EXPECT_EQ(Read("[S]\na=last line", "S", "a"), "last line");
  EXPECT_EQ(Read("[S]\r\n\r\n\r\n  \t\r\na=1", "S", "a"), "1");
}

TEST(ProfileRead, ByteOrderMarks) {
  EXPECT_EQ(Read("\xEF\xBB\xBF[S]\na=1", "S", "a"), "1");
  // A mark anywhere else is an ordinary byte of the name.
  EXPECT_EQ(Read("[T]\n\xEF\xBB\xBF[S]\na=1", "S", "a"), "<absent>");
}

TEST(ProfileRead, SectionHeaders) {
  EXPECT_EQ(Read("[ S \t]\na=1", "s", "a"), "1");
  EXPECT_EQ(Read("  [S] trailing words\na=1", "S", "a"), "1");
  EXPECT_EQ(Read("[S\na=1", "S", "a"), "1");                 // no "]": name runs to the end
  EXPECT_EQ(Read("[S]x]\na=1", "S", "a"), "1");              // the first "]" ends the name
  EXPECT_EQ(Read("[]\na=1", "", "a"), "1");
  EXPECT_EQ(Read("S]\na=1", "S", "a"), "<absent>");          // no leading "[": not a header
  EXPECT_EQ(Read("a=1\n[S]\nb=2", "S", "a"), "<absent>");    // before any header
  EXPECT_EQ(Read("a=1\n[S]\nb=2", "", "a"), "<absent>");
  EXPECT_EQ(Read("[S]\na=1\n[T]\nb=2", "S", "b"), "<absent>");
}

TEST(ProfileRead, BracketsThatOpenNoHeader) {
  EXPECT_EQ(Read("[T]\nv=[S]\na=1", "S", "a"), "<absent>");     // inside a value
  EXPECT_EQ(Read("x [S]\na=1", "S", "a"), "<absent>");           // after other text
  EXPECT_EQ(Read("[T]\nv=[S]\r \t[S]\na=1", "S", "a"), "1");    // after a lone CR and blanks
  EXPECT_EQ(Read("[T]\na=0\n[S]", "S", "a"), "<absent>");        // a header ends the text
}

TEST(ProfileRead, DuplicatesAndCase) {
  EXPECT_EQ(Read("[S]\nKey=1\nkey=2", "s", "KEY"), "1");
  // Only the first section of a name is searched.
  EXPECT_EQ(Read("[S]\na=1\n[s]\nb=2", "S", "b"), "<absent>");
  EXPECT_EQ(Read("[S]\na=1", "  S  ", " a "), "1");          // spaces around names stripped
  EXPECT_EQ(Read("[S]\na=1", "\tS", "a"), "<absent>");       // but not tabs
  EXPECT_EQ(Read("[\xC4]\na=1", "\xE4", "a"), "<absent>");   // ASCII case rules only
}

TEST(ProfileRead, EntriesAndComments) {
  EXPECT_EQ(Read("[S]\n;a=1\na=2", "S", "a"), "2");
  EXPECT_EQ(Read("[S]\n  ; a=1\n#a=3\na=2", "S", "#a"), "3");  // "#" is not special
  EXPECT_EQ(Read("[S]\nnot an entry\na=2", "S", "not an entry"), "<absent>");
  EXPECT_EQ(Read("[S]\n \t a \v= x=y; z # w \t\n", "S", "a"), "x=y; z # w");
  EXPECT_EQ(Read("[S]\n=v", "S", ""), "v");
  EXPECT_EQ(Read("[S]\na=\f1\f", "S", "a"), "\f1\f");         // form feed is no blank
  EXPECT_EQ(Read(std::string("[S]\na=x\0y\n", 10), "S", "a"), std::string("x\0y", 3));
  EXPECT_EQ(Read("[S]\na=   ", "S", "a"), "");
}

TEST(ProfileRead, Quotes) {
  EXPECT_EQ(Read("[S]\na=\"x y\"", "S", "a"), "x y");
  EXPECT_EQ(Read("[S]\na=\"\"", "S", "a"), "");
  EXPECT_EQ(Read("[S]\na=\"", "S", "a"), "\"");
  EXPECT_EQ(Read("[S]\na=\"x\",\"y\"", "S", "a"), "x\",\"y");
  EXPECT_EQ(Read("[S]\na='x'", "S", "a"), "'x'");
  EXPECT_EQ(Read("[S]\na=\"\"x\"\"", "S", "a"), "\"x\"");     // one pair only
}

TEST(ProfileSpan, CoversTheStoredValueOnly) {
  const std::string text = "\xEF\xBB\xBF[S]\r\n Key \t=  \"old, value\" \t\r\nnext=1";
  auto span = LocateValue(text, "S", "key");
  ASSERT_TRUE(span);
  EXPECT_EQ(text.substr(span->begin, span->end - span->begin), "\"old, value\"");
  EXPECT_EQ(text.substr(span->end), " \t\r\nnext=1");
}

TEST(ProfileSpan, LoneCarriageReturnsInALargeText) {
  std::string text = "[S]\r";
  for (int i = 0; i < 200000; ++i) text += "k" + std::to_string(i) + "=v\r";
  text += "last=found";
  EXPECT_EQ(Read(text, "S", "last"), "found");
}

}  // namespace
}  // namespace varnok
