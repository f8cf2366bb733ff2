#include "search/path_argument.h"

namespace varnok {

std::string PathFromArgument(const std::string& argument) { return argument; }

}  // namespace varnok
