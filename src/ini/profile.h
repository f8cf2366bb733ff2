// Locating one key's value in the bytes of a profile (INI) file.
//
// The dialect, as the reader and the writer both follow it:
//
//  - A file starting with FF FE or FE FF is UTF-16 text (little- or
//    big-endian): the rules below apply to its 16-bit code units, the mark
//    stays, and a last odd byte or an unpaired surrogate is kept as it is.
//    Names and values from the command line are converted to UTF-16 for it
//    (see argument_text.h); values read from it are delivered, and new ones
//    taken, as WTF-8, which turns back into the same code units.
//  - Any other file is bytes; nothing in it is converted and a NUL byte is an
//    ordinary byte. Names and values from the command line are taken in the
//    file's code page (see argument_text.h: as they are on POSIX, in the ANSI
//    code page on Windows). A UTF-8 byte-order mark at the very start is
//    skipped (and kept on writing).
//  - CR LF, LF and a lone CR each end a line; a last line without an ending
//    is a line. Blank lines are skipped. Blanks are space, TAB and VT.
//  - A line whose first non-blank character is '[' is a section header. Its
//    name runs to the first ']' (or the end of the line) and is trimmed of
//    blanks; whatever follows the ']' is ignored. "[]" names the empty section.
//  - A line whose first non-blank character is ';' is a comment.
//  - Any other line holding '=' is an entry: key before the first '=', value
//    after it, both trimmed of blanks. Other lines are ignored, and entries
//    before the first header belong to no section.
//  - Lookup strips spaces from both ends of the section and key names, takes
//    the first section whose name matches ignoring ASCII case (later ones of
//    the same name are never searched) and in it the first matching key.
//  - The value read is the trimmed value less one outer pair of double
//    quotes; single quotes, ';', '#' and backslashes are literal. There is no
//    length limit.
#ifndef VARNOK_INI_PROFILE_H_
#define VARNOK_INI_PROFILE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace varnok {

enum class ProfileEncoding { kBytes, kUtf16Le, kUtf16Be };

/// How `text` is read: by its UTF-16 mark, else as bytes.
ProfileEncoding EncodingOf(std::string_view text);

/// The stored value of an entry: bytes [begin, end) of the file, from its
/// first to its last non-blank character, outer quotes included.
struct ValueSpan {
  size_t begin = 0;
  size_t end = 0;
};

/// Where the value of `key` in `section` (command-line text) is stored in
/// `text`; none when the section or the key is absent, or when a name cannot
/// be converted to the text's encoding (see argument_text.h).
std::optional<ValueSpan> LocateValue(std::string_view text, std::string_view section,
                                     std::string_view key);

/// The value a read delivers for a stored value: one pair of outer double
/// quotes removed when it is at least two characters long.
std::string_view UnquoteValue(std::string_view stored);

/// The value a read delivers for the stored value at `span` of `text`,
/// unquoted, as WTF-8 for a UTF-16 text.
std::string ValueAsRead(std::string_view text, const ValueSpan& span);

/// `argument` from the command line in the form ValueAsRead delivers for
/// `text`; none when it cannot be converted.
std::optional<std::string> ArgumentAsValueText(std::string_view text, std::string_view argument);

/// A change of one stored value: the text becomes `before`, `value` (the new
/// value in the text's own encoding) and `after`; every other byte stays.
struct ValueWrite {
  std::string_view before;
  std::string value;
  std::string_view after;
};

/// How `text` changes when `value` (in the form ValueAsRead delivers)
/// replaces the stored value at `span`. None when the value holds a CR or LF
/// (it would add lines) or would read back empty (blanks only, or ""
/// included), which would leave a key that can never be set again, or when
/// it cannot be stored in a UTF-16 text.
std::optional<ValueWrite> PlanValueWrite(std::string_view text, const ValueSpan& span,
                                         std::string_view value);

}  // namespace varnok

#endif  // VARNOK_INI_PROFILE_H_
