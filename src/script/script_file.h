// Reading and writing one key of the held script file.
#ifndef VARNOK_SCRIPT_SCRIPT_FILE_H_
#define VARNOK_SCRIPT_SCRIPT_FILE_H_

#include <optional>
#include <string>
#include <string_view>

#include "file/file_replace.h"
#include "ini/profile.h"

namespace varnok {

/// One key's value as a read found it in the held script.
struct ScriptValue {
  /// As a read delivers it (one pair of outer double quotes removed; WTF-8
  /// for a UTF-16 script); empty when the file, the section or the key is
  /// missing or the value is empty.
  std::string text;
  /// Where the stored value lies in the held bytes, for the write.
  ValueSpan span;
};

/// The value of `key` in `section` of `script`.
ScriptValue ReadScriptValue(const LockedFile& script, std::string_view section,
                            std::string_view key);

/// `argument` from the command line in the form ReadScriptValue delivers for
/// `script`, so the two can be combined; none when it cannot be converted.
std::optional<std::string> ScriptText(const LockedFile& script, std::string_view argument);

/// Stores `value` (in the form ReadScriptValue delivers) in place of the
/// value `read` found, in the file's own encoding, changing no other byte of
/// the file; answers `value`. Answers empty, writing nothing, for a value
/// that would read back empty (blanks only, or "" included), holds a CR or
/// LF or cannot be stored, or when `read` found nothing. Raises
/// EIniFileException "Unable to write to <path>" when the system refuses the
/// write; the old file then stays as it was.
std::string WriteScriptValue(LockedFile& script, const std::string& path, const ScriptValue& read,
                             const std::string& value);

}  // namespace varnok

#endif  // VARNOK_SCRIPT_SCRIPT_FILE_H_
