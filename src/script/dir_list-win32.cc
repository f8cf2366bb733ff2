// Directory listing on Windows: FindFirstFileA and FindNextFileA, with the
// platform's own matching, order and attributes. Each listing is read whole
// and closed before the search goes deeper. A directory is known by its
// volume serial number and file index, so a junction or link that leads
// back up the tree is listed once; where a file system gives no index, the
// length limit of the paths these functions take still ends every descent.
#include "script/dir_list.h"

#include <windows.h>

#include <set>
#include <tuple>

namespace varnok {

namespace {

// The volume-label bit of a listing entry, which current headers no longer name.
constexpr DWORD kVolumeLabelAttribute = 0x8;
constexpr DWORD kSkippedAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | kVolumeLabelAttribute;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

using DirectoryId = std::tuple<DWORD, DWORD, DWORD>;  // volume serial, file index

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// The identity of the directory at `path`; false when it has none to give.
bool IdentifyDirectory(const std::string& path, DirectoryId* id) {
  HANDLE dir = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(dir, &info) != 0 &&
                     (info.nFileIndexHigh != 0 || info.nFileIndexLow != 0);
  CloseHandle(dir);
  if (known) *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return known;
}

// The first entry of `dir` that the pattern `name` matches, any kind of
// entry, in `match` (left empty when none does). False when `dir` cannot
// be searched.
bool FindDirectMatch(const std::string& dir, const std::string& name, std::string* match) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((dir + kPathSeparator + name).c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;
  }
  do {
    if (!IsDotOrDotDot(entry.cFileName)) {
      *match = entry.cFileName;
      break;
    }
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  return true;
}

// The subdirectories of `dir` in listing order, hidden, system and
// volume-label entries left out.
std::vector<std::string> ListSubdirectories(const std::string& dir) {
  std::vector<std::string> subdirs;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((dir + kPathSeparator + '*').c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return subdirs;
  do {
    const DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & kSkippedAttributes) == 0 &&
        !IsDotOrDotDot(entry.cFileName)) {
      subdirs.emplace_back(entry.cFileName);
    }
  } while (FindNextFileA(find, &entry));
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
    DirectoryId id;
    if (IdentifyDirectory(path, &id) && !listed.insert(id).second) return false;
    scan->match.clear();
    scan->subdirs.clear();
    if (!FindDirectMatch(path, pattern, &scan->match)) return false;
    if (scan->match.empty()) scan->subdirs = ListSubdirectories(path);
    return true;
  }

  std::string pattern;
  std::string path;
  std::vector<size_t> levels;  // the path's length at each level, the root first
  std::set<DirectoryId> listed;
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
  DirectoryIdentity found;
  DirectoryId windows_id;
  if (IdentifyDirectory(path, &windows_id)) {
    found = {std::get<0>(windows_id),
             (uint64_t{std::get<1>(windows_id)} << 32) | std::get<2>(windows_id), true};
  }
  *id = found;
  scan->match.clear();
  scan->subdirs.clear();
  if (!FindDirectMatch(path, state_->pattern, &scan->match)) return false;
  if (scan->match.empty()) scan->subdirs = ListSubdirectories(path);
  return true;
}

}  // namespace varnok
