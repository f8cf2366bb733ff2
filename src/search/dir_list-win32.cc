// Directory listing on Windows: the system's wide directory search
// (FindFirstFileExW, FindNextFileW) over UTF-8 paths in their "\\?\" form, so
// every name is listed and entered whatever the ANSI code page can spell and
// however long the path grows; the platform's own order and attributes. What
// the system matches is filtered through the program's own pattern rules, so
// an 8.3 short name never makes a match. Each listing is read whole and
// closed before the search goes deeper. A directory is known by its volume
// serial number and file ID, so a junction or link that leads back up the
// tree is listed once; where a file system gives no ID, the system's limit
// on a path's length still ends every descent.
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

// Starts the system's search for `pattern` in `dir`, the first entry in
// `entry`. The basic information level (no short names to fill in) and
// large fetches where the system has them (Windows 7 and later); Vista
// refuses both as an invalid parameter and gets the standard search.
HANDLE StartSearch(const std::string& dir, const std::string& pattern, WIN32_FIND_DATAW* entry) {
  const std::wstring path = ExtendedPath(dir + kPathSeparator + pattern);
  HANDLE find = FindFirstFileExW(path.c_str(), FindExInfoBasic, entry, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
    find = FindFirstFileExW(path.c_str(), FindExInfoStandard, entry, FindExSearchNameMatch,
                            nullptr, 0);
  }
  return find;
}

// `name` without its trailing dots and spaces, as the pattern rules read it
// (a "\\?\" path would hand them to the file system unchanged).
std::string SearchPattern(std::string name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  return name;
}

// The first entry of `dir` that the pattern `name` matches, any kind of
// entry, in `match` (left empty when none does). False when `dir` cannot
// be searched.
bool FindDirectMatch(const std::string& dir, const std::string& name, std::string* match) {
  const NamePattern pattern(name);
  if (pattern.MatchesNothing()) return true;
  WIN32_FIND_DATAW entry;
  HANDLE find = StartSearch(dir, SearchPattern(name), &entry);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;
  }
  do {
    std::string found = Utf8FromWide(entry.cFileName);
    if (IsListedMatch(pattern, found)) {
      *match = std::move(found);
      break;
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return true;
}

// The subdirectories of `dir` in listing order, hidden, system and
// volume-label entries left out.
std::vector<std::string> ListSubdirectories(const std::string& dir) {
  std::vector<std::string> subdirs;
  WIN32_FIND_DATAW entry;
  HANDLE find = StartSearch(dir, "*", &entry);
  if (find == INVALID_HANDLE_VALUE) return subdirs;
  do {
    const DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & kSkippedAttributes) == 0 &&
        !IsDotOrDotDot(entry.cFileName)) {
      subdirs.push_back(Utf8FromWide(entry.cFileName));
    }
  } while (FindNextFileW(find, &entry));
  // The loop ends at ERROR_NO_MORE_FILES, the listing's end, or at a failure
  // that cut the listing short. Either way the entries delivered so far are
  // searched and no others, as a search that descends while it lists would do.
  FindClose(find);
  return subdirs;
}

}  // namespace

struct DirectoryCursor::State {
  explicit State(const std::string& name) : pattern(name) {}

  // Scans the directory at `path`; false when it cannot be searched or was
  // listed before.
  bool Scan(DirectoryScan* scan) {
    const DirectoryIdentity id = IdentifyDirectory(path);
    if (id.known && !listed.insert(id).second) return false;
    scan->match.clear();
    scan->subdirs.clear();
    if (!FindDirectMatch(path, pattern, &scan->match)) return false;
    if (scan->match.empty()) scan->subdirs = ListSubdirectories(path);
    return true;
  }

  std::string pattern;
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

struct DirectoryScanner::State {
  std::string pattern;
};

DirectoryScanner::DirectoryScanner(const std::string& pattern)
    : state_(std::make_unique<State>(State{pattern})) {}

DirectoryScanner::~DirectoryScanner() = default;

bool DirectoryScanner::Scan(const std::string& path, DirectoryScan* scan, DirectoryIdentity* id) {
  *id = IdentifyDirectory(path);
  scan->match.clear();
  scan->subdirs.clear();
  if (!FindDirectMatch(path, state_->pattern, &scan->match)) return false;
  if (scan->match.empty()) scan->subdirs = ListSubdirectories(path);
  return true;
}

}  // namespace varnok
