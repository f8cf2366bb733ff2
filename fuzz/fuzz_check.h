// What the fuzz targets share: the check of a property, and the input cut
// into fields.
#ifndef VARNOK_FUZZ_FUZZ_CHECK_H_
#define VARNOK_FUZZ_FUZZ_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// A property that does not hold ends the run, so that libFuzzer keeps the
// input and a replay of it fails.
#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                   #condition);                                            \
      std::abort();                                                        \
    }                                                                      \
  } while (0)

namespace fuzz {

/// The input as `count` fields: each but the last ends at a line feed, the
/// last is the rest (all of it, line feeds included). Missing fields are empty.
inline std::vector<std::string_view> Fields(const uint8_t* data, size_t size, size_t count) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> fields;
  while (fields.size() + 1 < count) {
    const size_t end = rest.find('\n');
    fields.push_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  fields.push_back(rest);
  return fields;
}

/// Case of the ASCII letters ignored, written apart from the product's.
inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

inline bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

/// `text` with the case of every ASCII letter turned over.
inline std::string SwapCase(std::string_view text) {
  std::string swapped(text);
  for (char& c : swapped) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    else c = Lower(c);
  }
  return swapped;
}

}  // namespace fuzz

#endif  // VARNOK_FUZZ_FUZZ_CHECK_H_
