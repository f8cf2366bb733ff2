// The text of the command line's arguments in a script's own encoding. The
// arguments are UTF-8 on both platforms (on Windows read from the UTF-16
// command line, an unpaired surrogate kept in its three-byte form).
#ifndef VARNOK_INI_ARGUMENT_TEXT_H_
#define VARNOK_INI_ARGUMENT_TEXT_H_

#include <optional>
#include <string>
#include <string_view>

namespace varnok {

/// `argument` as UTF-16 code units, for a script stored in UTF-16; none when
/// it is not valid text in the command line's encoding (on POSIX an encoded
/// surrogate is not; on Windows it stands for the unit the command line held).
std::optional<std::u16string> ArgumentToUtf16(std::string_view argument);

/// `argument` as the bytes of a script that is not UTF-16. POSIX takes the
/// bytes as they are. Windows converts to the ANSI code page, in which such
/// a script is stored, every character exactly: none when the code page
/// cannot hold one (never a look-alike, as a best-fit conversion would give).
std::optional<std::string> ArgumentToCodePage(std::string_view argument);

}  // namespace varnok

#endif  // VARNOK_INI_ARGUMENT_TEXT_H_
