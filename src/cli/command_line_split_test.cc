#include "cli/command_line_split.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

using Items = std::vector<std::u16string>;

Items Split(std::u16string_view line) { return SplitCommandLine(line); }

TEST(SplitCommandLine, ProgramPathSkippedAndSeparatorsOneTo32) {
  EXPECT_EQ(Split(u""), Items{});
  EXPECT_EQ(Split(u"  varnok.exe  "), Items{});
  EXPECT_EQ(Split(u"varnok -P:C:\\Dir\t-O:a\x01\x1F" u"b   c\r\nd"),
            (Items{u"-P:C:\\Dir", u"-O:a", u"b", u"c", u"d"}));
  EXPECT_EQ(Split(u"\"C:\\Program Files\\varnok.exe\" -P:x"), Items{u"-P:x"});
  EXPECT_EQ(Split(std::u16string_view(u"p a\0b \"c", 8)), Items{u"a"});
  // Units above 32 separate nothing, however they look: no-break and ideographic spaces.
  EXPECT_EQ(Split(u"p a\u00A0b\u3000c\x7F" u"d"), Items{u"a\u00A0b\u3000c\x7F" u"d"});
}

TEST(SplitCommandLine, QuotesOpenStretchesAndAreRemoved) {
  EXPECT_EQ(Split(u"p \"-O:a.ini:S.k=two words\" x\"y \t z\"w \"open \r\n to the end"),
            (Items{u"-O:a.ini:S.k=two words", u"xy \t zw", u"open \r\n to the end"}));
  // A leading pair vanishes, and an item of nothing but pairs with it.
  EXPECT_EQ(Split(u"p \"\" \"\"\"\" \"\"q a\"\"b \"\"\"c d\""), (Items{u"q", u"ab", u"c d"}));
  // No escapes: a backslash before a quote is an ordinary character.
  EXPECT_EQ(Split(u"p \"a\\\"b c\" d"), (Items{u"a\\b", u"c d"}));
  EXPECT_EQ(Split(u"p \""), Items{u""});
}

// Only U+0022 is a quote. The fullwidth quotation mark (U+FF02), which a
// best-fit conversion to an ANSI code page turns into '"', stays inside its
// stretch, so a quoted item can never carry a switch of its own.
TEST(SplitCommandLine, OnlyTheAsciiQuoteIsAQuote) {
  EXPECT_EQ(Split(u"p -P:a \"-O:s.ini:S.k=x\uFF02 -P:C:\\other \uFF02\""),
            (Items{u"-P:a", u"-O:s.ini:S.k=x\uFF02 -P:C:\\other \uFF02"}));
  EXPECT_EQ(Split(u"p \uFF02a b\uFF02 \u201Cc d\u201D"),
            (Items{u"\uFF02a", u"b\uFF02", u"\u201Cc", u"d\u201D"}));
}

// Surrogates are units like any other above 32: a pair stays whole, and a
// lone one is kept as it came.
TEST(SplitCommandLine, SurrogatesAreKeptAsTheyCame) {
  const std::u16string lone(1, u'\xD800');
  EXPECT_EQ(Split(u"p a\U0001F600.ini \"\U0001F600 x\""),
            (Items{u"a\U0001F600.ini", u"\U0001F600 x"}));
  EXPECT_EQ(Split(u"p " + lone + u" \"" + lone + u"\"z"), (Items{lone, lone + u"z"}));
}

}  // namespace
}  // namespace varnok
