#include "cli/command_line_split.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

using Items = std::vector<std::string>;

bool NoLeadBytes(unsigned char) { return false; }
bool ShiftJisLeadBytes(unsigned char byte) { return byte >= 0x81 && byte <= 0x9F; }

Items Split(std::string_view line) { return SplitCommandLine(line, NoLeadBytes); }

TEST(SplitCommandLine, ProgramPathSkippedAndSeparatorsOneTo32) {
  EXPECT_EQ(Split(""), Items{});
  EXPECT_EQ(Split("  varnok.exe  "), Items{});
  EXPECT_EQ(Split("varnok -P:C:\\Dir\t-O:a\x01\x1F" "b   c\r\nd"),
            (Items{"-P:C:\\Dir", "-O:a", "b", "c", "d"}));
  EXPECT_EQ(Split("\"C:\\Program Files\\varnok.exe\" -P:x"), Items{"-P:x"});
  EXPECT_EQ(Split(std::string_view("p a\0b", 5)), Items{"a"});
}

TEST(SplitCommandLine, QuotesOpenStretchesAndAreRemoved) {
  EXPECT_EQ(Split("p \"-O:a.ini:S.k=two words\" x\"y \t z\"w \"open \r\n to the end"),
            (Items{"-O:a.ini:S.k=two words", "xy \t zw", "open \r\n to the end"}));
  // A leading pair vanishes, and an item of nothing but pairs with it.
  EXPECT_EQ(Split("p \"\" \"\"\"\" \"\"q a\"\"b \"\"\"c d\""), (Items{"q", "ab", "c d"}));
  // No escapes: a backslash before a quote is an ordinary character.
  EXPECT_EQ(Split("p \"a\\\"b c\" d"), (Items{"a\\b", "c d"}));
}

TEST(SplitCommandLine, DoubleByteCharactersAreTakenWhole) {
  EXPECT_EQ(SplitCommandLine("p \x81\"x y \x81 z \x9F", ShiftJisLeadBytes),
            (Items{"\x81\"x", "y", "\x81 z", "\x9F"}));
  EXPECT_EQ(SplitCommandLine("p \"\x81\" q\"", ShiftJisLeadBytes), Items{"\x81\" q"});
}

TEST(DashesForSlashes, EverySlashOutsideDoubleByteCharacters) {
  EXPECT_EQ(DashesForSlashes("/O:a.ini:S.k=http://x/y", NoLeadBytes), "-O:a.ini:S.k=http:--x-y");
  // 0x81 opens a character here, so the byte after it is not a slash of its own.
  EXPECT_EQ(DashesForSlashes("/P:\x81/\x81\x81/x/", ShiftJisLeadBytes), "-P:\x81/\x81\x81-x-");
  EXPECT_EQ(DashesForSlashes("\x81", ShiftJisLeadBytes), "\x81");
}

}  // namespace
}  // namespace varnok
