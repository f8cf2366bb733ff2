#include "search/path_argument.h"

#include "os/win32_text.h"

namespace varnok {

std::string PathFromArgument(const std::string& argument) {
  return Utf8FromCodePage(argument, CP_ACP);
}

}  // namespace varnok
