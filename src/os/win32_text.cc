#include "os/win32_text.h"

namespace varnok {

namespace {

std::wstring WideFromCodePage(std::string_view text, UINT code_page) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), size, &wide[0], length);
  return wide;
}

std::string CodePageFromWide(std::wstring_view wide, UINT code_page) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(code_page, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), size, &text[0], length, nullptr, nullptr);
  return text;
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

std::wstring WideFromUtf8(std::string_view utf8) { return WideFromCodePage(utf8, CP_UTF8); }

std::string Utf8FromWide(std::wstring_view wide) { return CodePageFromWide(wide, CP_UTF8); }

std::string Utf8FromCodePage(std::string_view text, UINT code_page) {
  return Utf8FromWide(WideFromCodePage(text, code_page));
}

std::string CodePageFromUtf8(std::string_view utf8, UINT code_page) {
  return CodePageFromWide(WideFromUtf8(utf8), code_page);
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
