// The journal of a rewrite in place, and the mark that binds it to its file.
//
// Before a rewrite in place changes a byte, it saves the old bytes and the
// new ones in a journal file of their own, and marks the file itself (an
// extended attribute on POSIX, a named stream on Windows) with a random token
// and where the journal lies. Every name of the file carries the mark, so a
// run through any of them finds an unfinished write. The journal is put back
// only while the mark says its write is unfinished, only into the file whose
// identity it records, and only when the file holds exactly what that write
// could have left. Platform-neutral: each platform builds `identity` from
// what tells its files apart, and keeps the record and the mark its own way.
//
// A rewrite goes through these steps, each flushed before the next:
//   1. mark kPrepared (names the journal; no byte has changed);
//   2. write the journal, flushed with its directory;
//   3. mark kWriting (from here on the file may be torn);
//   4. write the new bytes and the new size;
//   5. mark kDone (the journal must never be applied now);
//   6. remove the journal, then the mark.
#ifndef VARNOK_FILE_JOURNAL_H_
#define VARNOK_FILE_JOURNAL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnok {

struct JournalRecord {
  std::string identity;   // opaque: what tells the file apart from any other, ever
  std::string token;      // random; the mark on the file carries it too
  uint64_t offset = 0;    // the first byte the write changes
  std::string old_bytes;  // the file's bytes from `offset` to its old end
  std::string new_bytes;  // the bytes from `offset` to the new end

  uint64_t old_size() const { return offset + old_bytes.size(); }
  uint64_t new_size() const { return offset + new_bytes.size(); }
};

/// The record as bytes: a magic, the fields with their lengths and a
/// checksum over all of them, so a torn or damaged copy is told from a whole
/// one.
std::string EncodeJournal(const JournalRecord& record);

/// The record `bytes` hold; none when they are torn or damaged.
std::optional<JournalRecord> DecodeJournal(std::string_view bytes);

/// Whether `tail`, a file's bytes from `record.offset` to its end, is what
/// the record's write can have left there, wherever it stopped: a size from
/// the old one to the new one, and every byte the old one, the new one, or a
/// zero where the file had been extended. Pages written back in any order
/// (a power cut) leave such a mix too. Anything else is a later change.
bool LeftByWrite(const JournalRecord& record, std::string_view tail);

/// The state of an unfinished write, as its mark on the file tells it.
struct WriteMark {
  enum State : char { kPrepared = 'P', kWriting = 'W', kDone = 'D' };
  State state = kPrepared;
  std::string token;    // the record's token
  std::string journal;  // where the journal lies: a full path, UTF-8
};

std::string EncodeMark(const WriteMark& mark);

/// The mark `bytes` hold; none when they are not one of ours.
std::optional<WriteMark> DecodeMark(std::string_view bytes);

/// Whether `name`, the last part of a journal's path, is spelled as this
/// program names its journals (".varnok-<32 hex digits>.journal"): a mark
/// never leads a run to remove anything else.
bool IsJournalName(std::string_view name);

/// A journal's name for the token `token`.
std::string JournalName(std::string_view token);

}  // namespace varnok

#endif  // VARNOK_FILE_JOURNAL_H_
