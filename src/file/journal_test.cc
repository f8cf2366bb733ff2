#include "file/journal.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

JournalRecord Sample() {
  return JournalRecord{std::string("\x01\x00\xff", 3) + "ino", std::string(16, '\x7f'), 5,
                       std::string("ab\0\ncd\r", 7), "new bytes, longer"};
}

TEST(Journal, ARecordReadsBackAsWritten) {
  for (const JournalRecord& record : {Sample(), JournalRecord{}}) {
    const auto decoded = DecodeJournal(EncodeJournal(record));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->identity, record.identity);
    EXPECT_EQ(decoded->token, record.token);
    EXPECT_EQ(decoded->offset, record.offset);
    EXPECT_EQ(decoded->old_bytes, record.old_bytes);
    EXPECT_EQ(decoded->new_bytes, record.new_bytes);
  }
}

// A kill while the record is written leaves any prefix of it; a bad sector
// or a stray write changes bits. Neither may pass for a record.
TEST(Journal, TornOrDamagedRecordsAreRefused) {
  const std::string whole = EncodeJournal(Sample());
  for (size_t length = 0; length < whole.size(); ++length) {
    EXPECT_FALSE(DecodeJournal(whole.substr(0, length))) << "torn at " << length;
  }
  EXPECT_FALSE(DecodeJournal(whole + "x"));
  for (size_t bit = 0; bit < whole.size() * 8; ++bit) {
    std::string damaged = whole;
    damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
    EXPECT_FALSE(DecodeJournal(damaged)) << "bit " << bit;
  }
}

// What a write of `record` leaves after `written` bytes, as the rewrite in
// place does it: room reserved first (zeros) when `reserved`, the new bytes
// in order, the size cut only once all are written.
std::string StoppedAfter(const JournalRecord& record, size_t written, bool reserved) {
  std::string tail = record.old_bytes;
  if (reserved && record.new_bytes.size() > tail.size()) tail.resize(record.new_bytes.size(), '\0');
  if (tail.size() < written) tail.resize(written);
  tail.replace(0, written, record.new_bytes, 0, written);
  if (written == record.new_bytes.size()) tail.resize(written);
  return tail;
}

JournalRecord Change(const std::string& old_bytes, const std::string& new_bytes) {
  return JournalRecord{"id", std::string(16, 't'), 3, old_bytes, new_bytes};
}

TEST(Journal, AWriteStoppedAnywhereIsRecognised) {
  for (const JournalRecord& record :
       {Change("old-value\nrest\n", "a-much-longer-new-value\nrest\n"), Change("old-value\nrest\n", "n\nrest\n")}) {
    for (const bool reserved : {false, true}) {
      for (size_t written = 0; written <= record.new_bytes.size(); ++written) {
        EXPECT_TRUE(LeftByWrite(record, StoppedAfter(record, written, reserved)))
            << record.new_bytes << ", " << written << " written, reserved " << reserved;
      }
    }
    // Pages written back out of order after a power cut: new, old, new.
    std::string mixed = StoppedAfter(record, record.new_bytes.size(), false);
    mixed.resize(std::max(record.old_bytes.size(), mixed.size()), '\0');
    for (size_t i = 2; i < 4 && i < record.old_bytes.size(); ++i) mixed[i] = record.old_bytes[i];
    mixed.resize(record.new_bytes.size());
    EXPECT_TRUE(LeftByWrite(record, mixed));
  }
}

// Any byte that neither write state explains, or a size outside the two,
// is a later change: an editor's save, or another file under the number.
TEST(Journal, AnyOtherContentIsALaterChange) {
  const JournalRecord record = Change("old-value\nrest\n", "new-value-longer\nrest\n");
  const std::string half = StoppedAfter(record, 6, false);
  for (size_t at = 0; at < half.size(); ++at) {
    std::string changed = half;
    changed[at] = '#';
    EXPECT_FALSE(LeftByWrite(record, changed)) << "byte " << at;
  }
  EXPECT_FALSE(LeftByWrite(record, half.substr(0, record.old_bytes.size() - 1)));
  EXPECT_FALSE(LeftByWrite(record, record.new_bytes + "x"));
  EXPECT_FALSE(LeftByWrite(record, ""));
  EXPECT_FALSE(LeftByWrite(record, "[S]\nk=1\n"));
  // Zeros stand for reserved room only past the old end.
  std::string zeroed = record.old_bytes;
  zeroed[0] = '\0';
  EXPECT_FALSE(LeftByWrite(record, zeroed));
}

TEST(Journal, AMarkReadsBackAndNothingElseIsOne) {
  for (const WriteMark::State state : {WriteMark::kPrepared, WriteMark::kWriting, WriteMark::kDone}) {
    const WriteMark mark{state, std::string(16, '\0'), "/var/tmp/x/.varnok-00.journal"};
    const auto decoded = DecodeMark(EncodeMark(mark));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->state, state);
    EXPECT_EQ(decoded->token, mark.token);
    EXPECT_EQ(decoded->journal, mark.journal);
  }
  const std::string whole = EncodeMark(WriteMark{WriteMark::kWriting, std::string(16, 'x'), "/j"});
  for (size_t length = 0; length < whole.size(); ++length) EXPECT_FALSE(DecodeMark(whole.substr(0, length)));
  EXPECT_FALSE(DecodeMark(whole + "x"));
  std::string other_state = whole;
  other_state[8] = 'X';
  EXPECT_FALSE(DecodeMark(other_state));
  EXPECT_FALSE(DecodeMark(EncodeMark(WriteMark{WriteMark::kWriting, "short", "/j"})));
}

TEST(Journal, OnlyJournalNamesAreJournalNames) {
  const std::string name = JournalName(std::string("\x00\x01\xab\xff", 4) + std::string(12, '\x10'));
  EXPECT_EQ(name, ".varnok-0001abff101010101010101010101010.journal");
  EXPECT_TRUE(IsJournalName(name));
  for (const char* other : {"passwd", ".varnok-0001abff.journal",
                            ".varnok-0001ABFF101010101010101010101010.journal",
                            ".varnok-0001abff101010101010101010101010.journal~",
                            "x.varnok-0001abff10101010101010101010101.journal"}) {
    EXPECT_FALSE(IsJournalName(other)) << other;
  }
}

}  // namespace
}  // namespace varnok
