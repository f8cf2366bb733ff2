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
  // A value that reads back empty (nothing, blanks, a pair of quotes around
  // nothing) would leave a key that can never be set again, and a line break
  // would add lines to the file.
  if (ValueAsRead(value).empty() || value.find_first_of("\r\n") != std::string::npos) return "";
  const std::string_view text = script.content();
  const auto span = LocateValue(text, section, key);
  if (!span) return "";
  if (text.substr(span->begin, span->end - span->begin) == value) return value;
  if (script.Replace(text.substr(0, span->begin), value, text.substr(span->end)) != 0) {
    RaiseIniFileError(path);
  }
  return value;
}

}  // namespace varnok
