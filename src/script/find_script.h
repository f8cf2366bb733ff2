// Finding the script file below the project directory.
#ifndef VARNOK_SCRIPT_FIND_SCRIPT_H_
#define VARNOK_SCRIPT_FIND_SCRIPT_H_

#include <string>

namespace varnok {

/// The path of the first entry named `Name` in `Dir` or below it, or empty.
///
/// Depth-first, pre-order: an entry directly in a directory wins over any in
/// its subdirectories, and the subdirectories are searched in listing order.
/// Directories whose names begin with "." (and, on Windows, hidden and system
/// ones) are not descended into; `Dir` itself always is. `Name` may hold the
/// wildcards '*' and '?'; a name holding a directory separator matches
/// nothing. The answer joins `Dir`, unchanged, and the entry's own name.
std::string FindScript(const std::string& Dir, const std::string& Name);

}  // namespace varnok

#endif  // VARNOK_SCRIPT_FIND_SCRIPT_H_
