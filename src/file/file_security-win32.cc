#include "file/file_security-win32.h"

namespace varnok {

namespace {

// The token's information of class `what`; empty when it cannot be had.
std::vector<char> TokenPart(TOKEN_INFORMATION_CLASS what) {
  HANDLE token = nullptr;
  std::vector<char> part;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return part;
  DWORD needed = 0;
  GetTokenInformation(token, what, nullptr, 0, &needed);
  part.resize(needed);
  if (needed == 0 || !GetTokenInformation(token, what, part.data(), needed, &needed)) part.clear();
  CloseHandle(token);
  return part;
}

// This process's user, and the owner it gives new objects by default.
PSID UserSid() {
  static const std::vector<char> user = TokenPart(TokenUser);
  return user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

PSID DefaultOwnerSid() {
  static const std::vector<char> owner = TokenPart(TokenOwner);
  return owner.empty() ? nullptr : reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner;
}

// The owner part of the security descriptor of the object open on `handle`.
std::vector<char> OwnerDescriptor(HANDLE handle) {
  DWORD needed = 0;
  GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<char> descriptor(needed);
  if (needed == 0 || !GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION,
                                              descriptor.data(), needed, &needed)) {
    descriptor.clear();
  }
  return descriptor;
}

PSID OwnerIn(std::vector<char>& descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (descriptor.empty() || !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted)) {
    return nullptr;
  }
  return owner;
}

bool Same(PSID a, PSID b) { return a != nullptr && b != nullptr && EqualSid(a, b); }

}  // namespace

PrivateSecurity::PrivateSecurity() {
  PSID user = UserSid();
  if (user == nullptr) return;
  acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user));
  ACL* acl = reinterpret_cast<ACL*>(acl_.data());
  made_ = InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
          AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) &&
          InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorOwner(&descriptor_, user, FALSE) &&
          SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
          SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  attributes_ = {sizeof attributes_, &descriptor_, FALSE};
}

bool OwnedByThisUser(HANDLE object) {
  std::vector<char> descriptor = OwnerDescriptor(object);
  PSID owner = OwnerIn(descriptor);
  return Same(owner, UserSid()) || Same(owner, DefaultOwnerSid());
}

bool OwnedByThisUserOrOwnerOf(HANDLE object, HANDLE script) {
  if (OwnedByThisUser(object)) return true;
  std::vector<char> object_owner = OwnerDescriptor(object), script_owner = OwnerDescriptor(script);
  return Same(OwnerIn(object_owner), OwnerIn(script_owner));
}

}  // namespace varnok
