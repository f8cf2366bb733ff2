// Other Windows programs around a run, for the end-to-end tests under Wine:
// each command opens the script as such a program would, creates the file
// `ready` once it holds what it holds, and keeps it until it is killed (or,
// for view-and-edit, until its scene is over).
//
//   hold PATH READY none|all     opens PATH for reading, sharing nothing or all
//   lock-guard PATH READY        locks the byte a run takes its turn on
//   squat PATH READY             holds the named mutex that runs once took
//                                their turn on, which no run may open
//   view-and-edit PATH READY LINE
//                                a viewer keeps PATH open; once a run has
//                                given up its turn to rename a new file over
//                                PATH, an editor appends LINE in place; the
//                                viewer closes 200 ms later
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "file/file_io-win32.h"
#include "os/win32_file_id.h"
#include "os/win32_text.h"

namespace {

using varnok::ExtendedPath;

HANDLE Open(const std::string& path, DWORD access, DWORD share) {
  HANDLE file = CreateFileW(ExtendedPath(path).c_str(), access, share, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s: %lu\n", path.c_str(), GetLastError());
    ExitProcess(2);
  }
  return file;
}

void Ready(const std::string& ready) {
  HANDLE file = CreateFileW(ExtendedPath(ready).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  CloseHandle(file);
}

bool Lock(HANDLE file, uint64_t offset, uint64_t length) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                    static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &at) != 0;
}

void Unlock(HANDLE file, uint64_t offset, uint64_t length) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  UnlockFileEx(file, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &at);
}

// The name the mutex of a file's turn had: "Global\varnok-" and the
// volume's serial number and the file ID in hexadecimal.
std::wstring OldTurnName(HANDLE file) {
  varnok::FileIdentity identity;
  varnok::IdentityOf(file, &identity);
  wchar_t hex[8 * 2 + 16 * 2 + 1];
  std::swprintf(hex, 17, L"%016llx", identity.volume);
  for (int i = 0; i < 16; ++i) std::swprintf(hex + 16 + 2 * i, 3, L"%02x", identity.id[i]);
  return std::wstring(L"Global\\varnok-") + hex;
}

void Squat(const std::string& path) {
  HANDLE file = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  PSECURITY_DESCRIPTOR nobody = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &nobody, nullptr);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nobody, FALSE};
  if (CreateMutexW(&attributes, TRUE, OldTurnName(file).c_str()) == nullptr) ExitProcess(3);
  CloseHandle(file);
}

// Whether a file named ".vk*.tmp" lies in `dir`: a run is writing or
// renaming its new file.
bool NewFileBeside(const std::string& dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((ExtendedPath(dir) + L"\\.vk*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

void ViewAndEdit(const std::string& path, const std::string& ready, const std::string& line) {
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE viewer = Open(path, GENERIC_READ | GENERIC_WRITE, all);
  Ready(ready);
  // A run that never writes a new file ends the scene after a while.
  for (int waited = 0; !NewFileBeside(path.substr(0, path.rfind('\\'))); ++waited) {
    if (waited == 30000) ExitProcess(4);
    Sleep(1);
  }
  // The run holds its turn until it closes the file to rename: the editor
  // saves in that moment, under the turn as a careful editor would.
  while (!Lock(viewer, varnok::kGuardOffset, 1)) Sleep(1);
  LARGE_INTEGER size = {};
  GetFileSizeEx(viewer, &size);
  SetFilePointerEx(viewer, size, nullptr, FILE_BEGIN);
  const std::string added = line + "\n";
  DWORD written = 0;
  WriteFile(viewer, added.data(), static_cast<DWORD>(added.size()), &written, nullptr);
  FlushFileBuffers(viewer);
  Unlock(viewer, varnok::kGuardOffset, 1);
  Sleep(200);
  CloseHandle(viewer);
  ExitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 1;
  const std::string command = argv[1], path = argv[2], ready = argv[3];
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (command == "hold" && argc > 4) {
    Open(path, GENERIC_READ, std::strcmp(argv[4], "all") == 0 ? all : 0);
  } else if (command == "lock-guard") {
    if (!Lock(Open(path, GENERIC_READ | GENERIC_WRITE, all), varnok::kGuardOffset, 1)) return 3;
  } else if (command == "squat") {
    Squat(path);
  } else if (command == "view-and-edit" && argc > 4) {
    ViewAndEdit(path, ready, argv[4]);
  } else {
    return 1;
  }
  Ready(ready);
  Sleep(INFINITE);
}
