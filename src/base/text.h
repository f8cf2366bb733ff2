// Byte-string helpers shared by the command line and the script editor.
// Strings are 8-bit and uninterpreted (UTF-16 code units where a script is
// UTF-16); case rules cover the ASCII letters only.
#ifndef VARNOK_BASE_TEXT_H_
#define VARNOK_BASE_TEXT_H_

#include <string>
#include <string_view>

namespace varnok {

/// True for the codes 0 to 32, the characters that trimming removes.
inline bool IsTrimmable(char c) { return static_cast<unsigned char>(c) <= 32; }

/// `text` without the characters of codes 0 to 32 at either end.
std::string_view Trim(std::string_view text);

/// `c` with a-z turned into A-Z; every other byte unchanged.
inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

/// The UTF-16 code unit `c` with a-z turned into A-Z; every other unit unchanged.
inline char16_t UpperAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

/// `text` with a-z turned into A-Z.
std::string UpperAscii(std::string_view text);

/// Equality that ignores the case of ASCII letters.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

/// Whether `text` contains `part`, ignoring the case of ASCII letters.
bool ContainsIgnoreCase(std::string_view text, std::string_view part);

/// Up to `count` characters of `text` from the 1-based `position` (empty past the end).
std::string_view CopyFrom(std::string_view text, size_t position, size_t count);

}  // namespace varnok

#endif  // VARNOK_BASE_TEXT_H_
