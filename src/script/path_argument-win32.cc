#include "script/path_argument.h"

#include "win32_text.h"

namespace varnok {

std::string PathFromArgument(const std::string& argument) {
  return Utf8FromCodePage(argument, CP_ACP);
}

}  // namespace varnok
