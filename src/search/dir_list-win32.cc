// Directory listing on Windows: the system's wide directory search
// (FindFirstFileExW, FindNextFileW) over UTF-8 paths in their "\\?\" form, so
// every name is listed and entered whatever the ANSI code page can spell and
// however long the path grows; the platform's own order and attributes. The
// system lists every entry ("*") and the program's own pattern rules choose,
// so "?" is one character as on POSIX (the system's "?" is one UTF-16 unit)
// and an 8.3 short name never makes a match. Each directory is listed once,
// whole, and closed before the search goes deeper. A directory is known by
// its volume serial number and file ID, so a junction or link that leads
// back up the tree is listed once; where a file system gives no ID, the
// system's limit on a path's length still ends every descent.
#include "search/dir_list.h"

#include <windows.h>

#include <cstring>
#include <set>
#include <utility>

#include "search/name_match.h"
#include "os/win32_file_id.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

// The volume-label bit of a listing entry, which current headers no longer name.
constexpr DWORD kVolumeLabelAttribute = 0x8;
constexpr DWORD kSkippedAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | kVolumeLabelAttribute;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool IsDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// The identity of the directory at `path`; `known` is false when the
// system gives no file ID for it.
DirectoryIdentity IdentifyDirectory(const std::string& path) {
  DirectoryIdentity found;
  // "\." names the directory itself, also where `path` is a bare drive ("C:").
  HANDLE dir = CreateFileW(ExtendedPath(path + "\\.").c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return found;
  FileIdentity identity;
  if (IdentityOf(dir, &identity) && HasFileId(identity)) {
    found.volume = identity.volume;
    std::memcpy(&found.index, identity.id, sizeof found.index);
    std::memcpy(&found.index_high, identity.id + 8, sizeof found.index_high);
    found.known = true;
  }
  CloseHandle(dir);
  return found;
}

// Starts the system's listing of every entry in `dir`, the first entry in
// `entry`. The basic information level (no short names to fill in) and
// large fetches where the system has them (Windows 7 and later); Vista
// refuses both as an invalid parameter and gets the standard listing.
HANDLE StartListing(const std::string& dir, WIN32_FIND_DATAW* entry) {
  const std::wstring path = ExtendedPath(dir + kPathSeparator + "*");
  HANDLE find = FindFirstFileExW(path.c_str(), FindExInfoBasic, entry, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
    find = FindFirstFileExW(path.c_str(), FindExInfoStandard, entry, FindExSearchNameMatch,
                            nullptr, 0);
  }
  return find;
}

bool IsSearchedDirectory(const WIN32_FIND_DATAW& entry) {
  const DWORD attributes = entry.dwFileAttributes;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & kSkippedAttributes) == 0;
}

// Takes one listed entry into `scan`: the first match in listing order,
// unless an entry spelled exactly like the pattern comes later, and the
// searched subdirectories while nothing matched. False once the listing can
// end: an exact match cannot be bettered.
bool TakeEntry(const NamePattern& pattern, const WIN32_FIND_DATAW& entry, DirectoryScan* scan) {
  if (IsDotOrDotDot(entry.cFileName)) return true;
  std::string name = Utf8FromWide(entry.cFileName);
  if (pattern.Matches(name)) {
    const bool exact = pattern.IsExactly(name);
    if (exact || scan->match.empty()) scan->match = std::move(name);
    return !exact;
  }
  if (scan->match.empty() && IsSearchedDirectory(entry)) scan->subdirs.push_back(std::move(name));
  return true;
}

// Lists `dir` once, whole (up to an exact match), into `scan`: the entry the
// pattern chose, or, when none did, the searched subdirectories in listing
// order. Only an entry's own name meets the pattern: the system matches
// nothing, so neither an 8.3 short name nor the system's own idea of a
// wildcard ("?" as one UTF-16 unit) has a say. False when `dir` cannot be
// listed.
bool ListDirectory(const std::string& dir, const NamePattern& pattern, DirectoryScan* scan) {
  scan->match.clear();
  scan->subdirs.clear();
  WIN32_FIND_DATAW entry;
  HANDLE find = StartListing(dir, &entry);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;  // nothing in it
  }
  do {
    if (!TakeEntry(pattern, entry, scan)) break;
  } while (FindNextFileW(find, &entry));
  // The loop ends at ERROR_NO_MORE_FILES, the listing's end, or at a failure
  // that cut the listing short. Either way the entries delivered so far are
  // searched and no others, as a search that descends while it lists would do.
  FindClose(find);
  if (!scan->match.empty()) scan->subdirs.clear();
  return true;
}

}  // namespace

struct DirectoryCursor::State {
  explicit State(const std::string& name) : pattern(name) {}

  // Scans the directory at `path`; false when it cannot be searched or was
  // listed before.
  bool Scan(DirectoryScan* scan) {
    const DirectoryIdentity id = IdentifyDirectory(path);
    if (id.known && !listed.insert(id).second) return false;
    return ListDirectory(path, pattern, scan);
  }

  NamePattern pattern;
  std::string path;
  std::vector<size_t> levels;  // the path's length at each level, the root first
  std::set<DirectoryIdentity> listed;
};

DirectoryCursor::DirectoryCursor(const std::string& pattern)
    : state_(std::make_unique<State>(pattern)) {}

DirectoryCursor::~DirectoryCursor() = default;

bool DirectoryCursor::OpenRoot(const std::string& path, DirectoryScan* scan) {
  State& s = *state_;
  s.path = path;
  s.levels.clear();
  if (!s.Scan(scan)) return false;
  s.levels.push_back(path.size());
  return true;
}

bool DirectoryCursor::OpenChild(const std::string& name, DirectoryScan* scan) {
  State& s = *state_;
  if (s.levels.empty()) return false;
  s.path.append(1, kPathSeparator).append(name);
  if (!s.Scan(scan)) {
    s.path.resize(s.levels.back());
    return false;
  }
  s.levels.push_back(s.path.size());
  return true;
}

void DirectoryCursor::ReturnToParent() {
  State& s = *state_;
  if (s.levels.size() < 2) return;
  s.levels.pop_back();
  s.path.resize(s.levels.back());
}

const std::string& DirectoryCursor::path() const { return state_->path; }

std::set<DirectoryIdentity> DirectoryCursor::TakeListed() {
  std::set<DirectoryIdentity> ids;
  ids.swap(state_->listed);
  return ids;
}

struct DirectoryScanner::State {
  NamePattern pattern;
};

DirectoryScanner::DirectoryScanner(const std::string& pattern)
    : state_(std::make_unique<State>(State{NamePattern(pattern)})) {}

DirectoryScanner::~DirectoryScanner() = default;

bool DirectoryScanner::Scan(const std::string& path, DirectoryScan* scan, DirectoryIdentity* id) {
  *id = IdentifyDirectory(path);
  return ListDirectory(path, state_->pattern, scan);
}

}  // namespace varnok
