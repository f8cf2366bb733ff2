#include "os/win32_text.h"

#include <climits>

#include "base/utf8.h"

namespace varnok {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// `text` as UTF-16 in `wide`; false when a byte had to become U+FFFD.
bool DecodeWtf8(std::string_view text, std::wstring* wide) {
  bool valid = true;
  wide->reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const std::optional<char32_t> decoded = DecodeUtf8(text, &pos, true);
    if (!decoded) ++pos;  // the byte that begins no character becomes U+FFFD
    valid = valid && decoded.has_value();
    const char32_t code = decoded.value_or(kReplacement);
    if (code < 0x10000) {
      wide->push_back(static_cast<wchar_t>(code));
    } else {
      wide->push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
      wide->push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    }
  }
  return valid;
}

// The real code page behind CP_ACP and CP_OEMCP.
UINT ResolvedCodePage(UINT code_page) {
  if (code_page == CP_ACP) return GetACP();
  return code_page == CP_OEMCP ? GetOEMCP() : code_page;
}

// `wide` in `code_page` with `flags`; false when the call fails. A character
// that needed the default character sets `*used_default` (where given).
bool ConvertWide(std::wstring_view wide, UINT code_page, DWORD flags, std::string* text,
                 BOOL* used_default) {
  if (wide.empty()) return true;
  if (wide.size() > INT_MAX / 4) return false;
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(code_page, flags, wide.data(), size, nullptr, 0, nullptr, used_default);
  if (length <= 0) return false;
  text->assign(static_cast<size_t>(length), '\0');
  return WideCharToMultiByte(code_page, flags, wide.data(), size, &(*text)[0], length, nullptr,
                             used_default) == length;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  if (length >= full.size()) {
    full.resize(length);
    length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  }
  if (length == 0 || length >= full.size()) return {};
  full.resize(length);
  return full;
}

}  // namespace

std::wstring WideFromUtf8(std::string_view utf8) {
  std::wstring wide;
  DecodeWtf8(utf8, &wide);
  return wide;
}

std::string Utf8FromWide(std::wstring_view wide) { return Utf16ToWtf8(wide); }

// Best fit is refused with a flag that some code pages (UTF-8, GB18030, the
// ISO-2022 family) reject: those convert without it.
std::string CodePageFromUtf8(std::string_view utf8, UINT code_page) {
  const std::wstring wide = WideFromUtf8(utf8);
  std::string text;
  if (ConvertWide(wide, code_page, WC_NO_BEST_FIT_CHARS, &text, nullptr)) return text;
  return ConvertWide(wide, code_page, 0, &text, nullptr) ? text : std::string();
}

// UTF-8 takes no default character: its strict mode refuses unpaired
// surrogates instead.
std::optional<std::string> ExactCodePageFromUtf8(std::string_view utf8, UINT code_page) {
  std::wstring wide;
  if (!DecodeWtf8(utf8, &wide)) return std::nullopt;
  std::string text;
  const UINT resolved = ResolvedCodePage(code_page);
  if (resolved == CP_UTF8) {
    if (!ConvertWide(wide, resolved, WC_ERR_INVALID_CHARS, &text, nullptr)) return std::nullopt;
    return text;
  }
  BOOL used_default = FALSE;
  if (!ConvertWide(wide, resolved, WC_NO_BEST_FIT_CHARS, &text, &used_default) || used_default) {
    return std::nullopt;
  }
  return text;
}

std::wstring ExtendedPath(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  if (StartsWith(wide, L"\\\\?\\") || wide.empty()) return wide;
  const std::wstring full = FullPath(wide);
  if (full.empty()) return wide;
  if (StartsWith(full, L"\\\\.\\")) return full;  // a device: no prefix
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace varnok
