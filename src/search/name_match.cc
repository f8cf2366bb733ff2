#include "search/name_match.h"

#include <algorithm>
#include <vector>

#include "base/text.h"

namespace varnok {

namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The number of continuation bytes a UTF-8 lead byte announces (0 for any
// other byte).
size_t ContinuationCount(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 0xF0) return 3;
  if (byte >= 0xE0) return 2;
  return byte >= 0xC0 ? 1 : 0;
}

// The length of the character at `at` in `name`: a lead byte and the
// continuation bytes that follow it, as many as it announces, or one byte.
size_t CharacterLength(std::string_view name, size_t at) {
  const size_t end = std::min(name.size(), at + 1 + ContinuationCount(name[at]));
  size_t length = 1;
  while (at + length < end && IsContinuationByte(name[at + length])) ++length;
  return length;
}

}  // namespace

NamePattern::NamePattern(std::string_view pattern) {
  size_t end = pattern.size();
  while (end > 0 && (pattern[end - 1] == '.' || pattern[end - 1] == ' ')) --end;
  text_ = pattern.substr(0, end);
  wild_ = text_.find_first_of("*?") != std::string::npos;
}

bool NamePattern::Matches(std::string_view name) const {
  if (!wild_) return !text_.empty() && EqualsIgnoreCase(name, text_);
  return MatchesWild(name);
}

// Tracks every position of the name that the pattern read so far can reach;
// each pattern character moves the whole set one step. Patterns and names are
// short, and this form has no backtracking to get wrong.
bool NamePattern::MatchesWild(std::string_view name) const {
  const size_t n = name.size();
  std::vector<char> reach(n + 1, 0), next(n + 1, 0);
  reach[0] = 1;
  for (size_t p = 0; p < text_.size(); ++p) {
    const char token = text_[p];
    const bool dos_dot = token == '.' && p + 1 < text_.size() &&
                         (text_[p + 1] == '*' || text_[p + 1] == '?');
    std::fill(next.begin(), next.end(), 0);
    char any = 0;
    for (size_t i = 0; i <= n; ++i) {
      const bool at_end = i == n;
      if (token == '*') {
        any |= reach[i];
        next[i] = any;
      } else if (!reach[i]) {
        continue;
      } else if (token == '?') {
        next[(at_end || name[i] == '.') ? i : i + CharacterLength(name, i)] = 1;
      } else if (dos_dot && at_end) {
        next[i] = 1;
      } else if (!at_end && UpperAscii(name[i]) == UpperAscii(token)) {
        next[i + 1] = 1;
      }
    }
    reach.swap(next);
  }
  return reach[n] != 0;
}

int CompareListingOrder(std::string_view a, std::string_view b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    unsigned char x = UpperAscii(a[i]), y = UpperAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

}  // namespace varnok
