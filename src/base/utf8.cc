#include "base/utf8.h"

namespace varnok {

namespace {

void AppendUtf16(std::u16string* units, char32_t code) {
  if (code < 0x10000) {
    units->push_back(static_cast<char16_t>(code));
    return;
  }
  code -= 0x10000;
  units->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
  units->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
}

std::optional<std::u16string> ToUtf16(std::string_view text, bool surrogates_allowed) {
  std::u16string units;
  units.reserve(text.size());
  char32_t previous = 0;
  for (size_t pos = 0; pos < text.size();) {
    const auto code = DecodeUtf8(text, &pos, surrogates_allowed);
    if (!code) return std::nullopt;
    // A pair written as two encoded surrogates is no WTF-8: the pair has its
    // own four-byte form, and only that one comes back from the units.
    if (IsLeadSurrogate(previous) && IsTrailSurrogate(*code)) return std::nullopt;
    AppendUtf16(&units, *code);
    previous = *code;
  }
  return units;
}

}  // namespace

std::optional<char32_t> DecodeUtf8(std::string_view text, size_t* pos, bool surrogates_allowed) {
  const unsigned char lead = static_cast<unsigned char>(text[*pos]);
  const int tail = lead < 0x80 ? 0 : lead < 0xC2 ? -1 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2
                                                                          : lead < 0xF5 ? 3 : -1;
  if (tail < 0 || text.size() - *pos <= static_cast<size_t>(tail)) return std::nullopt;
  char32_t code = tail == 0 ? lead : lead & (0x3F >> tail);
  for (int i = 1; i <= tail; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[*pos + i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    code = code << 6 | (next & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  if (code < kLeast[tail] || code > 0x10FFFF) return std::nullopt;
  if (!surrogates_allowed && code >= 0xD800 && code <= 0xDFFF) return std::nullopt;
  *pos += 1 + tail;
  return code;
}

void AppendUtf8(std::string* text, char32_t code) {
  if (code < 0x80) {
    text->push_back(static_cast<char>(code));
    return;
  }
  const int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
  text->push_back(static_cast<char>(kLead[tail] | (code >> (6 * tail))));
  for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6) {
    text->push_back(static_cast<char>(0x80 | ((code >> shift) & 0x3F)));
  }
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) { return ToUtf16(text, false); }

std::optional<std::u16string> Wtf8ToUtf16(std::string_view text) { return ToUtf16(text, true); }

}  // namespace varnok
