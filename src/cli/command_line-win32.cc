// The command line on Windows: the raw line split by the program's own
// rules (not the C runtime's), with every "/" read as "-".
#include "cli/command_line.h"

#include <windows.h>

#include <algorithm>

#include "cli/command_line_split.h"

namespace varnok {

namespace {

bool IsAnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

}  // namespace

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  std::vector<std::string> arguments = SplitCommandLine(GetCommandLineA(), IsAnsiLeadByte);
  for (std::string& argument : arguments) std::replace(argument.begin(), argument.end(), '/', '-');
  return arguments;
}

std::string ProgramFileName(int /*argc*/, char** /*argv*/) {
  std::string path(MAX_PATH, '\0');
  DWORD length = 0;
  while ((length = GetModuleFileNameA(nullptr, &path[0], static_cast<DWORD>(path.size()))) ==
         path.size()) {
    path.resize(path.size() * 2);  // cut short: try a larger buffer
  }
  path.resize(length);
  std::string name = path.substr(path.find_last_of("\\/:") + 1);
  return name.empty() ? "varnok.exe" : name;
}

}  // namespace varnok
