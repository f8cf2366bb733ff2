#include "cli/command_line_split.h"

namespace varnok {

namespace {

bool IsSeparator(char16_t unit) { return unit >= 1 && unit <= 32; }

// Reads items one at a time from a command line.
class ItemReader {
 public:
  explicit ItemReader(std::u16string_view line) : line_(line.substr(0, line.find(u'\0'))) {}

  /// Moves to the start of the next item; false at the end of the line.
  bool SkipToItem() {
    while (true) {
      while (pos_ < line_.size() && IsSeparator(line_[pos_])) ++pos_;
      if (line_.compare(pos_, 2, u"\"\"") != 0) break;
      pos_ += 2;
    }
    return pos_ < line_.size();
  }

  /// The item at the current position, quotes removed.
  std::u16string ReadItem() {
    std::u16string item;
    while (pos_ < line_.size() && !IsSeparator(line_[pos_])) {
      if (line_[pos_] != u'"') {
        item.push_back(line_[pos_++]);
        continue;
      }
      const size_t close = line_.find(u'"', ++pos_);
      const size_t end = close == std::u16string_view::npos ? line_.size() : close;
      item.append(line_.substr(pos_, end - pos_));
      pos_ = close == std::u16string_view::npos ? end : end + 1;
    }
    return item;
  }

 private:
  std::u16string_view line_;  // up to its first NUL
  size_t pos_ = 0;
};

}  // namespace

std::vector<std::u16string> SplitCommandLine(std::u16string_view command_line) {
  ItemReader reader(command_line);
  std::vector<std::u16string> items;
  if (reader.SkipToItem()) reader.ReadItem();  // the program's own path
  while (reader.SkipToItem()) items.push_back(reader.ReadItem());
  return items;
}

}  // namespace varnok
