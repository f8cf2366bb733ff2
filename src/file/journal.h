// The record an in-place rewrite leaves before it changes a byte: which file,
// its old size, and the old bytes from the first one that changes to the old
// end. Putting `saved` back at `offset` and cutting the file to `old_size`
// undoes the rewrite, wherever it was stopped. Platform-neutral: each
// platform builds `identity` from what names a file there and keeps the
// encoded record in a file of its own.
#ifndef VARNOK_FILE_JOURNAL_H_
#define VARNOK_FILE_JOURNAL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnok {

struct JournalRecord {
  std::string identity;  // opaque: the platform's name of the file the record belongs to
  uint64_t old_size = 0;
  uint64_t offset = 0;
  std::string saved;     // the old bytes from `offset` to `old_size`
};

/// The record as bytes: a magic, the lengths, the fields and a checksum over
/// all of them, so a torn or damaged copy is told from a whole one.
std::string EncodeJournal(const JournalRecord& record);

/// The record `bytes` hold; none when they are torn, damaged, or describe
/// saved bytes that do not end at the old size.
std::optional<JournalRecord> DecodeJournal(std::string_view bytes);

}  // namespace varnok

#endif  // VARNOK_FILE_JOURNAL_H_
