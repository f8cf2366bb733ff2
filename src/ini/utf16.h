// UTF-16 text: conversions between code units and 8-bit text, and the code
// units of a UTF-16 file in either byte order.
//
// WTF-8 is UTF-8 that may also encode unpaired surrogates (each as its
// three-byte form), so that every sequence of code units, well formed or
// not, turns into 8-bit text and back unchanged.
#ifndef VARNOK_INI_UTF16_H_
#define VARNOK_INI_UTF16_H_

#include <optional>
#include <string>
#include <string_view>

namespace varnok {

/// `units` as WTF-8: surrogate pairs become one four-byte character, unpaired
/// surrogates their three-byte form. Never fails.
std::string Utf16ToWtf8(std::u16string_view units);

/// The code units of well-formed UTF-8; none for overlong forms, encoded
/// surrogates, values past U+10FFFF and cut sequences.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

/// The code units of WTF-8 (UTF-8 in which unpaired surrogates are allowed
/// in their three-byte form; a lead surrogate followed by a trail one is
/// refused, since the pair has its four-byte form); the inverse of
/// Utf16ToWtf8.
std::optional<std::u16string> Wtf8ToUtf16(std::string_view text);

/// The code unit stored at `bytes[0..1]` in the given byte order.
inline char16_t Utf16Unit(const char* bytes, bool big_endian) {
  const unsigned first = static_cast<unsigned char>(bytes[0]);
  const unsigned second = static_cast<unsigned char>(bytes[1]);
  return static_cast<char16_t>(big_endian ? (first << 8 | second) : (second << 8 | first));
}

/// The code units that `bytes` holds (a last odd byte left out).
std::u16string Utf16Units(std::string_view bytes, bool big_endian);

/// `units` as bytes in the given byte order.
std::string Utf16Bytes(std::u16string_view units, bool big_endian);

}  // namespace varnok

#endif  // VARNOK_INI_UTF16_H_
