// UTF-16 text: the code units of a UTF-16 file in either byte order. Their
// conversions to and from 8-bit text are base/utf8.h's.
#ifndef VARNOK_INI_UTF16_H_
#define VARNOK_INI_UTF16_H_

#include <string>
#include <string_view>

#include "base/utf8.h"

namespace varnok {

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
