// Splitting a single command line into arguments, for platforms that hand a
// program its command line whole.
//
// Items are separated by runs of characters with codes 1 to 32. A pair of
// double quotes at the start of an item is dropped, so an empty quoted item
// vanishes. Elsewhere a double quote opens a stretch that runs to the next
// double quote or the end of the line, and blanks and control characters in
// it belong to the item. The quotes themselves are removed; there is no
// escape, so no item holds a double quote. A double-byte character (a lead
// byte and the byte after it) is taken whole, whatever its second byte is.
#ifndef VARNOK_CLI_COMMAND_LINE_SPLIT_H_
#define VARNOK_CLI_COMMAND_LINE_SPLIT_H_

#include <string>
#include <string_view>
#include <vector>

namespace varnok {

/// Whether a byte begins a double-byte character of the code page in use.
using LeadBytePredicate = bool (*)(unsigned char byte);

/// The items of `command_line` after the first (the program's own path).
std::vector<std::string> SplitCommandLine(std::string_view command_line,
                                          LeadBytePredicate is_lead_byte);

/// `argument` with every "/" turned into "-". A double-byte character is
/// stepped over whole, so a second byte that happens to be "/" stays.
std::string DashesForSlashes(std::string_view argument, LeadBytePredicate is_lead_byte);

}  // namespace varnok

#endif  // VARNOK_CLI_COMMAND_LINE_SPLIT_H_
