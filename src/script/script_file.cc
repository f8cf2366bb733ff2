#include "script/script_file.h"

#include "failure.h"
#include "script/profile.h"

namespace varnok {

std::string ReadScriptValue(const LockedFile& script, std::string_view section,
                            std::string_view key) {
  const std::string_view text = script.content();
  const auto span = LocateValue(text, section, key);
  if (!span) return "";
  return std::string(UnquoteValue(text.substr(span->begin, span->end - span->begin)));
}

std::string WriteScriptValue(LockedFile& script, const std::string& path, std::string_view section,
                             std::string_view key, const std::string& value) {
  const std::string_view text = script.content();
  const auto write = PlanValueWrite(text, section, key, value);
  if (!write) return "";
  const size_t stored = text.size() - write->before.size() - write->after.size();
  if (text.substr(write->before.size(), stored) == value) return value;  // nothing to change
  if (script.Replace(write->before, value, write->after) != 0) RaiseIniFileError(path);
  return value;
}

}  // namespace varnok
