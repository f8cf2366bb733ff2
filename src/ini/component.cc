#include "ini/component.h"

#include <algorithm>

#include "base/failure.h"
#include "base/text.h"

namespace varnok {

namespace {

constexpr const char* kComponentTypes[] = {"FileBox",  "TextBox",     "NumberBox",
                                           "CheckBox", "RadioButton", "ScrollBox"};
constexpr long kNumberBoxField = 7;

std::string KeptField(std::string_view text) {
  std::string field(Trim(text));
  std::replace(field.begin(), field.end(), '|', ',');
  return field;
}

bool BeginsWithQuote(const std::string& field) { return !field.empty() && field.front() == '"'; }
bool EndsWithQuote(const std::string& field) { return !field.empty() && field.back() == '"'; }

long FieldIndex(const std::string& type, size_t field_count) {
  if (type == "FileBox" || type == "ScrollBox") return 0;
  if (type == "NumberBox") return kNumberBoxField;
  return static_cast<long>(field_count) - 1;
}

// Puts back the outer double quotes that reading the line removed: before a
// first field that only ends with one, after a last field that only begins
// with one.
void RepairOuterQuotes(std::vector<std::string>* fields) {
  std::string& first = fields->front();
  if (EndsWithQuote(first) && !BeginsWithQuote(first)) first.insert(0, 1, '"');
  std::string& last = fields->back();
  if (BeginsWithQuote(last) && !EndsWithQuote(last)) last.push_back('"');
}

}  // namespace

std::string GetComponentType(std::string_view Name) {
  for (const char* type : kComponentTypes) {
    if (ContainsIgnoreCase(Name, type)) return type;
  }
  return "";
}

std::vector<std::string> SplitFields(std::string_view Text, char Separator) {
  std::vector<std::string> fields;
  for (size_t at; (at = Text.find(Separator)) != std::string_view::npos;) {
    fields.push_back(KeptField(Text.substr(0, at)));
    Text.remove_prefix(at + 1);
  }
  fields.push_back(KeptField(Text));
  return fields;
}

std::string ChangeComponentLine(const std::string& ComponentType, std::string_view Line,
                                const std::string& NewValue) {
  std::vector<std::string> fields = SplitFields(Line, ',');
  const long index = FieldIndex(ComponentType, fields.size());
  RepairOuterQuotes(&fields);
  if (index < 0 || static_cast<size_t>(index) >= fields.size()) RaiseListIndexError(index);
  std::string& field = fields[static_cast<size_t>(index)];
  field = BeginsWithQuote(field) ? '"' + NewValue + '"' : NewValue;
  std::string changed = fields.front();
  for (size_t i = 1; i < fields.size(); ++i) changed.append(",").append(fields[i]);
  return changed;
}

}  // namespace varnok
