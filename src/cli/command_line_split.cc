#include "cli/command_line_split.h"

namespace varnok {

namespace {

bool IsSeparator(char c) {
  const unsigned char code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

// Reads items one at a time from a command line.
class ItemReader {
 public:
  ItemReader(std::string_view line, LeadBytePredicate is_lead_byte)
      : line_(line), is_lead_byte_(is_lead_byte) {}

  /// Moves to the start of the next item; false at the end of the line.
  bool SkipToItem() {
    while (true) {
      while (pos_ < line_.size() && IsSeparator(line_[pos_])) ++pos_;
      if (line_.compare(pos_, 2, "\"\"") != 0) break;
      pos_ += 2;
    }
    return pos_ < line_.size() && line_[pos_] != '\0';
  }

  /// The item at the current position, quotes removed.
  std::string ReadItem() {
    std::string item;
    while (pos_ < line_.size() && line_[pos_] != '\0' && !IsSeparator(line_[pos_])) {
      if (line_[pos_] != '"') {
        TakeCharacter(&item);
        continue;
      }
      ++pos_;
      while (pos_ < line_.size() && line_[pos_] != '\0' && line_[pos_] != '"') {
        TakeCharacter(&item);
      }
      if (pos_ < line_.size() && line_[pos_] == '"') ++pos_;
    }
    return item;
  }

 private:
  // Appends the character at the current position, both bytes of a
  // double-byte one, and moves past it.
  void TakeCharacter(std::string* item) {
    const bool double_byte = is_lead_byte_(static_cast<unsigned char>(line_[pos_])) &&
                             pos_ + 1 < line_.size() && line_[pos_ + 1] != '\0';
    const size_t length = double_byte ? 2 : 1;
    item->append(line_.substr(pos_, length));
    pos_ += length;
  }

  std::string_view line_;
  LeadBytePredicate is_lead_byte_;
  size_t pos_ = 0;
};

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view command_line,
                                          LeadBytePredicate is_lead_byte) {
  ItemReader reader(command_line, is_lead_byte);
  std::vector<std::string> items;
  if (reader.SkipToItem()) reader.ReadItem();  // the program's own path
  while (reader.SkipToItem()) items.push_back(reader.ReadItem());
  return items;
}

std::string DashesForSlashes(std::string_view argument, LeadBytePredicate is_lead_byte) {
  std::string result(argument);
  for (size_t i = 0; i < result.size(); ++i) {
    if (is_lead_byte(static_cast<unsigned char>(result[i]))) {
      ++i;  // the second byte belongs to the character
    } else if (result[i] == '/') {
      result[i] = '-';
    }
  }
  return result;
}

}  // namespace varnok
