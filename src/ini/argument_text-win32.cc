// Arguments on Windows are in the ANSI code page, as GetCommandLineA gives
// them; bytes that code page does not define are refused, not guessed.
#include "ini/argument_text.h"

#include <windows.h>

#include <climits>

namespace varnok {

std::optional<std::u16string> ArgumentToUtf16(std::string_view argument) {
  if (argument.empty()) return std::u16string();
  if (argument.size() > INT_MAX) return std::nullopt;
  const int bytes = static_cast<int>(argument.size());
  const int length =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, argument.data(), bytes, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, argument.data(), bytes, &wide[0],
                          length) != length) {
    return std::nullopt;
  }
  return std::u16string(wide.begin(), wide.end());
}

}  // namespace varnok
