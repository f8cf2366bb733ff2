#include "base/utf8.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

TEST(Utf8, Wtf8KeepsEveryUtf16UnitAndComesBack) {
  const struct {
    std::u16string units;
    std::string text;
  } cases[] = {
      {u"a\u00E9\u20AC", "a\xC3\xA9\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},                             // a pair: one character
      {std::u16string(1, u'\xD83D') + u"x", "\xED\xA0\xBDx"},          // lone lead surrogate
      {std::u16string(1, u'\xDE00'), "\xED\xB8\x80"},                  // lone trail surrogate
      {u"x" + std::u16string(1, u'\xD800'), "x\xED\xA0\x80"},          // lead at the end
      {std::u16string(2, u'\0'), std::string(2, '\0')},
      {u"\u07FF\u0800\uFFFF", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},     // edges of each length
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf16ToWtf8(c.units), c.text);
    EXPECT_EQ(Wtf8ToUtf16(c.text), c.units);
  }
}

TEST(Utf8, Utf8IsCheckedStrictly) {
  EXPECT_EQ(Utf8ToUtf16("h\xC3\xA9 \xF4\x8F\xBF\xBF"), u"h\u00E9 \U0010FFFF");
  const char* const refused[] = {
      "\xC0\x80",          // overlong NUL
      "\xE0\x80\xAF",      // overlong "/"
      "\xED\xA0\x80",      // an encoded surrogate
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xE2\x82",          // cut short
      "\x80",              // a continuation byte alone
      "\xE9t\xE9",         // Latin-1
      "\xF5\x80\x80\x80",
  };
  for (const char* text : refused) EXPECT_FALSE(Utf8ToUtf16(text)) << text;
  EXPECT_FALSE(Wtf8ToUtf16("\xE2\x82"));
  EXPECT_FALSE(Wtf8ToUtf16("\xC0\x80"));
  // A pair spelled as two surrogates would come back in its four-byte form.
  EXPECT_FALSE(Wtf8ToUtf16("\xED\xA0\x80\xED\xB0\x80"));
  EXPECT_EQ(Wtf8ToUtf16("\xED\xB0\x80\xED\xA0\x80"), std::u16string(u"\xDC00\xD800"));
}

}  // namespace
}  // namespace varnok
