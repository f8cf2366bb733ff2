#include "script/set_option.h"

#include "ini/component.h"
#include "file/file_replace.h"
#include "search/find_script.h"
#include "search/path_argument.h"
#include "script/script_file.h"
#include "base/text.h"

namespace varnok {

namespace {

int Fail(std::string* ErrorText, const char* message) {
  *ErrorText = message;
  return 1;
}

// The component type of a key of the section "Interface": the one its name
// carries, else the one the type switch names.
std::string ComponentTypeOf(const std::string& KeyName, const std::string& TypeName) {
  std::string type = GetComponentType(KeyName);
  return type.empty() ? GetComponentType(TypeName) : type;
}

}  // namespace

int SetOption(const std::string& ProjectDir, const std::string& ScriptName,
              const std::string& SectionName, const std::string& KeyName,
              const std::string& NewValue, const std::string& TypeName, std::string* ErrorText) {
  std::string ComponentType;
  const std::string ScriptPath = FindScript(PathFromArgument(ProjectDir), PathFromArgument(ScriptName));
  if (ScriptPath.empty()) return Fail(ErrorText, "Script not found");
  if (EqualsIgnoreCase(SectionName, "Interface")) {
    ComponentType = ComponentTypeOf(KeyName, TypeName);
    if (ComponentType.empty()) return Fail(ErrorText, "Component type not found");
  }
  // The lock lasts from the read to the write, so the value written is
  // computed from the file as it is. Where another file took the name
  // meanwhile, nothing was written and all starts over from that file.
  LockedFile script;
  do {
    if (!script.Open(ScriptPath)) return Fail(ErrorText, "Component not found");
    const ScriptValue Stored = ReadScriptValue(script, SectionName, KeyName);
    std::string Line = Stored.text;
    if (Line.empty()) return Fail(ErrorText, "Component not found");
    const std::optional<std::string> Value = ScriptText(script, NewValue);
    if (!Value) return Fail(ErrorText, "Component could not be written");
    if (ComponentType.empty()) {
      Line = *Value;
    } else {
      Line = ChangeComponentLine(ComponentType, Line, *Value);
      if (Line.empty()) return Fail(ErrorText, "Component could not be changed");
    }
    Line = WriteScriptValue(script, ScriptPath, Stored, Line);
    if (Line.empty()) return Fail(ErrorText, "Component could not be written");
  } while (script.must_reopen());
  return 0;
}

}  // namespace varnok
