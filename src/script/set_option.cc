#include "script/set_option.h"

#include "script/file_replace.h"
#include "script/find_script.h"
#include "script/script_file.h"

namespace varnok {

namespace {

int Fail(std::string* ErrorText, const char* message) {
  *ErrorText = message;
  return 1;
}

}  // namespace

int SetOption(const std::string& ProjectDir, const std::string& ScriptName,
              const std::string& SectionName, const std::string& KeyName,
              const std::string& NewValue, const std::string& TypeName, std::string* ErrorText) {
  (void)TypeName;
  const std::string ScriptPath = FindScript(ProjectDir, ScriptName);
  if (ScriptPath.empty()) return Fail(ErrorText, "Script not found");
  // The lock lasts from the read to the write, so the value written is
  // computed from the file as it is.
  LockedFile script;
  script.Open(ScriptPath);
  std::string Line = ReadScriptValue(script, SectionName, KeyName);
  if (Line.empty()) return Fail(ErrorText, "Component not found");
  Line = NewValue;
  Line = WriteScriptValue(script, ScriptPath, SectionName, KeyName, Line);
  if (Line.empty()) return Fail(ErrorText, "Component could not be written");
  return 0;
}

}  // namespace varnok
