// Who may read what the Windows script file writes beside the script, and
// whose journals a run trusts. Journals and temporary files hold bytes of
// the script, so they are created readable by this user alone, with the
// user as their explicit owner, before their first byte; a journal is
// trusted only from an owner who could have written the script anyway.
#ifndef VARNOK_FILE_FILE_SECURITY_WIN32_H_
#define VARNOK_FILE_FILE_SECURITY_WIN32_H_

#include <windows.h>

#include <vector>

namespace varnok {

/// A security descriptor naming this process's user as owner and granting
/// that user alone full access, inherited by nothing.
class PrivateSecurity {
 public:
  PrivateSecurity();
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;

  /// For CreateFileW and CreateDirectoryW; null when the user is unknown,
  /// and then nothing may be created with it.
  SECURITY_ATTRIBUTES* attributes() { return made_ ? &attributes_ : nullptr; }

 private:
  SECURITY_DESCRIPTOR descriptor_ = {};
  std::vector<char> acl_;
  SECURITY_ATTRIBUTES attributes_ = {};
  bool made_ = false;
};

/// Whether the owner of the object open on `object` (with READ_CONTROL) is
/// this process's user or its default owner (an elevated run's files belong
/// to the Administrators group).
bool OwnedByThisUser(HANDLE object);

/// Whether the owner of `object` is this user, its default owner, or the
/// owner of the file open on `script`.
bool OwnedByThisUserOrOwnerOf(HANDLE object, HANDLE script);

}  // namespace varnok

#endif  // VARNOK_FILE_FILE_SECURITY_WIN32_H_
