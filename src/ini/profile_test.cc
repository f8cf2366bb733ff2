#include "ini/profile.h"

#include <gtest/gtest.h>

#include <string>

#include "ini/utf16.h"

#ifdef _WIN32
#include <windows.h>
#endif

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

// An empty file may come as a view without any data behind it; reading it
// must not hand that null pointer to the byte searches.
TEST(ProfileRead, AnEmptyTextWithoutDataHoldsNothing) {
  EXPECT_EQ(Read(std::string_view(), "S", "a"), "<absent>");
  EXPECT_EQ(Read(std::string_view(), "", ""), "<absent>");
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
  EXPECT_EQ(Read("[Zz]\nzeta_Z=1", "zZ", "ZETA_z"), "1");
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

// `units` as a UTF-16 file with its mark.
std::string Le(const std::u16string& units) { return Utf16Bytes(u"\uFEFF" + units, false); }
std::string Be(const std::u16string& units) { return Utf16Bytes(u"\uFEFF" + units, true); }

TEST(ProfileUtf16, SameRulesOnCodeUnits) {
  for (auto encode : {Le, Be}) {
    EXPECT_EQ(Read(encode(u"[T]\r\nk=0\r\n[s]\r\n \t Key \v= \"v\u00E9\u20AC\" \r\n"), "S", "KEY"),
              "v\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(Read(encode(u"[S]\na=1\rb=\U0001F600\n"), " S ", "b"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Read(encode(u"[Zone]\nzed=1"), "zONE", "ZED"), "1");
    EXPECT_EQ(Read(encode(u"[S]\n;k=1\n[T]\nk=2"), "S", "k"), "<absent>");
    EXPECT_EQ(Read(encode(u"[\u00C4]\nk=1"), "\xC3\xA4", "k"), "<absent>");  // ASCII case only
  }
  // A unit whose one byte is '[' or '=' is no bracket and no equals sign.
  EXPECT_EQ(Read(Le(u"\u015BS]\nk=1\n[S]\nk=2"), "S", "k"), "2");
  EXPECT_EQ(Read(Le(u"[S]\nk\u3D00x=1\nk=2"), "S", "k"), "2");
  EXPECT_EQ(Read(Be(u"[S]\nk\u003D\u0A00=1"), "S", "k"), "\xE0\xA8\x80=1");
}

TEST(ProfileUtf16, OddBytesAndLoneSurrogatesStay) {
  const std::string text = Le(u"[S]\nk=a" + std::u16string(1, u'\xD800') + u"b\n") + "!";
  const auto span = LocateValue(text, "S", "k");
  ASSERT_TRUE(span);
  EXPECT_EQ(ValueAsRead(text, *span), "a\xED\xA0\x80" "b");
  const auto write = PlanValueWrite(text, *span, ValueAsRead(text, *span) + "\xE2\x82\xAC");
  ASSERT_TRUE(write);
  EXPECT_EQ(std::string(write->before) + write->value + std::string(write->after),
            Le(u"[S]\nk=a" + std::u16string(1, u'\xD800') + u"b\u20AC\n") + "!");
}

// A lone surrogate in the file is read and written back as its encoded form,
// but an argument is UTF-8 and can never name or store one.
TEST(ProfileUtf16, ArgumentsHoldNoEncodedSurrogate) {
#ifdef _WIN32
  GTEST_SKIP() << "arguments come from a UTF-16 command line here, which may hold one";
#endif
  const std::u16string lone(1, u'\xD800');
  const std::string encoded = "\xED\xA0\x80";
  const std::string text = Le(u"[S]\n" + lone + u"=1\n[" + lone + u"]\nk=2\n");
  EXPECT_EQ(Read(text, "S", encoded), "<absent>");
  EXPECT_EQ(Read(text, encoded, "k"), "<absent>");
  EXPECT_FALSE(ArgumentAsValueText(text, encoded));
  EXPECT_FALSE(ArgumentAsValueText(text, "x" + encoded));
  EXPECT_EQ(ArgumentAsValueText(text, "\xE2\x82\xAC"), "\xE2\x82\xAC");
  EXPECT_EQ(ArgumentAsValueText("[S]\nk=1", encoded), encoded);  // a byte text takes any bytes
}

TEST(ProfileUtf16, WritesInTheFilesByteOrder) {
  for (auto encode : {Le, Be}) {
    const std::string text = encode(u"[S]\r\nk = \"old\" \r\n");
    const auto span = LocateValue(text, "S", "k");
    ASSERT_TRUE(span);
    const auto write = PlanValueWrite(text, *span, "n\xC3\xA9w");
    ASSERT_TRUE(write);
    EXPECT_EQ(std::string(write->before) + write->value + std::string(write->after),
              encode(u"[S]\r\nk = n\u00E9w \r\n"));
    EXPECT_FALSE(PlanValueWrite(text, *span, "\xE2\x82"));  // no WTF-8: cannot be stored
    EXPECT_FALSE(PlanValueWrite(text, *span, " \"\" "));
  }
  // A byte text takes the value as it is.
  const auto plain = PlanValueWrite("[S]\nk=1", {6, 7}, "\xE9");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->value, "\xE9");
}

#ifdef _WIN32
// On Windows the arguments are UTF-8 read from the UTF-16 command line. A
// byte script is in the ANSI code page: names and values reach it converted
// exactly, and what the code page cannot hold names nothing and is never
// stored, not even as a look-alike. A UTF-16 script gets every unit.
TEST(ProfileArguments, ByteScriptsInTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs the ANSI code page 1252";
  const std::string fullwidth_quote = "\xEF\xBC\x82", omega = "\xCE\xA9";
  EXPECT_EQ(Read("[Caf\xE9]\n\xC4=1", "Caf\xC3\xA9", "\xC3\x84"), "1");
  EXPECT_EQ(Read("[\"]\n\"=1\n[O]\nO=2", fullwidth_quote, fullwidth_quote), "<absent>");
  EXPECT_EQ(Read("[O]\nO=2", omega, "O"), "<absent>");
  EXPECT_EQ(Read("[O]\nO=2", "O", omega), "<absent>");
  EXPECT_EQ(Read("[?]\n?=1", "\xED\xA0\x80", "?"), "<absent>");  // a lone surrogate
  const std::string text = "[S]\nk=1";
  EXPECT_EQ(ArgumentAsValueText(text, "\xE2\x82\xAC \xC3\xA9"), "\x80 \xE9");
  EXPECT_EQ(ArgumentAsValueText(text, "?"), "?");
  EXPECT_FALSE(ArgumentAsValueText(text, "x" + fullwidth_quote));
  EXPECT_FALSE(ArgumentAsValueText(text, omega));
  EXPECT_FALSE(ArgumentAsValueText(text, "\xED\xA0\x80"));
}

TEST(ProfileArguments, Utf16ScriptsGetEveryUnit) {
  const std::u16string lone(1, u'\xD800');
  const std::string text = Le(u"[S]\n" + lone + u"=1\n[\uFF02\u03A9]\nk=2\n");
  EXPECT_EQ(Read(text, "S", "\xED\xA0\x80"), "1");
  EXPECT_EQ(Read(text, "\xEF\xBC\x82\xCE\xA9", "k"), "2");
  EXPECT_EQ(ArgumentAsValueText(text, "\xEF\xBC\x82\xED\xA0\x80"), "\xEF\xBC\x82\xED\xA0\x80");
}
#endif

}  // namespace
}  // namespace varnok
