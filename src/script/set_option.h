// Applying one option assignment to one script file.
#ifndef VARNOK_SCRIPT_SET_OPTION_H_
#define VARNOK_SCRIPT_SET_OPTION_H_

#include <string>

namespace varnok {

/// Finds `ScriptName` below `ProjectDir` and sets `KeyName` in `SectionName`
/// to `NewValue`; in the section "Interface" only the component line's value
/// field changes, the component type coming from the key's name or, when it
/// names none, from `TypeName`. Answers 0 on success; on failure answers 1 and
/// puts the reason into `*ErrorText`, with the file unchanged. Raises
/// EIniFileException when the system refuses the write, EStringListError for
/// a component line without the field its type needs.
int SetOption(const std::string& ProjectDir, const std::string& ScriptName,
              const std::string& SectionName, const std::string& KeyName,
              const std::string& NewValue, const std::string& TypeName, std::string* ErrorText);

}  // namespace varnok

#endif  // VARNOK_SCRIPT_SET_OPTION_H_
