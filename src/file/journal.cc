#include "file/journal.h"

namespace varnok {

namespace {

constexpr std::string_view kMagic("varnokJ1", 8);
constexpr size_t kFixedSize = kMagic.size() + 4 + 8 + 8 + 8 + 8;

// FNV-1a: every step is a bijection of the state, so a change of any one
// byte changes the result.
uint64_t Checksum(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
  return hash;
}

void PutNumber(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

// Takes a little-endian number of `bytes` bytes off the front of `in`.
uint64_t TakeNumber(std::string_view* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{static_cast<unsigned char>((*in)[i])} << (8 * i);
  in->remove_prefix(static_cast<size_t>(bytes));
  return value;
}

}  // namespace

std::string EncodeJournal(const JournalRecord& record) {
  std::string out(kMagic);
  PutNumber(&out, record.identity.size(), 4);
  out += record.identity;
  PutNumber(&out, record.old_size, 8);
  PutNumber(&out, record.offset, 8);
  PutNumber(&out, record.saved.size(), 8);
  out += record.saved;
  PutNumber(&out, Checksum(out), 8);
  return out;
}

std::optional<JournalRecord> DecodeJournal(std::string_view bytes) {
  if (bytes.size() < kFixedSize || bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  std::string_view body = bytes.substr(0, bytes.size() - 8), sum = bytes.substr(body.size());
  if (TakeNumber(&sum, 8) != Checksum(body)) return std::nullopt;
  std::string_view in = body.substr(kMagic.size());
  JournalRecord record;
  const uint64_t identity_size = TakeNumber(&in, 4);
  if (identity_size > in.size() - 24) return std::nullopt;
  record.identity = std::string(in.substr(0, identity_size));
  in.remove_prefix(identity_size);
  record.old_size = TakeNumber(&in, 8);
  record.offset = TakeNumber(&in, 8);
  if (TakeNumber(&in, 8) != in.size()) return std::nullopt;
  record.saved = std::string(in);
  if (record.offset > record.old_size || record.old_size - record.offset != record.saved.size()) {
    return std::nullopt;
  }
  return record;
}

}  // namespace varnok
