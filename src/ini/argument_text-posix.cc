// Arguments on POSIX are taken as UTF-8.
#include "ini/argument_text.h"

#include "ini/utf16.h"

namespace varnok {

std::optional<std::u16string> ArgumentToUtf16(std::string_view argument) {
  return Utf8ToUtf16(argument);
}

}  // namespace varnok
