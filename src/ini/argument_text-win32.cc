// Arguments on Windows are UTF-8 (WTF-8 where the command line held an
// unpaired surrogate), read from the UTF-16 command line: a UTF-16 script
// gets them unit for unit, a byte script in the ANSI code page without best
// fit, so that no character is stored, or names a section or key, as another.
#include "ini/argument_text.h"

#include <windows.h>

#include "ini/utf16.h"
#include "os/win32_text.h"

namespace varnok {

std::optional<std::u16string> ArgumentToUtf16(std::string_view argument) {
  return Wtf8ToUtf16(argument);
}

std::optional<std::string> ArgumentToCodePage(std::string_view argument) {
  return ExactCodePageFromUtf8(argument, CP_ACP);
}

}  // namespace varnok
