#include "script/script_file.h"

#include "base/failure.h"

namespace varnok {

ScriptValue ReadScriptValue(const LockedFile& script, std::string_view section,
                            std::string_view key) {
  const std::string_view text = script.content();
  const auto span = LocateValue(text, section, key);
  if (!span) return ScriptValue{};
  return ScriptValue{ValueAsRead(text, *span), *span};
}

std::optional<std::string> ScriptText(const LockedFile& script, std::string_view argument) {
  return ArgumentAsValueText(script.content(), argument);
}

std::string WriteScriptValue(LockedFile& script, const std::string& path, const ScriptValue& read,
                             const std::string& value) {
  if (read.text.empty()) return "";
  const std::string_view text = script.content();
  const auto write = PlanValueWrite(text, read.span, value);
  if (!write) return "";
  const size_t stored = read.span.end - read.span.begin;
  if (text.substr(read.span.begin, stored) == write->value) return value;  // nothing to change
  if (script.Replace(write->before, write->value, write->after) != 0) {
    RaiseIniFileError(path, script.problem());
  }
  return value;
}

}  // namespace varnok
