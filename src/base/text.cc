#include "base/text.h"

namespace varnok {

std::string_view Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsTrimmable(text[begin])) ++begin;
  while (end > begin && IsTrimmable(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = UpperAscii(c);
  return upper;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (size_t start = 0; start + part.size() <= text.size(); ++start) {
    if (EqualsIgnoreCase(text.substr(start, part.size()), part)) return true;
  }
  return false;
}

std::string_view CopyFrom(std::string_view text, size_t position, size_t count) {
  if (position < 1 || position > text.size()) return {};
  return text.substr(position - 1, count);
}

}  // namespace varnok
