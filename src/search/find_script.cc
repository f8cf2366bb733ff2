#include "search/find_script.h"

#include <vector>

#include "search/dir_list.h"

namespace varnok {

namespace {

#ifdef _WIN32
constexpr const char* kSeparators = "\\/";
#else
constexpr const char* kSeparators = "/";
#endif

// The subdirectories of one open level still to be searched.
struct PendingLevel {
  std::vector<std::string> names;
  size_t next = 0;
};

// Moves the cursor into the next subdirectory to search, leaving finished
// levels; false when the whole tree is done.
bool AdvanceToNextDirectory(DirectoryCursor& cursor, std::vector<PendingLevel>& pending,
                            DirectoryScan* scan) {
  while (!pending.empty()) {
    PendingLevel& level = pending.back();
    if (level.next == level.names.size()) {
      pending.pop_back();
      if (!pending.empty()) cursor.ReturnToParent();
      continue;
    }
    const std::string& name = level.names[level.next++];
    if (name[0] != '.' && cursor.OpenChild(name, scan)) return true;
  }
  return false;
}

}  // namespace

bool IsPlainEntryName(const std::string& Name) {
  return !Name.empty() && Name.find_first_of(kSeparators) == std::string::npos;
}

std::string FindScript(const std::string& Dir, const std::string& Name) {
  return FindScriptWithReadAhead(Dir, Name, ReadAheadOptions());
}

std::string FindScriptSequential(const std::string& Dir, const std::string& Name) {
  if (!IsPlainEntryName(Name)) return "";
  DirectoryCursor cursor(Name);
  DirectoryScan scan;
  if (!cursor.OpenRoot(Dir, &scan)) return "";
  std::vector<PendingLevel> pending;
  do {
    if (!scan.match.empty()) return cursor.path() + kPathSeparator + scan.match;
    pending.push_back({std::move(scan.subdirs), 0});
  } while (AdvanceToNextDirectory(cursor, pending, &scan));
  return "";
}

}  // namespace varnok
