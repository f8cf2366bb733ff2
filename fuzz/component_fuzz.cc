// Component types and the change of one field of a component line.
//
// Input: a key name and a new value, one a line, then the line as read.
// Properties: the type is the first of the six named in the key; only a
// NumberBox line without eight fields raises; the line comes back empty only
// in the one case that allows it; the new value goes in verbatim, at the
// field the type picks, quoted when that field was; the rest of the line does
// not depend on the value; kept fields are trimmed and hold no "|"; and a
// changed plain line stays the same when changed again.
#include <algorithm>
#include <optional>
#include <string>

#include "base/failure.h"
#include "fuzz_check.h"
#include "ini/component.h"

namespace {

const char* const kTypes[] = {"FileBox", "TextBox", "NumberBox", "CheckBox", "RadioButton",
                              "ScrollBox"};

bool Contains(std::string_view name, std::string_view type) {
  for (size_t at = 0; at + type.size() <= name.size(); ++at) {
    if (fuzz::SameIgnoringCase(name.substr(at, type.size()), type)) return true;
  }
  return false;
}

std::string ExpectedType(std::string_view name) {
  for (const char* type : kTypes) {
    if (Contains(name, type)) return type;
  }
  return "";
}

bool Trimmable(char c) { return static_cast<unsigned char>(c) <= 32; }

// The changed line; none when EStringListError (index 7) was raised.
std::optional<std::string> Change(const std::string& type, std::string_view line,
                                  const std::string& value) {
  try {
    return varnok::ChangeComponentLine(type, line, value);
  } catch (const varnok::Failure& failure) {
    FUZZ_CHECK(failure.kind() == "EStringListError");
    FUZZ_CHECK(failure.message() == "List index out of bounds (7)");
    return std::nullopt;
  }
}

// Whether the kept fields of `part` ("," between them, none at its ends) are
// trimmed; only for a line without "|", since each "|" becomes a "," inside
// its field.
bool KeptFieldsClean(std::string_view part) {
  for (size_t i = 0; i < part.size(); ++i) {
    const bool at_edge = i == 0 || i + 1 == part.size() || part[i - 1] == ',' || part[i + 1] == ',';
    if (Trimmable(part[i]) && at_edge) return false;
  }
  return true;
}

void CheckChange(const std::string& type, std::string_view line, const std::string& value) {
  const size_t fields = std::count(line.begin(), line.end(), ',') + 1;
  // "|" never survives in a kept field, so it marks where the value went.
  const auto marked_line = Change(type, line, "|"), changed_line = Change(type, line, value);
  const bool short_number_box = type == "NumberBox" && fields < 8;
  FUZZ_CHECK(!marked_line == short_number_box && !changed_line == short_number_box);
  if (short_number_box) return;
  const std::string &marked = *marked_line, &changed = *changed_line;
  FUZZ_CHECK(std::count(marked.begin(), marked.end(), '|') == 1);
  const size_t mark = marked.find('|');
  const bool quoted = mark > 0 && marked[mark - 1] == '"';
  if (quoted) FUZZ_CHECK(mark + 1 < marked.size() && marked[mark + 1] == '"');
  const std::string before = marked.substr(0, quoted ? mark - 1 : mark);
  const std::string after = marked.substr(quoted ? mark + 2 : mark + 1);
  const std::string field = quoted ? '"' + value + '"' : value;
  FUZZ_CHECK(changed == before + field + after);
  FUZZ_CHECK(!changed.empty() || (fields == 1 && value.empty() && !quoted));
  FUZZ_CHECK(before.empty() || before.back() == ',');
  FUZZ_CHECK(after.empty() || after.front() == ',');
  if (type == "FileBox" || type == "ScrollBox") FUZZ_CHECK(before.empty());
  if (type == "NumberBox") FUZZ_CHECK(std::count(before.begin(), before.end(), ',') >= 7);
  if (type == "TextBox" || type == "CheckBox" || type == "RadioButton") FUZZ_CHECK(after.empty());
  if (fields == 1) FUZZ_CHECK(before.empty() && after.empty());
  FUZZ_CHECK(before.find('|') == std::string::npos && after.find('|') == std::string::npos);
  if (line.find('|') != std::string_view::npos) return;
  FUZZ_CHECK(KeptFieldsClean(before.substr(0, before.size() - !before.empty())));
  FUZZ_CHECK(KeptFieldsClean(after.substr(!after.empty())));
}

// A line and a value without quotes, "|" or edge blanks: changing the
// changed line again with the same value gives it back.
void CheckStable(const std::string& type, std::string_view line, const std::string& value) {
  const auto plain = [](std::string_view text) {
    return text.find_first_of("\"|") == std::string_view::npos;
  };
  if (!plain(line) || !plain(value) || value.find(',') != std::string::npos) return;
  if (value.empty() || Trimmable(value.front()) || Trimmable(value.back())) return;
  const auto changed = Change(type, line, value);
  if (changed) FUZZ_CHECK(Change(type, *changed, value) == changed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = fuzz::Fields(data, size, 3);
  const std::string type = varnok::GetComponentType(fields[0]);
  FUZZ_CHECK(type == ExpectedType(fields[0]));
  if (type.empty()) return 0;
  const std::string value(fields[1]);
  CheckChange(type, fields[2], value);
  CheckStable(type, fields[2], value);
  return 0;
}
