// The command line on Windows: the raw ANSI line split by the program's own
// rules (not the C runtime's), with every "/" read as "-".
#include "cli/command_line.h"

#include <windows.h>

#include "cli/command_line_split.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

bool IsAnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

}  // namespace

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  std::vector<std::string> arguments = SplitCommandLine(GetCommandLineA(), IsAnsiLeadByte);
  for (std::string& argument : arguments) argument = DashesForSlashes(argument, IsAnsiLeadByte);
  return arguments;
}

// UTF-8, as the failure report that names it is: the wide module path has
// no double-byte characters whose second byte could pass for a "\".
std::string ProgramFileName(int /*argc*/, char** /*argv*/) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = 0;
  while ((length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()))) ==
         path.size()) {
    path.resize(path.size() * 2);  // cut short: try a larger buffer
  }
  path.resize(length);
  const std::string name = Utf8FromWide(path.substr(path.find_last_of(L"\\/:") + 1));
  return name.empty() ? "varnok.exe" : name;
}

}  // namespace varnok
