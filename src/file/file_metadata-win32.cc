#include "file/file_metadata-win32.h"

#include <memory>
#include <vector>

#include "file/file_calls-win32.h"

namespace varnok {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kUnusuallyStored = FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED |
                                   FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT |
                                   FILE_ATTRIBUTE_OFFLINE | 0x8000 /* integrity stream */;
constexpr DWORD kChunk = 1 << 16;

struct HandleCloser {
  void operator()(void* handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

Handle Own(HANDLE handle) { return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle); }

// The security descriptor parts `what` of the object open on `handle`.
std::vector<char> SecurityOf(HANDLE handle, SECURITY_INFORMATION what) {
  DWORD needed = 0;
  GetKernelObjectSecurity(handle, what, nullptr, 0, &needed);
  std::vector<char> descriptor(needed);
  if (needed == 0 || !GetKernelObjectSecurity(handle, what, descriptor.data(), needed, &needed)) {
    descriptor.clear();
  }
  return descriptor;
}

// Whether the owner (or group, with `group`) of the descriptors `a` and `b` is one SID.
bool SameSid(std::vector<char>& a, std::vector<char>& b, bool group) {
  PSID sid_a = nullptr, sid_b = nullptr;
  BOOL defaulted = FALSE;
  const BOOL got = group ? GetSecurityDescriptorGroup(a.data(), &sid_a, &defaulted) &&
                               GetSecurityDescriptorGroup(b.data(), &sid_b, &defaulted)
                         : GetSecurityDescriptorOwner(a.data(), &sid_a, &defaulted) &&
                               GetSecurityDescriptorOwner(b.data(), &sid_b, &defaulted);
  if (!got || sid_a == nullptr || sid_b == nullptr) return sid_a == sid_b;
  return EqualSid(sid_a, sid_b) != 0;
}

// Whether this process may read and set audit lists: SeSecurityPrivilege,
// held by administrators, enabled once.
bool MayAudit() {
  static const bool enabled = [] {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
    TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    const bool adjusted =
        LookupPrivilegeValueW(nullptr, L"SeSecurityPrivilege", &privileges.Privileges[0].Luid) &&
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
        GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
    CloseHandle(token);
    return adjusted;
  }();
  return enabled;
}

// Copies the audit list of the file `from` to the file `to` where this
// process may read it; 0, or the error that refused setting one it read.
DWORD CopyAuditList(const std::wstring& from, const std::wstring& to) {
  if (!MayAudit()) return 0;
  const DWORD access = READ_CONTROL | ACCESS_SYSTEM_SECURITY;
  Handle source = Own(CreateFileW(from.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  if (!source) return 0;
  std::vector<char> audit = SecurityOf(source.get(), SACL_SECURITY_INFORMATION);
  if (audit.empty()) return 0;
  Handle target = Own(CreateFileW(to.c_str(), ACCESS_SYSTEM_SECURITY, kShareAll, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!target) return GetLastError();
  return SetKernelObjectSecurity(target.get(), SACL_SECURITY_INFORMATION, audit.data())
             ? 0
             : GetLastError();
}

DWORD CopyData(HANDLE from, HANDLE to) {
  std::vector<char> buffer(kChunk);
  while (true) {
    DWORD got = 0, written = 0;
    if (!ReadFile(from, buffer.data(), kChunk, &got, nullptr)) return GetLastError();
    if (got == 0) return 0;
    if (!WriteFile(to, buffer.data(), got, &written, nullptr)) return GetLastError();
    if (written != got) return ERROR_WRITE_FAULT;
  }
}

DWORD CopyStream(const std::wstring& from, const std::wstring& to, const std::wstring& stream) {
  Handle source = Own(CreateFileW((from + stream).c_str(), GENERIC_READ, kShareAll, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!source) return GetLastError();
  Handle target = Own(CreateFileW((to + stream).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  0, nullptr));
  if (!target) return GetLastError();
  const DWORD error = CopyData(source.get(), target.get());
  if (error != 0) return error;
  return FlushFileBuffers(target.get()) ? 0 : GetLastError();
}

bool SameIgnoringCase(const std::wstring& a, const wchar_t* b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

// The name to append to a path for the data stream listed as `listed`
// (":name:$DATA"); empty for the file's own data ("::$DATA"), for the mark of
// a rewrite in place and for anything but a data stream.
std::wstring NamedStream(const std::wstring& listed) {
  const size_t type = listed.rfind(L':');
  if (type == std::wstring::npos || type < 2 || listed[0] != L':' ||
      !SameIgnoringCase(listed.substr(type), L":$DATA")) {
    return L"";
  }
  const std::wstring name = listed.substr(0, type);
  return SameIgnoringCase(name, kMarkStream) ? L"" : name;
}

}  // namespace

DWORD AttributesToKeep(DWORD attributes) {
  const DWORD kept = attributes & kKeptAttributes;
  return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

bool AttributesReproducible(DWORD attributes) { return (attributes & kUnusuallyStored) == 0; }

bool StoredAlike(DWORD made, DWORD old) {
  const DWORD storage = FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED |
                        FILE_ATTRIBUTE_SPARSE_FILE | 0x8000 /* integrity stream */;
  return (made & storage) == (old & storage);
}

DWORD CopySecurity(HANDLE from, const std::wstring& from_path, HANDLE to_handle,
                   const std::wstring& to) {
  const SECURITY_INFORMATION all =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  std::vector<char> old_security = SecurityOf(from, all);
  std::vector<char> new_security = SecurityOf(to_handle, all);
  if (old_security.empty() || new_security.empty()) return GetLastError();
  SECURITY_INFORMATION owner_parts = 0;
  if (!SameSid(old_security, new_security, false)) owner_parts |= OWNER_SECURITY_INFORMATION;
  if (!SameSid(old_security, new_security, true)) owner_parts |= GROUP_SECURITY_INFORMATION;
  if (owner_parts != 0) {
    // Owner and group need WRITE_OWNER, which the creator of a file may
    // lack; without it, or without the right to give the file away, this
    // fails. They go first: the access list to come may refuse it.
    Handle owner_handle = Own(CreateFileW(to.c_str(), WRITE_OWNER, kShareAll, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    if (!owner_handle) return GetLastError();
    if (!SetKernelObjectSecurity(owner_handle.get(), owner_parts, old_security.data())) {
      return GetLastError();
    }
  }
  if (DWORD error = CopyAuditList(from_path, to)) return error;
  // `to_handle` keeps the access it was opened with, whatever the new list says.
  return SetKernelObjectSecurity(to_handle, DACL_SECURITY_INFORMATION, old_security.data())
             ? 0
             : GetLastError();
}

DWORD CopyStreams(const std::wstring& from, const std::wstring& to) {
  WindowsFileCalls& calls = FileCalls();
  WIN32_FIND_STREAM_DATA stream;
  HANDLE search = calls.find_first_stream(from.c_str(), &stream);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool none = error == ERROR_HANDLE_EOF || error == ERROR_INVALID_FUNCTION ||
                      error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED ||
                      error == ERROR_INVALID_PARAMETER;
    return none ? 0 : error;
  }
  DWORD error = 0;
  do {
    const std::wstring name = NamedStream(stream.cStreamName);
    if (!name.empty()) error = CopyStream(from, to, name);
  } while (error == 0 && calls.find_next_stream(search, &stream));
  if (error == 0 && GetLastError() != ERROR_HANDLE_EOF) error = GetLastError();
  calls.find_close(search);
  return error;
}

}  // namespace varnok
