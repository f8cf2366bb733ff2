// Text and path conversions for the Windows build.
//
// Inside the Windows program, arguments and paths are UTF-8, taken straight
// from the UTF-16 the system gives (the command line, directory listings), so
// no ANSI code page limits them. UTF-16 may hold an unpaired surrogate, which
// UTF-8 cannot; it is kept in its three-byte form (WTF-8), so that every name
// the system can hold converts back to the very same units. Every file-system
// call takes the wide form of such a path; text shown to the user goes to the
// code page its reader expects.
#ifndef VARNOK_OS_WIN32_TEXT_H_
#define VARNOK_OS_WIN32_TEXT_H_

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace varnok {

/// `utf8` (WTF-8: an encoded surrogate is taken as that unit) as UTF-16;
/// each byte that begins no well-formed sequence becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);

/// `wide` as UTF-8; an unpaired surrogate keeps its three-byte form (WTF-8),
/// so WideFromUtf8 gives back exactly `wide`.
std::string Utf8FromWide(std::wstring_view wide);

/// `utf8` in `code_page` (CP_ACP, CP_OEMCP, ...), for showing: a character
/// the code page cannot hold becomes its default character, never a
/// look-alike ("best fit"), where the code page allows that choice.
std::string CodePageFromUtf8(std::string_view utf8, UINT code_page);

/// `utf8` in `code_page`, every character exactly (no best fit, no default
/// character); none when the code page cannot hold one of them.
std::optional<std::string> ExactCodePageFromUtf8(std::string_view utf8, UINT code_page);

/// The wide path a file-system call takes for the UTF-8 `path`: made full
/// (GetFullPathNameW: relative parts, "/" and "." resolved) and given the
/// "\\?\" prefix ("\\?\UNC\" for a share), so that no length limit applies.
/// A path that already has the prefix, or that cannot be made full, is
/// converted unchanged.
std::wstring ExtendedPath(const std::string& path);

}  // namespace varnok

#endif  // VARNOK_OS_WIN32_TEXT_H_
