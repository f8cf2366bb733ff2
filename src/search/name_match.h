// File name patterns and listing order, as the Windows directory search has
// them, for platforms whose own directory search has neither.
//
// Matching ignores the case of ASCII letters. '*' matches any run of
// characters. '?' matches one character other than '.', and matches nothing
// where the name has a '.' or has ended (so "test?.ini" matches "test.ini").
// Names are UTF-8, so the character '?' takes is a lead byte with the
// continuation bytes that follow it (up to the count the lead byte gives),
// or any other single byte: "?.ini" matches "\xCE\xA9.ini" as Windows
// matches the one character it spells.
// A '.' followed by '*' or '?' also matches the end of the name ("foo.*"
// matches "foo"). Trailing dots and spaces of a pattern are ignored; a
// pattern left empty matches nothing.
#ifndef VARNOK_SEARCH_NAME_MATCH_H_
#define VARNOK_SEARCH_NAME_MATCH_H_

#include <string>
#include <string_view>

namespace varnok {

class NamePattern {
 public:
  explicit NamePattern(std::string_view pattern);

  /// Whether `name` matches the pattern.
  bool Matches(std::string_view name) const;
  /// Whether no name can match (the pattern is empty once trailing dots and
  /// spaces are gone).
  bool MatchesNothing() const { return text_.empty(); }
  /// Whether `name` is the pattern itself, byte for byte (no wildcards).
  bool IsExactly(std::string_view name) const { return !wild_ && name == text_; }
  /// The one name IsExactly accepts; empty when the pattern has wildcards or
  /// matches nothing.
  std::string_view ExactName() const { return wild_ ? std::string_view() : text_; }

 private:
  bool MatchesWild(std::string_view name) const;

  std::string text_;  // the pattern without its trailing dots and spaces
  bool wild_ = false;
};

/// The order of NTFS listings: names compared byte by byte after upper-casing
/// ASCII letters (so '_' sorts after 'Z'), ties broken by the raw bytes.
/// Negative, zero or positive, as `a` sorts before, with or after `b`.
int CompareListingOrder(std::string_view a, std::string_view b);

}  // namespace varnok

#endif  // VARNOK_SEARCH_NAME_MATCH_H_
