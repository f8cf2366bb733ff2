// Interface component lines: in the section "Interface" each key is a user
// interface component whose name tells its type, and whose value is a
// comma-separated line of which only one field, chosen by the type, changes.
#ifndef VARNOK_INI_COMPONENT_H_
#define VARNOK_INI_COMPONENT_H_

#include <string>
#include <string_view>
#include <vector>

namespace varnok {

/// The first of "FileBox", "TextBox", "NumberBox", "CheckBox", "RadioButton"
/// and "ScrollBox" that `Name` contains, ignoring case; empty when none.
std::string GetComponentType(std::string_view Name);

/// `Text` split at every `Separator` (quotes protect nothing), each field
/// trimmed of codes 0 to 32 and with every "|" turned into ",". Never empty.
std::vector<std::string> SplitFields(std::string_view Text, char Separator);

/// `Line` with the field that holds the value of a `ComponentType` component
/// (the first for FileBox and ScrollBox, the eighth for NumberBox, else the
/// last) replaced by `NewValue`, quoted when the field was. The other fields
/// are kept trimmed and the line's outer quotes, which a read removes, are put
/// back. Empty only for an empty `NewValue` in an unquoted one-field line.
/// Raises EStringListError when the line has no such field.
std::string ChangeComponentLine(const std::string& ComponentType, std::string_view Line,
                                const std::string& NewValue);

}  // namespace varnok

#endif  // VARNOK_INI_COMPONENT_H_
