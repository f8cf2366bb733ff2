// Arguments on POSIX are taken as UTF-8, and as bytes for a byte script.
#include "ini/argument_text.h"

#include "ini/utf16.h"

namespace varnok {

std::optional<std::u16string> ArgumentToUtf16(std::string_view argument) {
  return Utf8ToUtf16(argument);
}

std::optional<std::string> ArgumentToCodePage(std::string_view argument) {
  return std::string(argument);
}

}  // namespace varnok
