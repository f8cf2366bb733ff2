// Random bytes from the system, for names and tokens nobody can guess.
#ifndef VARNOK_OS_RANDOM_H_
#define VARNOK_OS_RANDOM_H_

#include <cstddef>
#include <string>

namespace varnok {

/// `count` random bytes from the system's generator for keys. Should the
/// system answer nothing, the clock, the process and a counter stand in:
/// unlikely to repeat, though not secret.
std::string RandomBytes(size_t count);

/// `bytes` as lower-case hexadecimal digits.
std::string HexDigits(const std::string& bytes);

/// Fills `out` from the system's generator for keys; false when it did not
/// answer in full. One per platform.
bool SystemRandom(std::string* out);

}  // namespace varnok

#endif  // VARNOK_OS_RANDOM_H_
