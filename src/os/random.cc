#include "os/random.h"

#include <chrono>

namespace varnok {

std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  if (count == 0 || SystemRandom(&bytes)) return bytes;
  static unsigned long long counter = 0;
  const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  unsigned long long seed = static_cast<unsigned long long>(now) ^ (++counter << 48) ^
                            reinterpret_cast<unsigned long long>(&counter);
  for (char& byte : bytes) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    byte = static_cast<char>(seed >> 56);
  }
  return bytes;
}

std::string HexDigits(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

}  // namespace varnok
