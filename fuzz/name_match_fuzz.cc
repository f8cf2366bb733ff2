// File name patterns and the listing order.
//
// Input: a pattern and two names, one a line. Properties: a pattern without
// wildcards matches exactly the names equal to it ignoring ASCII case (and
// is exactly only the name itself); a pattern with wildcards matches as a
// plain recursive reference of the rules does; case never matters; "*" and
// "*.*" match every name; the listing order is a total order.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "search/name_match.h"

namespace {

using varnok::NamePattern;

constexpr size_t kMaxReferenceLength = 64;  // the reference is quadratic

// The wildcard rules by recursion over (pattern position, name position),
// memoised: '*' any run; '?' one character other than '.', or nothing at a
// '.' or the end; a '.' before '*' or '?' also matches the end of the name.
// A character is a UTF-8 lead byte with the continuation bytes after it,
// as many as its leading one bits announce (at most three), or one byte.
class Reference {
 public:
  Reference(std::string_view pattern, std::string_view name)
      : pattern_(pattern), name_(name), memo_((pattern.size() + 1) * (name.size() + 1), -1) {}
  bool Matches(size_t p = 0, size_t n = 0) {
    signed char& known = memo_[p * (name_.size() + 1) + n];
    if (known < 0) known = Compute(p, n);
    return known == 1;
  }

 private:
  size_t CharacterSize(size_t n) const {
    const unsigned char lead = static_cast<unsigned char>(name_[n]);
    size_t announced = 0;
    for (unsigned bit = 0x40; lead >= 0xC0 && announced < 3 && (lead & bit) != 0; bit >>= 1) {
      ++announced;
    }
    size_t size = 1;
    while (size <= announced && n + size < name_.size() &&
           (static_cast<unsigned char>(name_[n + size]) >> 6) == 2) {
      ++size;
    }
    return size;
  }

  bool Compute(size_t p, size_t n) {
    if (p == pattern_.size()) return n == name_.size();
    const char token = pattern_[p];
    const bool at_end = n == name_.size();
    if (token == '*') return Matches(p + 1, n) || (!at_end && Matches(p, n + 1));
    if (token == '?') return Matches(p + 1, at_end || name_[n] == '.' ? n : n + CharacterSize(n));
    if (token == '.' && at_end && p + 1 < pattern_.size()) {
      return (pattern_[p + 1] == '*' || pattern_[p + 1] == '?') && Matches(p + 1, n);
    }
    return !at_end && fuzz::Lower(token) == fuzz::Lower(name_[n]) && Matches(p + 1, n + 1);
  }

  std::string_view pattern_, name_;
  std::vector<signed char> memo_;
};

std::string_view WithoutTrailingDotsAndSpaces(std::string_view pattern) {
  while (!pattern.empty() && (pattern.back() == '.' || pattern.back() == ' ')) {
    pattern.remove_suffix(1);
  }
  return pattern;
}

void CheckMatch(std::string_view pattern_text, std::string_view name) {
  const NamePattern pattern(pattern_text);
  const std::string_view kept = WithoutTrailingDotsAndSpaces(pattern_text);
  const bool matches = pattern.Matches(name);
  FUZZ_CHECK(pattern.MatchesNothing() == kept.empty());
  FUZZ_CHECK(matches == pattern.Matches(fuzz::SwapCase(name)));
  FUZZ_CHECK(matches == NamePattern(fuzz::SwapCase(pattern_text)).Matches(name));
  FUZZ_CHECK(NamePattern("*").Matches(name) && NamePattern("*.*").Matches(name));
  if (kept.find_first_of("*?") == std::string_view::npos) {
    FUZZ_CHECK(matches == (!kept.empty() && fuzz::SameIgnoringCase(name, kept)));
    FUZZ_CHECK(pattern.IsExactly(name) == (name == kept));
  } else {
    FUZZ_CHECK(!pattern.IsExactly(name));
    if (kept.size() <= kMaxReferenceLength && name.size() <= kMaxReferenceLength) {
      FUZZ_CHECK(matches == Reference(kept, name).Matches());
    }
  }
}

int Sign(int value) { return (value > 0) - (value < 0); }

int Order(std::string_view a, std::string_view b) {
  return Sign(varnok::CompareListingOrder(a, b));
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return upper;
}

void CheckOrder(std::string_view a, std::string_view b, std::string_view c) {
  const int ab = Order(a, b);
  FUZZ_CHECK(ab == -Order(b, a));
  FUZZ_CHECK((ab == 0) == (a == b));
  // Upper-cased bytes decide (as unsigned); raw bytes only break their ties.
  if (Upper(a) != Upper(b)) FUZZ_CHECK(ab == Sign(Upper(a).compare(Upper(b))));
  if (ab != 0 && Order(b, c) == ab) FUZZ_CHECK(Order(a, c) == ab);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = fuzz::Fields(data, size, 3);
  CheckMatch(fields[0], fields[1]);
  CheckMatch(fields[0], fields[2]);
  CheckOrder(fields[1], fields[2], fields[0]);
  return 0;
}
