// UTF-8 and the UTF-16 code units it stands for.
//
// WTF-8 is UTF-8 that may also encode unpaired surrogates (each as its
// three-byte form), so that every sequence of code units, well formed or
// not, turns into 8-bit text and back unchanged.
#ifndef VARNOK_BASE_UTF8_H_
#define VARNOK_BASE_UTF8_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace varnok {

inline bool IsLeadSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsTrailSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

/// The character encoded at `text[*pos]` (which must be inside `text`),
/// moving past it; none, without moving, where no well-formed sequence
/// begins there: overlong forms, values past U+10FFFF, cut sequences, and
/// encoded surrogates unless `surrogates_allowed`.
std::optional<char32_t> DecodeUtf8(std::string_view text, size_t* pos, bool surrogates_allowed);

/// Appends `code` as UTF-8; a surrogate in its three-byte form.
void AppendUtf8(std::string* text, char32_t code);

/// `units` (UTF-16 code units: char16_t, or a 16-bit wchar_t) as WTF-8:
/// surrogate pairs become one four-byte character, unpaired surrogates their
/// three-byte form. Never fails.
template <typename Unit>
std::string Utf16ToWtf8(std::basic_string_view<Unit> units) {
  std::string text;
  text.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t code = static_cast<char16_t>(units[i]);
    if (IsLeadSurrogate(code) && i + 1 < units.size() && IsTrailSurrogate(units[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char16_t>(units[++i]) - 0xDC00);
    }
    AppendUtf8(&text, code);
  }
  return text;
}
inline std::string Utf16ToWtf8(std::u16string_view units) { return Utf16ToWtf8<char16_t>(units); }

/// The code units of well-formed UTF-8; none for overlong forms, encoded
/// surrogates, values past U+10FFFF and cut sequences.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

/// The code units of WTF-8 (UTF-8 in which unpaired surrogates are allowed
/// in their three-byte form; a lead surrogate followed by a trail one is
/// refused, since the pair has its four-byte form); the inverse of
/// Utf16ToWtf8.
std::optional<std::u16string> Wtf8ToUtf16(std::string_view text);

}  // namespace varnok

#endif  // VARNOK_BASE_UTF8_H_
