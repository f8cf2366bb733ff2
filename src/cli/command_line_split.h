// Splitting a single command line into arguments, for platforms that hand a
// program its command line whole (Windows, in UTF-16).
//
// Items are separated by runs of code units 1 to 32. A pair of double quotes
// at the start of an item is dropped, so an empty quoted item vanishes.
// Elsewhere a double quote opens a stretch that runs to the next double quote
// or the end of the line, and blanks and control characters in it belong to
// the item. The quotes themselves are removed; there is no escape, so no
// item holds a double quote. A NUL unit ends the line. Only U+0022 is a
// quote: no other character (U+FF02, the fullwidth quotation mark, included)
// opens, closes or ends anything, and neither half of a surrogate pair can be
// mistaken for a quote or a separator.
#ifndef VARNOK_CLI_COMMAND_LINE_SPLIT_H_
#define VARNOK_CLI_COMMAND_LINE_SPLIT_H_

#include <string>
#include <string_view>
#include <vector>

namespace varnok {

/// The items of `command_line` after the first (the program's own path).
std::vector<std::u16string> SplitCommandLine(std::u16string_view command_line);

}  // namespace varnok

#endif  // VARNOK_CLI_COMMAND_LINE_SPLIT_H_
