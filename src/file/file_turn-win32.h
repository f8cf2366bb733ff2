// The turn runs take to change one file.
//
// Runs that change one file take turns through a named mutex keyed by the
// file's identity (volume and file ID), so every spelling of its path (short
// or long names, drive letters, shares, links, "\\?\") leads to one turn. The
// mutex lives in the Global\ namespace and lets every user wait on it, so
// runs in other sessions, by other users or elevated, take the same turn.
#ifndef VARNOK_FILE_FILE_TURN_WIN32_H_
#define VARNOK_FILE_FILE_TURN_WIN32_H_

#include <windows.h>

#include <string>

#include "os/win32_file_id.h"

namespace varnok {

/// The identity as hexadecimal digits: the volume's 16, then the file ID's 32.
std::string IdentityHex(const FileIdentity& identity);

/// A short hexadecimal digest of the identity (16 digits), for file names.
std::string IdentityDigest(const FileIdentity& identity);

class FileTurn {
 public:
  FileTurn() = default;
  ~FileTurn() { Release(); }
  FileTurn(const FileTurn&) = delete;
  FileTurn& operator=(const FileTurn&) = delete;

  /// Waits up to `timeout_ms` for the turn on the file `identity` names.
  /// False when it cannot be had: the time ran out, or the mutex can be
  /// neither created nor opened.
  bool Take(const FileIdentity& identity, DWORD timeout_ms);
  void Release();
  bool held() const { return mutex_ != nullptr; }

  /// The namespace the last Take used: "Global" or, where the system does
  /// not implement Global\, "Local".
  const char* scope() const { return scope_; }

 private:
  HANDLE mutex_ = nullptr;
  const char* scope_ = "Global";
};

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_TURN_WIN32_H_
