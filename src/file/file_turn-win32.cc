#include "file/file_turn-win32.h"

#include <sddl.h>

#include <cstdio>

namespace varnok {

namespace {

// SYNCHRONIZE | MUTEX_MODIFY_STATE: waiting on and releasing the mutex.
constexpr DWORD kMutexUse = SYNCHRONIZE | MUTEX_MODIFY_STATE;
// Everyone (WD) and authenticated users (AU) may wait on and release it.
constexpr wchar_t kMutexSecurity[] = L"D:(A;;0x00100001;;;WD)(A;;0x00100001;;;AU)";

std::string Hex(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

// Creates the mutex `name`, or opens it where creating is refused (an
// elevated run or another user created it); null when neither works.
HANDLE CreateOrOpenMutex(const std::wstring& name) {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSecurity, SDDL_REVISION_1,
                                                           &descriptor, nullptr)) {
    attributes.lpSecurityDescriptor = descriptor;
  }
  HANDLE mutex = CreateMutexExW(&attributes, name.c_str(), 0, kMutexUse);
  DWORD error = mutex == nullptr ? GetLastError() : 0;
  if (descriptor != nullptr) LocalFree(descriptor);
  if (mutex == nullptr && error == ERROR_ACCESS_DENIED) {
    mutex = OpenMutexW(kMutexUse, FALSE, name.c_str());
    if (mutex == nullptr) error = GetLastError();
  }
  if (mutex == nullptr) SetLastError(error);
  return mutex;
}

// Whether `error` says the system has no Global\ namespace (not that the
// mutex there is refused).
bool GlobalNamespaceMissing(DWORD error) {
  return error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_PATHNAME ||
         error == ERROR_INVALID_NAME || error == ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::string IdentityHex(const FileIdentity& identity) {
  unsigned char volume[8];
  for (int i = 0; i < 8; ++i) volume[i] = static_cast<unsigned char>(identity.volume >> (56 - 8 * i));
  return Hex(volume, sizeof volume) + Hex(identity.id, sizeof identity.id);
}

std::string IdentityDigest(const FileIdentity& identity) {
  unsigned long long hash = 14695981039346656037ull;  // FNV-1a
  for (char c : IdentityHex(identity)) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char digest[17];
  std::snprintf(digest, sizeof digest, "%016llx", hash);
  return digest;
}

bool FileTurn::Take(const FileIdentity& identity, DWORD timeout_ms) {
  Release();
  const std::string hex = IdentityHex(identity);
  const std::wstring key = L"varnok-" + std::wstring(hex.begin(), hex.end());
  scope_ = "Global";
  mutex_ = CreateOrOpenMutex(L"Global\\" + key);
  if (mutex_ == nullptr && GlobalNamespaceMissing(GetLastError())) {
    scope_ = "Local";
    mutex_ = CreateOrOpenMutex(L"Local\\" + key);
  }
  if (mutex_ == nullptr) return false;
  // WAIT_ABANDONED: a run was killed in its turn, and the turn passes on.
  const DWORD waited = WaitForSingleObject(mutex_, timeout_ms);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return true;
  CloseHandle(mutex_);
  mutex_ = nullptr;
  return false;
}

void FileTurn::Release() {
  if (mutex_ == nullptr) return;
  ReleaseMutex(mutex_);
  CloseHandle(mutex_);
  mutex_ = nullptr;
}

}  // namespace varnok
