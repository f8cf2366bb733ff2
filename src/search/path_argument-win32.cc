#include "search/path_argument.h"

namespace varnok {

// The command line was read in UTF-16 and its arguments taken to UTF-8, the
// form of every path inside the program: nothing is left to convert.
std::string PathFromArgument(const std::string& argument) { return argument; }

}  // namespace varnok
