#include "ini/profile.h"

#include <cstring>

#include "ini/argument_text.h"
#include "ini/utf16.h"
#include "base/text.h"

namespace varnok {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// The code units of a byte text: its bytes.
class ByteUnits {
 public:
  using Unit = char;
  static constexpr size_t kUnitBytes = 1;
  explicit ByteUnits(std::string_view text) : text_(text) {}
  size_t size() const { return text_.size(); }
  Unit operator[](size_t i) const { return text_[i]; }
  /// The index of the first `unit` at or after `from`, else size().
  size_t Find(Unit unit, size_t from) const {
    if (from >= text_.size()) return text_.size();  // an empty view may have no data at all
    const void* hit = std::memchr(text_.data() + from, unit, text_.size() - from);
    return hit ? static_cast<const char*>(hit) - text_.data() : text_.size();
  }

 private:
  std::string_view text_;
};

// The 16-bit code units of a UTF-16 text in one byte order; a last odd byte
// is no unit.
class Utf16TextUnits {
 public:
  using Unit = char16_t;
  static constexpr size_t kUnitBytes = 2;
  Utf16TextUnits(std::string_view text, bool big_endian) : text_(text), big_(big_endian) {}
  size_t size() const { return text_.size() / 2; }
  Unit operator[](size_t i) const { return Utf16Unit(&text_[2 * i], big_); }
  size_t Find(Unit unit, size_t from) const {
    while (from < size() && (*this)[from] != unit) ++from;
    return from;
  }

 private:
  std::string_view text_;
  bool big_;
};

template <typename Unit>
bool IsBlank(Unit c) { return c == ' ' || c == '\t' || c == '\v'; }

template <typename Unit>
bool IsLineEnd(Unit c) { return c == '\r' || c == '\n'; }

// Units [begin, end) of a text.
struct Stretch {
  size_t begin, end;
};

template <typename Units>
Stretch TrimBlanks(const Units& units, Stretch s) {
  while (s.begin < s.end && IsBlank(units[s.begin])) ++s.begin;
  while (s.end > s.begin && IsBlank(units[s.end - 1])) --s.end;
  return s;
}

template <typename Units, typename Name>
bool NameEquals(const Units& units, Stretch s, const Name& name) {
  if (s.end - s.begin != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (UpperAscii(units[s.begin + i]) != UpperAscii(name[i])) return false;
  }
  return true;
}

template <typename Name>
Name StripSpaces(Name name) {
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return name;
}

// Walks the lines of a text. The next CR and LF positions are cached so that
// a file ending its lines in only one of them is still read in linear time.
template <typename Units>
class LineReader {
 public:
  LineReader(const Units& units, size_t start) : units_(units), pos_(start) {}

  /// The next line without its ending; false at the end.
  bool Next(Stretch* line) {
    if (pos_ >= units_.size()) return false;
    const size_t cr = Find('\r', &next_cr_), lf = Find('\n', &next_lf_);
    const size_t end = cr < lf ? cr : lf;
    *line = Stretch{pos_, end};
    pos_ = (end == cr && end + 1 == lf) ? end + 2 : end + 1;
    return true;
  }

 private:
  size_t Find(char unit, size_t* cache) {
    if (*cache == kNone || *cache < pos_) *cache = units_.Find(unit, pos_);
    return *cache;
  }

  const Units& units_;
  size_t pos_;
  size_t next_cr_ = kNone;
  size_t next_lf_ = kNone;
};

// The index of the first CR or LF at or after `pos`, else the text's size.
template <typename Units>
size_t LineEnd(const Units& units, size_t pos) {
  while (pos < units.size() && !IsLineEnd(units[pos])) ++pos;
  return pos;
}

// The index of the line after the one that ends at `end`.
template <typename Units>
size_t NextLineStart(const Units& units, size_t end) {
  if (end >= units.size()) return units.size();
  if (end + 1 < units.size() && units[end] == '\r' && units[end + 1] == '\n') return end + 2;
  return end + 1;
}

// Whether only blanks stand between the start of its line and `pos`; lines
// start at `start` and after every CR and LF.
template <typename Units>
bool OpensLine(const Units& units, size_t start, size_t pos) {
  while (pos > start && IsBlank(units[pos - 1])) --pos;
  return pos == start || IsLineEnd(units[pos - 1]);
}

// The index of the line after the header of the first section named
// `section`, or kNone. Only a '[' can open a header, so the search jumps from
// one to the next instead of splitting every line.
template <typename Units, typename Name>
size_t FindSectionBody(const Units& units, size_t start, const Name& section) {
  for (size_t pos = units.Find('[', start); pos < units.size(); pos = units.Find('[', pos + 1)) {
    if (!OpensLine(units, start, pos)) continue;
    const size_t end = LineEnd(units, pos);
    size_t bracket = pos + 1;
    while (bracket < end && units[bracket] != ']') ++bracket;
    if (NameEquals(units, TrimBlanks(units, Stretch{pos + 1, bracket}), section)) {
      return NextLineStart(units, end);
    }
    pos = end;
    if (pos >= units.size()) break;
  }
  return kNone;
}

// The stored value of `key` in `section`, in units of `units` from `start`.
template <typename Units, typename Name>
std::optional<Stretch> LocateIn(const Units& units, size_t start, Name section, Name key) {
  const size_t body = FindSectionBody(units, start, StripSpaces(section));
  if (body == kNone) return std::nullopt;
  key = StripSpaces(key);
  LineReader<Units> lines(units, body);
  Stretch line;
  while (lines.Next(&line)) {
    size_t lead = line.begin;
    while (lead < line.end && IsBlank(units[lead])) ++lead;
    if (lead == line.end || units[lead] == ';') continue;
    if (units[lead] == '[') return std::nullopt;  // the section ends unfound
    size_t equals = lead;
    while (equals < line.end && units[equals] != '=') ++equals;
    if (equals == line.end) continue;
    if (NameEquals(units, TrimBlanks(units, Stretch{lead, equals}), key)) {
      return TrimBlanks(units, Stretch{equals + 1, line.end});
    }
  }
  return std::nullopt;
}

template <typename Units, typename Name>
std::optional<ValueSpan> LocateBytes(const Units& units, size_t start, Name section, Name key) {
  const auto found = LocateIn(units, start, section, key);
  if (!found) return std::nullopt;
  return ValueSpan{found->begin * Units::kUnitBytes, found->end * Units::kUnitBytes};
}

}  // namespace

std::optional<ValueSpan> LocateValue(std::string_view text, std::string_view section,
                                     std::string_view key) {
  const ProfileEncoding encoding = EncodingOf(text);
  if (encoding == ProfileEncoding::kBytes) {
    const auto section_bytes = ArgumentToCodePage(section), key_bytes = ArgumentToCodePage(key);
    if (!section_bytes || !key_bytes) return std::nullopt;
    const size_t start = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    return LocateBytes(ByteUnits(text), start, std::string_view(*section_bytes),
                       std::string_view(*key_bytes));
  }
  const auto section_units = ArgumentToUtf16(section), key_units = ArgumentToUtf16(key);
  if (!section_units || !key_units) return std::nullopt;
  const Utf16TextUnits units(text, encoding == ProfileEncoding::kUtf16Be);
  return LocateBytes(units, 1, std::u16string_view(*section_units),
                     std::u16string_view(*key_units));
}

}  // namespace varnok
