#include "file/journal.h"

#include <algorithm>

namespace varnok {

namespace {

constexpr std::string_view kJournalMagic("varnokJ2", 8);
constexpr std::string_view kMarkMagic("varnokM1", 8);
constexpr size_t kTokenSize = 16;
constexpr std::string_view kJournalPrefix = ".varnok-";
constexpr std::string_view kJournalSuffix = ".journal";

// FNV-1a: every step is a bijection of the state, so a change of any one
// byte changes the result.
uint64_t Checksum(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
  return hash;
}

void PutNumber(std::string* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

void PutField(std::string* out, std::string_view field) {
  PutNumber(out, field.size());
  out->append(field);
}

// Takes a little-endian 64-bit number off the front of `in`; none when too short.
std::optional<uint64_t> TakeNumber(std::string_view* in) {
  if (in->size() < 8) return std::nullopt;
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= uint64_t{static_cast<unsigned char>((*in)[i])} << (8 * i);
  in->remove_prefix(8);
  return value;
}

// Takes a field written by PutField off the front of `in`.
std::optional<std::string> TakeField(std::string_view* in) {
  const std::optional<uint64_t> size = TakeNumber(in);
  if (!size || *size > in->size()) return std::nullopt;
  std::string field(in->substr(0, static_cast<size_t>(*size)));
  in->remove_prefix(static_cast<size_t>(*size));
  return field;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

std::string EncodeJournal(const JournalRecord& record) {
  std::string out(kJournalMagic);
  PutField(&out, record.identity);
  PutField(&out, record.token);
  PutNumber(&out, record.offset);
  PutField(&out, record.old_bytes);
  PutField(&out, record.new_bytes);
  PutNumber(&out, Checksum(out));
  return out;
}

std::optional<JournalRecord> DecodeJournal(std::string_view bytes) {
  if (bytes.size() < kJournalMagic.size() + 8 || bytes.substr(0, kJournalMagic.size()) != kJournalMagic) {
    return std::nullopt;
  }
  std::string_view body = bytes.substr(0, bytes.size() - 8), sum = bytes.substr(body.size());
  if (TakeNumber(&sum) != Checksum(body)) return std::nullopt;
  std::string_view in = body.substr(kJournalMagic.size());
  auto identity = TakeField(&in), token = TakeField(&in);
  auto offset = TakeNumber(&in);
  auto old_bytes = TakeField(&in), new_bytes = TakeField(&in);
  if (!identity || !token || !offset || !old_bytes || !new_bytes || !in.empty()) return std::nullopt;
  return JournalRecord{*identity, *token, *offset, *old_bytes, *new_bytes};
}

bool LeftByWrite(const JournalRecord& record, std::string_view tail) {
  const std::string& old_bytes = record.old_bytes;
  const std::string& new_bytes = record.new_bytes;
  const size_t shorter = std::min(old_bytes.size(), new_bytes.size());
  const size_t longer = std::max(old_bytes.size(), new_bytes.size());
  if (tail.size() < shorter || tail.size() > longer) return false;
  for (size_t i = 0; i < tail.size(); ++i) {
    const bool as_old = i < old_bytes.size() ? tail[i] == old_bytes[i] : tail[i] == '\0';
    if (!as_old && !(i < new_bytes.size() && tail[i] == new_bytes[i])) return false;
  }
  return true;
}

std::string EncodeMark(const WriteMark& mark) {
  std::string out(kMarkMagic);
  out.push_back(mark.state);
  PutField(&out, mark.token);
  PutField(&out, mark.journal);
  return out;
}

std::optional<WriteMark> DecodeMark(std::string_view bytes) {
  if (bytes.size() < kMarkMagic.size() + 1 || bytes.substr(0, kMarkMagic.size()) != kMarkMagic) {
    return std::nullopt;
  }
  const char state = bytes[kMarkMagic.size()];
  if (state != WriteMark::kPrepared && state != WriteMark::kWriting && state != WriteMark::kDone) {
    return std::nullopt;
  }
  std::string_view in = bytes.substr(kMarkMagic.size() + 1);
  auto token = TakeField(&in), journal = TakeField(&in);
  if (!token || !journal || !in.empty() || token->size() != kTokenSize) return std::nullopt;
  return WriteMark{static_cast<WriteMark::State>(state), *token, *journal};
}

bool IsJournalName(std::string_view name) {
  const size_t digits = 2 * kTokenSize;
  if (name.size() != kJournalPrefix.size() + digits + kJournalSuffix.size() ||
      name.substr(0, kJournalPrefix.size()) != kJournalPrefix ||
      name.substr(name.size() - kJournalSuffix.size()) != kJournalSuffix) {
    return false;
  }
  for (char c : name.substr(kJournalPrefix.size(), digits)) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

std::string JournalName(std::string_view token) {
  static const char kDigits[] = "0123456789abcdef";
  std::string name(kJournalPrefix);
  for (unsigned char byte : token) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name.append(kJournalSuffix);
}

}  // namespace varnok
