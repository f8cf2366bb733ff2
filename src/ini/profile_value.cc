// The value of a located entry: read, converted and planned for writing.
#include "ini/profile.h"

#include "ini/argument_text.h"
#include "ini/utf16.h"

namespace varnok {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

template <typename Text>
Text Unquote(Text stored) {
  if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"') {
    return stored.substr(1, stored.size() - 2);
  }
  return stored;
}

bool BigEndian(ProfileEncoding encoding) { return encoding == ProfileEncoding::kUtf16Be; }

}  // namespace

ProfileEncoding EncodingOf(std::string_view text) {
  if (text.substr(0, 2) == "\xFF\xFE") return ProfileEncoding::kUtf16Le;
  if (text.substr(0, 2) == "\xFE\xFF") return ProfileEncoding::kUtf16Be;
  return ProfileEncoding::kBytes;
}

std::string_view UnquoteValue(std::string_view stored) { return Unquote(stored); }

std::string ValueAsRead(std::string_view text, const ValueSpan& span) {
  const std::string_view stored = text.substr(span.begin, span.end - span.begin);
  const ProfileEncoding encoding = EncodingOf(text);
  if (encoding == ProfileEncoding::kBytes) return std::string(Unquote(stored));
  const std::u16string units = Utf16Units(stored, BigEndian(encoding));
  return Utf16ToWtf8(Unquote(std::u16string_view(units)));
}

std::optional<std::string> ArgumentAsValueText(std::string_view text, std::string_view argument) {
  if (EncodingOf(text) == ProfileEncoding::kBytes) return ArgumentToCodePage(argument);
  const auto units = ArgumentToUtf16(argument);
  if (!units) return std::nullopt;
  return Utf16ToWtf8(*units);
}

std::optional<ValueWrite> PlanValueWrite(std::string_view text, const ValueSpan& span,
                                         std::string_view value) {
  // CR, LF, blanks and quotes are the same bytes in WTF-8 as in a byte text.
  if (value.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  if (Unquote(TrimBlanks(value)).empty()) return std::nullopt;
  ValueWrite write{text.substr(0, span.begin), std::string(value), text.substr(span.end)};
  const ProfileEncoding encoding = EncodingOf(text);
  if (encoding != ProfileEncoding::kBytes) {
    const auto units = Wtf8ToUtf16(value);
    if (!units) return std::nullopt;
    write.value = Utf16Bytes(*units, BigEndian(encoding));
  }
  return write;
}

}  // namespace varnok
