// Reading and writing one key of the held script file.
#ifndef VARNOK_SCRIPT_SCRIPT_FILE_H_
#define VARNOK_SCRIPT_SCRIPT_FILE_H_

#include <string>
#include <string_view>

#include "script/file_replace.h"

namespace varnok {

/// The value of `key` in `section` of `script`, as a read delivers it (one
/// pair of outer double quotes removed); empty when the file, the section or
/// the key is missing or the value is empty.
std::string ReadScriptValue(const LockedFile& script, std::string_view section,
                            std::string_view key);

/// Stores `value` as the value of `key` in `section`, changing no other byte
/// of the file; answers `value`. Answers empty, writing nothing, for a value
/// that would read back empty (blanks only, or "" included) or holds a CR or
/// LF, or for a key that is not there. Raises
/// EIniFileException "Unable to write to <path>" when the system refuses the
/// write; the old file then stays as it was.
std::string WriteScriptValue(LockedFile& script, const std::string& path, std::string_view section,
                             std::string_view key, const std::string& value);

}  // namespace varnok

#endif  // VARNOK_SCRIPT_SCRIPT_FILE_H_
