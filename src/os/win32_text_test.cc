#include "os/win32_text.h"

#include <gtest/gtest.h>

#include <string>

namespace varnok {
namespace {

// Every unit sequence comes back: pairs as four bytes, an unpaired surrogate
// in its three-byte form; bytes that begin no sequence become U+FFFD.
TEST(Win32Text, Utf8AndUtf16KeepEveryUnit) {
  const std::wstring units = {L'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xD800, L'z', 0xDC00};
  const std::string text = Utf8FromWide(units);
  EXPECT_EQ(text, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\xA0\x80z\xED\xB0\x80");
  EXPECT_EQ(WideFromUtf8(text), units);
  const wchar_t kBad = 0xFFFD;
  EXPECT_EQ(WideFromUtf8("a\xFF\xC3(\xE2\x82"), (std::wstring{L'a', kBad, kBad, L'(', kBad, kBad}));
  EXPECT_EQ(WideFromUtf8("\xC0\x80\xF4\x90\x80\x80"), std::wstring(6, kBad));  // overlong, too large
}

// A character the code page cannot hold refuses the whole text, however
// close a look-alike the code page has.
TEST(Win32Text, ExactConversionRefusesWhatTheCodePageLacks) {
  EXPECT_EQ(ExactCodePageFromUtf8("Caf\xC3\xA9 \xE2\x82\xAC", 1252), "Caf\xE9 \x80");
  EXPECT_EQ(ExactCodePageFromUtf8("", 1252), "");
  EXPECT_EQ(ExactCodePageFromUtf8("?", 1252), "?");
  EXPECT_FALSE(ExactCodePageFromUtf8("\xEF\xBC\x82", 1252));  // fullwidth quotation mark
  EXPECT_FALSE(ExactCodePageFromUtf8("a\xCE\xA9", 1252));
  EXPECT_FALSE(ExactCodePageFromUtf8("\xED\xA0\x80", 1252));
  EXPECT_FALSE(ExactCodePageFromUtf8("caf\xE9", 1252));  // no UTF-8
  EXPECT_EQ(ExactCodePageFromUtf8("\xCE\xA9\xF0\x9F\x98\x80", CP_UTF8), "\xCE\xA9\xF0\x9F\x98\x80");
  EXPECT_FALSE(ExactCodePageFromUtf8("\xED\xA0\x80", CP_UTF8));
}

TEST(Win32Text, ShownTextTakesNoLookAlike) {
  EXPECT_EQ(CodePageFromUtf8("x\xEF\xBC\x82\xCE\xA9", 1252), "x??");
  EXPECT_EQ(CodePageFromUtf8("\xED\xA0\x80", CP_UTF8), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace varnok
