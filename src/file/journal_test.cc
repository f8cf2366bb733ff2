#include "file/journal.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

JournalRecord Sample() {
  JournalRecord record;
  record.identity = std::string("\x01\x00\xff", 3) + "ino";
  record.old_size = 12;
  record.offset = 5;
  record.saved = std::string("ab\0\ncd\r", 7);
  return record;
}

TEST(Journal, ARecordReadsBackAsWritten) {
  for (JournalRecord record : {Sample(), JournalRecord{}}) {
    const auto decoded = DecodeJournal(EncodeJournal(record));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->identity, record.identity);
    EXPECT_EQ(decoded->old_size, record.old_size);
    EXPECT_EQ(decoded->offset, record.offset);
    EXPECT_EQ(decoded->saved, record.saved);
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

// Saved bytes that do not reach exactly to the old size cannot undo a
// rewrite: putting them back would leave a mix.
TEST(Journal, SavedBytesMustEndAtTheOldSize) {
  for (uint64_t old_size : {11u, 13u, 4u}) {
    JournalRecord record = Sample();
    record.old_size = old_size;
    EXPECT_FALSE(DecodeJournal(EncodeJournal(record))) << old_size;
  }
}

}  // namespace
}  // namespace varnok
