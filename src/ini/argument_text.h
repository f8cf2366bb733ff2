// The text of the command line's arguments as UTF-16, for scripts stored in
// UTF-16: arguments are UTF-8 on POSIX and in the ANSI code page on Windows.
#ifndef VARNOK_INI_ARGUMENT_TEXT_H_
#define VARNOK_INI_ARGUMENT_TEXT_H_

#include <optional>
#include <string>
#include <string_view>

namespace varnok {

/// `argument` as UTF-16 code units; none when it is not valid text in the
/// command line's encoding.
std::optional<std::u16string> ArgumentToUtf16(std::string_view argument);

}  // namespace varnok

#endif  // VARNOK_INI_ARGUMENT_TEXT_H_
