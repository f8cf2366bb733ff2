// The project directory and the script name, from the command line's text to
// the form the script search and the file calls take.
#ifndef VARNOK_SEARCH_PATH_ARGUMENT_H_
#define VARNOK_SEARCH_PATH_ARGUMENT_H_

#include <string>

namespace varnok {

/// `argument` as a path inside the program. POSIX takes the bytes as they
/// are. On Windows the arguments are already UTF-8, read from the UTF-16
/// command line, so the search can list and enter names the ANSI code page
/// cannot spell; the path the search answers, and every message that shows
/// it, is UTF-8 too.
std::string PathFromArgument(const std::string& argument);

}  // namespace varnok

#endif  // VARNOK_SEARCH_PATH_ARGUMENT_H_
