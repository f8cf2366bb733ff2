// The command line on Windows: the UTF-16 line (GetCommandLineW) split by
// the program's own rules (not the C runtime's), with every "/" read as "-",
// each argument then taken to the program's UTF-8. No code page stands in
// between, so no best-fit conversion can turn a character into a quote, a
// blank or a slash that splits or switches.
#include "cli/command_line.h"

#include <windows.h>

#include <algorithm>

#include "cli/command_line_split.h"
#include "os/win32_text.h"

namespace varnok {

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  const wchar_t* line = GetCommandLineW();
  const std::u16string units(line, line + wcslen(line));
  std::vector<std::string> arguments;
  for (std::u16string& item : SplitCommandLine(units)) {
    std::replace(item.begin(), item.end(), u'/', u'-');
    arguments.push_back(Utf8FromWide(std::wstring(item.begin(), item.end())));
  }
  return arguments;
}

// UTF-8, as the failure report that names it is.
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
