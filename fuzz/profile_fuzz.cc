// Locating and replacing one value in arbitrary bytes.
//
// Input: a section, a key, a new value and a second key, one a line, then
// the file's text. Properties: a found value is the trimmed rest of its
// entry's line and is found again whatever the case of the names; storing a
// value changes exactly the old value's bytes, refuses exactly the values
// that cannot be read back, and leaves the key reading as the value and every
// other key as it was. A UTF-16 text (FF FE or FE FF first) is located in
// whole code units, and a value stored in it reads back as it was given.
#include <optional>
#include <algorithm>
#include <string>

#include "fuzz_check.h"
#include "ini/profile.h"
#include "ini/utf16.h"

namespace {

using varnok::LocateValue;
using varnok::ValueSpan;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view Unquote(std::string_view value) {
  const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
  return quoted ? value.substr(1, value.size() - 2) : value;
}

std::optional<std::string_view> Read(std::string_view text, std::string_view section,
                                     std::string_view key) {
  const auto span = LocateValue(text, section, key);
  if (!span) return std::nullopt;
  FUZZ_CHECK(span->begin <= span->end && span->end <= text.size());
  return Unquote(text.substr(span->begin, span->end - span->begin));
}

void CheckFound(std::string_view text, std::string_view section, std::string_view key,
                const ValueSpan& span) {
  const std::string_view stored = text.substr(span.begin, span.end - span.begin);
  FUZZ_CHECK(stored.find_first_of("\r\n") == std::string_view::npos);
  FUZZ_CHECK(TrimBlanks(stored) == stored);
  size_t equals = span.begin;
  while (equals > 0 && IsBlank(text[equals - 1])) --equals;
  FUZZ_CHECK(equals > 0 && text[equals - 1] == '=');
  const size_t end = text.find_first_of("\r\n", span.end);
  FUZZ_CHECK(TrimBlanks(text.substr(span.end, end - span.end)).empty());
  const auto again =
      LocateValue(text, "  " + fuzz::SwapCase(section) + " ", " " + fuzz::SwapCase(key));
  FUZZ_CHECK(again && again->begin == span.begin && again->end == span.end);
}

void CheckWrite(std::string_view text, std::string_view section, std::string_view key,
                std::string_view value, std::string_view other_key) {
  const auto span = LocateValue(text, section, key);
  if (!span) return;
  const auto write = varnok::PlanValueWrite(text, *span, value);
  const std::string_view as_read = Unquote(TrimBlanks(value));
  const bool refused = value.find_first_of("\r\n") != std::string_view::npos || as_read.empty();
  FUZZ_CHECK(write.has_value() == !refused);
  if (!write) return;
  FUZZ_CHECK(write->before == text.substr(0, span->begin));
  FUZZ_CHECK(write->after == text.substr(span->end));
  std::string written(write->before);
  FUZZ_CHECK(write->value == value);
  written.append(value).append(write->after);
  FUZZ_CHECK(Read(written, section, key) == as_read);
  const auto other = LocateValue(text, section, other_key);
  const auto other_now = Read(written, section, other_key);
  if (other && other->begin == span->begin) FUZZ_CHECK(other_now == as_read);
  else FUZZ_CHECK(other_now == Read(text, section, other_key));
}

}  // namespace

// In UTF-16 text: the span covers whole code units after the mark, and a
// stored value (given as WTF-8) reads back as given, less blanks and quotes.
void CheckUtf16Write(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value) {
  const auto span = LocateValue(text, section, key);
  if (!span) return;
  FUZZ_CHECK(span->begin % 2 == 0 && span->end % 2 == 0);
  FUZZ_CHECK(span->begin >= 2 && span->begin <= span->end && span->end <= text.size());
  const auto write = varnok::PlanValueWrite(text, *span, value);
  const bool storable = varnok::Wtf8ToUtf16(value).has_value();
  const bool refused = value.find_first_of("\r\n") != std::string_view::npos ||
                       Unquote(TrimBlanks(value)).empty() || !storable;
  FUZZ_CHECK(write.has_value() == !refused);
  if (!write) return;
  std::string written(write->before);
  written.append(write->value).append(write->after);
  // The value is found where it was written, after its own leading blanks
  // (one code unit each).
  const size_t lead = std::min(value.find_first_not_of(" \t\v"), value.size());
  const auto again = LocateValue(written, section, key);
  FUZZ_CHECK(again && again->begin == span->begin + 2 * lead);
  FUZZ_CHECK(varnok::ValueAsRead(written, *again) == Unquote(TrimBlanks(value)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = fuzz::Fields(data, size, 5);
  const std::string_view section = fields[0], key = fields[1], value = fields[2];
  const std::string_view other_key = fields[3], text = fields[4];
  if (varnok::EncodingOf(text) != varnok::ProfileEncoding::kBytes) {
    CheckUtf16Write(text, section, key, value);
    return 0;
  }
  if (const auto span = LocateValue(text, section, key)) CheckFound(text, section, key, *span);
  CheckWrite(text, section, key, value, other_key);
  return 0;
}
