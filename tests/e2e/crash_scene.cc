#include "crash_scene.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <stdint.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace e2e {

namespace {

constexpr uid_t kOwner = 1234;
constexpr gid_t kGroup = 2345;
constexpr uid_t kRunner = 65534;  // nobody, who runs the unprivileged path
constexpr char kAclName[] = "system.posix_acl_access";

// An access ACL in the kernel's xattr form: owner rw, user 4321 rw, group r,
// mask rw, others r.
std::string AccessAcl() {
  struct Entry {
    uint16_t tag, perm;
    uint32_t id;
  };
  const uint32_t kNoId = ~0U;
  const Entry entries[] = {{0x01, 6, kNoId}, {0x02, 6, 4321}, {0x04, 4, kNoId},
                           {0x10, 6, kNoId}, {0x20, 4, kNoId}};
  const uint32_t version = 2;
  std::string acl(reinterpret_cast<const char*>(&version), sizeof version);
  for (const Entry& entry : entries) acl.append(reinterpret_cast<const char*>(&entry), sizeof entry);
  return acl;
}

std::string ReadAcl(const std::string& path) {
  char buffer[256];
  const ssize_t size = getxattr(path.c_str(), kAclName, buffer, sizeof buffer);
  return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : std::string();
}

// "[S]" with the key first, then filler lines up to `size` bytes, so that a
// change near the start moves every later byte of the file.
std::string Content(size_t size, const std::string& value) {
  std::string content = "; crash matrix\n[S]\nk=" + value + "\n[F]\n";
  for (int line = 0; content.size() < size; ++line) {
    char text[80];
    std::snprintf(text, sizeof text, "f%06d=%040d\n", line, line * 7919);
    content += text;
  }
  return content;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* listing = opendir(dir.c_str())) {
    while (dirent* entry = readdir(listing)) names.push_back(entry->d_name);
    closedir(listing);
  }
  return names;
}

size_t FirstDifference(const std::string& a, const std::string& b) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return at;
}

}  // namespace

Ending EndingOf(const RunResult& result) {
  if (result.status == -1) return Ending::kKilled;
  if (result.status == 0 && result.out.empty() && result.err.empty()) return Ending::kSuccess;
  if (result.status == 1 && result.err.rfind("Exception ", 0) == 0) return Ending::kReported;
  if (result.status == 0 && result.err.empty() && !result.out.empty()) return Ending::kReported;
  return Ending::kUnexpected;
}

CrashScene::CrashScene(const std::string& root, const CrashPath& path, size_t size, bool grow)
    : path_(path),
      case_root_(root + "/case"),
      project_(case_root_ + "/p"),
      dir_(project_ + "/d"),
      script_(dir_ + "/s.ini"),
      link_(dir_ + "/other-name.ini"),
      value_(grow ? "new-value-that-is-longer-than-the-old-one" : "n") {
  old_ = Content(size, "old-value-0123456789");
  new_ = old_;
  new_.replace(old_.find("old-value"), 20, value_);
}

