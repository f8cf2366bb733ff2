#include "ini/utf16.h"

namespace varnok {

std::u16string Utf16Units(std::string_view bytes, bool big_endian) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) units[i] = Utf16Unit(&bytes[2 * i], big_endian);
  return units;
}

std::string Utf16Bytes(std::u16string_view units, bool big_endian) {
  std::string bytes;
  bytes.reserve(2 * units.size());
  for (char16_t unit : units) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    bytes.push_back(big_endian ? high : low);
    bytes.push_back(big_endian ? low : high);
  }
  return bytes;
}

}  // namespace varnok
