// Text and path conversions for the Windows build.
//
// Inside the Windows program, paths are UTF-8: the project directory and the
// script name are converted from the ANSI code page once, so that names the
// ANSI code page cannot spell can still be listed, entered and written. Every
// file-system call takes the wide form of such a path; text shown to the user
// goes back to the code page its reader expects.
#ifndef VARNOK_OS_WIN32_TEXT_H_
#define VARNOK_OS_WIN32_TEXT_H_

#include <windows.h>

#include <string>
#include <string_view>

namespace varnok {

/// `utf8` as UTF-16; invalid sequences become U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);

/// `wide` as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);

/// `text` in `code_page` (CP_ACP, CP_OEMCP, ...) as UTF-8.
std::string Utf8FromCodePage(std::string_view text, UINT code_page);

/// `utf8` in `code_page`; characters it cannot hold become the code page's
/// default character.
std::string CodePageFromUtf8(std::string_view utf8, UINT code_page);

/// The wide path a file-system call takes for the UTF-8 `path`: made full
/// (GetFullPathNameW: relative parts, "/" and "." resolved) and given the
/// "\\?\" prefix ("\\?\UNC\" for a share), so that no length limit applies.
/// A path that already has the prefix, or that cannot be made full, is
/// converted unchanged.
std::wstring ExtendedPath(const std::string& path);

}  // namespace varnok

#endif  // VARNOK_OS_WIN32_TEXT_H_
