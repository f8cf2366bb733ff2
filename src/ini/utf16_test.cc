#include "ini/utf16.h"

#include <gtest/gtest.h>

#include "ini/argument_text.h"

namespace varnok {
namespace {

TEST(Utf16, BytesInEitherOrder) {
  const std::u16string units = u"A\u20AC";
  EXPECT_EQ(Utf16Bytes(units, false), std::string("A\0\xAC\x20", 4));
  EXPECT_EQ(Utf16Bytes(units, true), std::string("\0A\x20\xAC", 4));
  EXPECT_EQ(Utf16Units(std::string("A\0\xAC\x20!", 5), false), units);  // odd byte left out
  EXPECT_EQ(Utf16Units(std::string("\0A\x20\xAC", 4), true), units);
}

TEST(ArgumentText, Utf8OnEveryPlatform) {
  EXPECT_EQ(ArgumentToUtf16("Main Key=1"), u"Main Key=1");
  EXPECT_EQ(ArgumentToUtf16(""), u"");
  EXPECT_EQ(ArgumentToUtf16("\xE2\x82\xAC\xF0\x9F\x98\x80"), u"\u20AC\U0001F600");
  EXPECT_FALSE(ArgumentToUtf16("caf\xE9"));
  EXPECT_FALSE(ArgumentToUtf16("\xED\xA0\xBD\xED\xB8\x80"));  // a pair, each half on its own
#ifdef _WIN32
  // The command line was UTF-16: an encoded surrogate is the unpaired unit it held.
  EXPECT_EQ(ArgumentToUtf16("\xED\xA0\x80"), std::u16string(1, u'\xD800'));
  EXPECT_EQ(ArgumentToUtf16("a\xED\xB0\x80z"), u"a\xDC00z");
#else
  // Encoded surrogates are WTF-8, not UTF-8: no argument holds one.
  EXPECT_FALSE(ArgumentToUtf16("\xED\xA0\x80"));
  EXPECT_FALSE(ArgumentToUtf16("a\xED\xB0\x80z"));
#endif
}

}  // namespace
}  // namespace varnok