bool CrashScene::Prepare() {
  nftw(case_root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  const uid_t owner = path_.owned_by_runner ? kRunner : kOwner;
  const gid_t group = path_.owned_by_runner ? kRunner : kGroup;
  bool made = mkdir(case_root_.c_str(), 0755) == 0 && mkdir(project_.c_str(), 0755) == 0 &&
              mkdir(dir_.c_str(), 0755) == 0;
  WriteFile(script_, old_);
  made = made && chown(script_.c_str(), owner, group) == 0 && chmod(script_.c_str(), 0640) == 0;
  if (made && setxattr(script_.c_str(), kAclName, AccessAcl().data(), AccessAcl().size(), 0) != 0) {
    acl_supported_ = errno != EOPNOTSUPP;  // a file system without ACLs only loses that check
    made = !acl_supported_;
  }
  if (made && path_.hard_linked) made = link(script_.c_str(), link_.c_str()) == 0;
  made = made && stat(script_.c_str(), &expected_) == 0 && ReadFile(script_) == old_;
  // A journal the last case left is reported already; each case is judged
  // by what it leaves itself.
  for (const std::string& path : JournalsElsewhere()) remove(path.c_str());
  if (!made) ADD_FAILURE() << "cannot set up " << script_ << ": " << strerror(errno);
  expected_acl_ = ReadAcl(script_);
  return made;
}

std::vector<std::string> CrashScene::ChangeArguments() const {
  return {ProjectArg(project_), "-O:s.ini:S.k=" + value_};
}

std::vector<std::string> CrashScene::FollowUpArguments() const {
  return {ProjectArg(project_), "-O:s.ini:S.absent=x"};
}

std::vector<std::string> CrashScene::Judge(Ending ending, const RunResult& follow_up) const {
  std::vector<std::string> problems;
  if (follow_up.status != 0 || follow_up.out.find("Component not found") == std::string::npos) {
    problems.push_back("follow-up: status " + std::to_string(follow_up.status) + ", " +
                       follow_up.out.substr(0, 80) + follow_up.err.substr(0, 200));
  }
  if (access(script_.c_str(), F_OK) != 0) {
    problems.push_back("gone: the script has no name");
    return problems;
  }
  const std::string content = ContentProblem(ending, ReadFile(script_));
  if (!content.empty()) problems.push_back(content);
  std::string leftovers;
  for (const std::string& name : Names(dir_)) {
    if (name.rfind(".varnok-", 0) == 0) leftovers += " " + name;
  }
  for (const std::string& path : JournalsElsewhere()) leftovers += " " + path;
  if (getxattr(script_.c_str(), "user.varnok.write", nullptr, 0) >= 0) leftovers += " mark";
  if (!leftovers.empty()) problems.push_back("leftover:" + leftovers);
  const std::string identity = IdentityProblem();
  if (!identity.empty()) problems.push_back(identity);
  return problems;
}

// Journals of this script in the users' own directories under /var/tmp,
// where a journal goes that cannot be kept beside the script: told from
// other scripts' by the inode number their record starts with.
std::vector<std::string> CrashScene::JournalsElsewhere() const {
  std::vector<std::string> found;
  for (const std::string& dir : Names("/var/tmp")) {
    // "varnok-<uid>", or "varnok-<uid>-XXXXXX" where that name was taken.
    if (dir.rfind("varnok-", 0) != 0 || !std::isdigit(static_cast<unsigned char>(dir[7]))) continue;
    for (const std::string& name : Names("/var/tmp/" + dir)) {
      const std::string path = "/var/tmp/" + dir + "/" + name;
      if (name.rfind(".varnok-", 0) != 0) continue;
      const std::string record = ReadFile(path);
      uint64_t inode = 0;
      for (int i = 0; i < 8 && record.size() >= 24; ++i) {
        inode |= uint64_t{static_cast<unsigned char>(record[16 + i])} << (8 * i);
      }
      if (inode == expected_.st_ino) found.push_back(path);
    }
  }
  return found;
}

std::string CrashScene::ContentProblem(Ending ending, const std::string& now) const {
  if (now != old_ && now != new_) {
    return "mixed: " + std::to_string(now.size()) + " bytes (old " + std::to_string(old_.size()) +
           ", new " + std::to_string(new_.size()) + "), unlike old from byte " +
           std::to_string(FirstDifference(now, old_)) + ", unlike new from byte " +
           std::to_string(FirstDifference(now, new_));
  }
  if (ending == Ending::kSuccess && now != new_) return "old after success: status 0, change lost";
  if (ending == Ending::kReported && now != old_) return "new after report: failure shown, file changed";
  return "";
}

std::string CrashScene::IdentityProblem() const {
  struct stat now = {};
  stat(script_.c_str(), &now);
  std::string problem;
  if (now.st_uid != expected_.st_uid || now.st_gid != expected_.st_gid) {
    problem += " owner " + std::to_string(now.st_uid) + ":" + std::to_string(now.st_gid) +
               " instead of " + std::to_string(expected_.st_uid) + ":" +
               std::to_string(expected_.st_gid);
  }
  if ((now.st_mode & 07777) != (expected_.st_mode & 07777)) {
    char modes[64];
    std::snprintf(modes, sizeof modes, " mode %04o instead of %04o", now.st_mode & 07777,
                  expected_.st_mode & 07777);
    problem += modes;
  }
  if (acl_supported_ && ReadAcl(script_) != expected_acl_) problem += " ACL lost";
  struct stat other = {};
  if (path_.hard_linked && (stat(link_.c_str(), &other) != 0 || other.st_ino != now.st_ino)) {
    problem += " hard link split";
  }
  return problem.empty() ? problem : "identity:" + problem;
}

}  // namespace e2e
