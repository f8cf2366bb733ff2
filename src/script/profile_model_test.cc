// The reading rules of profile files, held as a deliberately simple model,
// against the product on thousands of generated files: the value every
// lookup finds, and the bytes that setting a key leaves in a real file.
//
// The model never parses bytes: the generator writes each file from known
// lines (headers, entries, comments, other lines, blanks) and records what
// it wrote, and the model looks keys up in that record. A UTF-16 file is
// written as UTF-8 text (WTF-8 where it holds an unpaired surrogate) and then
// encoded; the model works on that text, which is also the form in which
// values are read from such a file and handed to its write.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include "file/file_replace.h"
#include "ini/profile.h"
#include "script/script_file.h"
#include "ini/utf16.h"

namespace varnok {
namespace {

namespace fs = std::filesystem;

// What the model knows of a file: its sections in order, each with its
// entries in order, and where each entry's stored value lies.
struct ModelEntry {
  std::string key;
  size_t begin, end;  // the stored value: text[begin, end)
};
struct ModelSection {
  bool headed;  // false for the lines before the first header
  std::string name;
  std::vector<ModelEntry> entries;
};
struct ModelFile {
  ProfileEncoding encoding = ProfileEncoding::kBytes;
  std::string source;  // what the generator wrote; begin and end point into it
  std::string stray;   // a UTF-16 file's last odd byte, if any
  std::string text;    // the file's bytes
  std::vector<ModelSection> sections;
};

// The bytes of `file` holding `source`: the source itself, or its UTF-16
// code units after the mark, in the file's byte order.
std::string Encoded(const ModelFile& file, const std::string& source) {
  if (file.encoding == ProfileEncoding::kBytes) return source;
  const bool big_endian = file.encoding == ProfileEncoding::kUtf16Be;
  const auto units = Wtf8ToUtf16(source);
  EXPECT_TRUE(units) << "generated text that is not WTF-8";
  return Utf16Bytes(u"\uFEFF" + units.value_or(u""), big_endian) + file.stray;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 'a' - 'A') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string StripSpaces(std::string name) {
  while (!name.empty() && name.front() == ' ') name.erase(0, 1);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

// The model's lookup: the first section of the name, the first key in it.
std::optional<ModelEntry> ModelFind(const ModelFile& file, const std::string& section,
                                    const std::string& key) {
  for (const ModelSection& candidate : file.sections) {
    if (!candidate.headed || !SameName(candidate.name, StripSpaces(section))) continue;
    for (const ModelEntry& entry : candidate.entries) {
      if (SameName(entry.key, StripSpaces(key))) return entry;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::string Unquote(const std::string& value) {
  const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
  return quoted ? value.substr(1, value.size() - 2) : value;
}

std::string ModelRead(const ModelFile& file, const std::string& section, const std::string& key) {
  auto entry = ModelFind(file, section, key);
  return entry ? Unquote(file.source.substr(entry->begin, entry->end - entry->begin)) : "";
}

// What a read of `value` gives once it is written: blanks trimmed, unquoted.
std::string ModelAsRead(std::string value) {
  const std::string blanks = " \t\v";
  while (!value.empty() && blanks.find(value.front()) != std::string::npos) value.erase(0, 1);
  while (!value.empty() && blanks.find(value.back()) != std::string::npos) value.pop_back();
  return Unquote(value);
}

using Strings = std::vector<std::string>;

// Blanks are space, TAB and VT. Names and values never begin or end with one,
// and hold no CR or LF; keys hold no "=" and begin with neither "[" nor ";";
// section names hold no "]".
const Strings kBlanks = {"", "", " ", "\t", "\v", " \t "};
const Strings kLineEnds = {"\n", "\r\n", "\r"};
// Names of byte files are the file's own bytes on POSIX; on Windows they are
// UTF-8 from the command line, converted to the ANSI code page, so the model,
// which compares bytes, uses ASCII there.
#ifdef _WIN32
const Strings kSectionNames = {"S", "Main", "a b", "", "x=y", "[in", ";c", "zZ"};
const Strings kKeys = {"k", "Key", "a b", "", "#k", "k]", std::string("n\0l", 3), "\fk", "z"};
#else
const Strings kSectionNames = {"S", "Main", "a b", "", "x=y", "[in", ";c", "\xC4"};
const Strings kKeys = {"k", "Key", "a b", "", "#k", "k]", std::string("n\0l", 3), "\fk", "\xE4"};
#endif
const Strings kValuePieces = {"v",  "old", "\"", "\"q\"", "a b", "=",  ";",  "#",
                              "'",  "x\ty", "[", "]", std::string(1, '\0'), "\xE9", ",", "|"};
const Strings kOtherLines = {"junk", "no equals here", "]", "k", "\f"};
const Strings kHeaderEnds = {"]", "]", "] junk", "]=x", "]]", ""};
// For UTF-16 files: names that are UTF-8, the command line's encoding on
// both platforms, and values with characters of two, three and four UTF-8
// bytes and an unpaired (trail) surrogate.
const Strings kUtf16SectionNames = {"S", "Main", "a b", "", "x=y", "[in", ";c", "\xC3\x84z"};
const Strings kUtf16Keys = {"k",  "Key", "a b", "", "#k", "k]", std::string("n\0l", 3),
                            "\xE2\x82\xAC"};
const Strings kUtf16ValuePieces = {"v", "\"", "\"q\"", "a b", "=", ";", "[", std::string(1, '\0'),
                                   "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\xB0\x80", ",",
                                   "|", "x\ty"};

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  ModelFile File();
  // A section and a key to look up: mostly ones that `file` holds, in
  // random case, sometimes padded with spaces or a TAB.
  std::pair<std::string, std::string> Query(const ModelFile& file);
  std::string Value();
  std::string Blanks() { return From(kBlanks); }
  bool Chance(int percent) { return Pick(100) < static_cast<size_t>(percent); }

 private:
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  const std::string& From(const Strings& table) { return table[Pick(table.size())]; }
  std::string RandomCase(std::string name);
  std::string Padded(std::string name);
  void AddLine(ModelFile* file);

  std::mt19937 random_;
  // The tables of the file last generated: its names and values.
  const Strings* section_names_ = &kSectionNames;
  const Strings* keys_ = &kKeys;
  const Strings* value_pieces_ = &kValuePieces;
};

std::string Generator::RandomCase(std::string name) {
  for (char& c : name) {
    if (Chance(50)) c = Lower(c);
    else if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

std::string Generator::Padded(std::string name) {
  name = RandomCase(name);
  if (Chance(20)) name = "  " + name + " ";
  if (Chance(3)) name = "\t" + name;
  return name;
}

std::pair<std::string, std::string> Generator::Query(const ModelFile& file) {
  std::vector<const ModelSection*> held;
  for (const ModelSection& section : file.sections) {
    if (section.headed && !section.entries.empty()) held.push_back(&section);
  }
  if (held.empty() || Chance(10)) return {Padded(From(*section_names_)), Padded(From(*keys_))};
  const ModelSection& section = *held[Pick(held.size())];
  return {Padded(section.name), Padded(section.entries[Pick(section.entries.size())].key)};
}

std::string Generator::Value() {
  std::string value;
  for (size_t n = Chance(10) ? 0 : 1 + Pick(3); n > 0; --n) value += From(*value_pieces_);
  return value;
}

// One line of a kind chosen at random, with its line end.
void Generator::AddLine(ModelFile* file) {
  std::string& text = file->source;
  text += From(kBlanks);
  const size_t kind = Pick(10);
  if (kind < 2) {
    const std::string name = RandomCase(From(*section_names_));
    text += "[" + From(kBlanks) + name + From(kBlanks) + From(kHeaderEnds);
    file->sections.push_back({true, name, {}});
  } else if (kind < 7) {
    const std::string key = RandomCase(From(*keys_)), value = Value();
    text += key + From(kBlanks) + "=" + From(kBlanks);
    file->sections.back().entries.push_back({key, text.size(), text.size() + value.size()});
    text += value + From(kBlanks);
  } else if (kind == 7) {
    text += ";" + Value();
  } else if (kind == 8) {
    text += From(kOtherLines);
  }  // else a blank line
  text += From(kLineEnds);
}

ModelFile Generator::File() {
  ModelFile file;
  const size_t start = Pick(20);
  if (start == 0) file.source = "\xEF\xBB\xBF";
  if (start == 1 || start == 2) {
    file.encoding = Chance(50) ? ProfileEncoding::kUtf16Le : ProfileEncoding::kUtf16Be;
    if (Chance(20)) file.stray = From(kValuePieces).substr(0, 1);
  }
  const bool utf16 = file.encoding != ProfileEncoding::kBytes;
  section_names_ = utf16 ? &kUtf16SectionNames : &kSectionNames;
  keys_ = utf16 ? &kUtf16Keys : &kKeys;
  value_pieces_ = utf16 ? &kUtf16ValuePieces : &kValuePieces;
  file.sections.push_back({false, "", {}});
  for (size_t lines = Pick(16); lines > 0; --lines) AddLine(&file);
  if (Chance(30) && !file.source.empty() && file.source.back() == '\n') file.source.pop_back();
  file.text = Encoded(file, file.source);
  return file;
}

std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

std::string ProductRead(const std::string& text, const std::string& section,
                        const std::string& key) {
  auto span = LocateValue(text, section, key);
  return span ? ValueAsRead(text, *span) : "";
}

// Sets a key in a real file as a run does (read, then write when the read
// found a value), hard-linked when `linked` so that it is rewritten in place,
// and compares the value found and the bytes left with the model. Counts the
// writes made in `*writes`.
void CompareAssignment(Generator& gen, const ModelFile& file, const fs::path& dir, bool linked,
                       int* writes) {
  const auto [section, key] = gen.Query(file);
  std::string value = gen.Value();
  if (gen.Chance(20)) value = gen.Blanks() + value + gen.Blanks();
  if (gen.Chance(5)) value += gen.Chance(50) ? "\r" : "\n";
  const fs::path path = dir / "s.ini";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << file.text;
  if (linked) fs::create_hard_link(path, dir / "twin.ini");
  std::string expected = file.text;
  {
    LockedFile script;
    ASSERT_TRUE(script.Open(path.string()));
    const ScriptValue read = ReadScriptValue(script, section, key);
    const std::string& found = read.text;
    ASSERT_EQ(found, ModelRead(file, section, key)) << "[" << section << "] " << key;
    const bool refused =
        ModelAsRead(value).empty() || value.find_first_of("\r\n") != std::string::npos;
    if (!found.empty() && !refused) {
      const auto entry = ModelFind(file, section, key);
      expected = Encoded(file, file.source.substr(0, entry->begin) + value +
                                   file.source.substr(entry->end));
    }
    if (!found.empty()) {
      ASSERT_EQ(WriteScriptValue(script, path.string(), read, value), refused ? "" : value);
      *writes += !refused;
    }
  }
  ASSERT_EQ(ReadFile(path), expected) << "[" << section << "] " << key << "=" << value;
  fs::remove(path);
  if (linked) fs::remove(dir / "twin.ini");
  ASSERT_TRUE(fs::is_empty(dir)) << "a temporary file was left";
}

TEST(ProfileModel, ProductAndModelAgreeOnGeneratedFiles) {
  constexpr int kFiles = 5000, kLookupsPerFile = 8;
  fs::path dir;
  std::random_device unique;
  do {
    dir = fs::temp_directory_path() / ("varnok-model-" + std::to_string(unique()));
  } while (!fs::create_directory(dir));
  Generator gen(20260105);
  int files = 0, utf16_files = 0, lookups = 0, found = 0, writes = 0;
  for (; files < kFiles && !HasFatalFailure(); ++files) {
    const ModelFile file = gen.File();
    utf16_files += file.encoding != ProfileEncoding::kBytes;
    for (int i = 0; i < kLookupsPerFile; ++i, ++lookups) {
      const auto [section, key] = gen.Query(file);
      const std::string value = ModelRead(file, section, key);
      ASSERT_EQ(ProductRead(file.text, section, key), value)
          << "file " << files << ": [" << section << "] " << key;
      found += !value.empty();
    }
    CompareAssignment(gen, file, dir, files % 4 == 3, &writes);
  }
  fs::remove_all(dir);
  std::printf("generated files compared: %d (%d UTF-16; %d lookups, %d found a value; %d writes)\n",
              files, utf16_files, lookups, found, writes);
  EXPECT_GT(utf16_files, kFiles / 20);
  EXPECT_GT(found, lookups / 4);
  EXPECT_GT(writes, kFiles / 4);
}

}  // namespace
}  // namespace varnok
