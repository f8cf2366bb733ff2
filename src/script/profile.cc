#include "script/profile.h"

#include <cstring>

#include "text.h"

namespace varnok {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v'; }

std::string_view TrimBlanks(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string_view StripSpaces(std::string_view name) {
  size_t begin = name.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return name.substr(begin, name.find_last_not_of(' ') + 1 - begin);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Walks the lines of a text. The next CR and LF positions are cached so that
// a file ending its lines in only one of them is still read in linear time.
class LineReader {
 public:
  LineReader(std::string_view text, size_t start) : text_(text), pos_(start) {}

  /// The next line without its ending, and its offset; false at the end.
  bool Next(std::string_view* line, size_t* offset) {
    if (pos_ >= text_.size()) return false;
    size_t cr = Find('\r', &next_cr_), lf = Find('\n', &next_lf_);
    size_t end = cr < lf ? cr : lf;
    *offset = pos_;
    *line = text_.substr(pos_, end - pos_);
    pos_ = (end == cr && end + 1 == lf) ? end + 2 : end + 1;
    return true;
  }

 private:
  size_t Find(char c, size_t* cache) {
    if (*cache == kUnknown || *cache < pos_) {
      const void* hit = std::memchr(text_.data() + pos_, c, text_.size() - pos_);
      *cache = hit ? static_cast<const char*>(hit) - text_.data() : text_.size();
    }
    return *cache;
  }

  static constexpr size_t kUnknown = static_cast<size_t>(-1);
  std::string_view text_;
  size_t pos_;
  size_t next_cr_ = kUnknown;
  size_t next_lf_ = kUnknown;
};

std::string_view HeaderName(std::string_view after_bracket) {
  return TrimBlanks(after_bracket.substr(0, after_bracket.find(']')));
}

// The offset of the first CR or LF at or after `pos`, else the text's size.
size_t LineEnd(std::string_view text, size_t pos) {
  while (pos < text.size() && text[pos] != '\r' && text[pos] != '\n') ++pos;
  return pos;
}

// The offset of the line after the one that ends at `end`.
size_t NextLineStart(std::string_view text, size_t end) {
  if (end >= text.size()) return text.size();
  if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') return end + 2;
  return end + 1;
}

// Whether only blanks stand between the start of its line and `pos`; lines
// start at `start` and after every CR and LF.
bool OpensLine(std::string_view text, size_t start, size_t pos) {
  while (pos > start && IsBlank(text[pos - 1])) --pos;
  return pos == start || text[pos - 1] == '\r' || text[pos - 1] == '\n';
}

// The offset of the line after the header of the first section named
// `section`, or npos. Only a '[' can open a header, so the search jumps from
// one to the next instead of splitting every line.
size_t FindSectionBody(std::string_view text, size_t start, std::string_view section) {
  for (size_t pos = text.find('[', start); pos != std::string_view::npos;
       pos = text.find('[', pos + 1)) {
    if (!OpensLine(text, start, pos)) continue;
    const size_t end = LineEnd(text, pos);
    if (EqualsIgnoreCase(HeaderName(text.substr(pos + 1, end - pos - 1)), section)) {
      return NextLineStart(text, end);
    }
    pos = end;
  }
  return std::string_view::npos;
}

// The span of an entry's value, given the line's offset and its '=' position.
ValueSpan ValueAfter(std::string_view line, size_t offset, size_t equals) {
  size_t begin = equals + 1, end = line.size();
  while (begin < end && IsBlank(line[begin])) ++begin;
  while (end > begin && IsBlank(line[end - 1])) --end;
  return ValueSpan{offset + begin, offset + end};
}

}  // namespace

std::optional<ValueSpan> LocateValue(std::string_view text, std::string_view section,
                                     std::string_view key) {
  if (StartsWith(text, "\xFF\xFE") || StartsWith(text, "\xFE\xFF")) return std::nullopt;
  const size_t body =
      FindSectionBody(text, StartsWith(text, "\xEF\xBB\xBF") ? 3 : 0, StripSpaces(section));
  if (body == std::string_view::npos) return std::nullopt;
  key = StripSpaces(key);
  LineReader lines(text, body);
  std::string_view line;
  size_t offset = 0;
  while (lines.Next(&line, &offset)) {
    size_t lead = 0;
    while (lead < line.size() && IsBlank(line[lead])) ++lead;
    if (lead == line.size() || line[lead] == ';') continue;
    if (line[lead] == '[') return std::nullopt;  // the section ends unfound
    size_t equals = line.find('=', lead);
    if (equals == std::string_view::npos) continue;
    if (EqualsIgnoreCase(TrimBlanks(line.substr(lead, equals - lead)), key)) {
      return ValueAfter(line, offset, equals);
    }
  }
  return std::nullopt;
}

std::string_view UnquoteValue(std::string_view stored) {
  if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"') {
    return stored.substr(1, stored.size() - 2);
  }
  return stored;
}

std::optional<ValueWrite> PlanValueWrite(std::string_view text, std::string_view section,
                                         std::string_view key, std::string_view value) {
  if (value.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  if (UnquoteValue(TrimBlanks(value)).empty()) return std::nullopt;
  const auto span = LocateValue(text, section, key);
  if (!span) return std::nullopt;
  return ValueWrite{text.substr(0, span->begin), text.substr(span->end)};
}

}  // namespace varnok
