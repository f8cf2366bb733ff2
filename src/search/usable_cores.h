// How many cores the process may keep busy: the ones it may run on (its
// CPU affinity), and no more than a CPU quota of its control group allows
// (cgroup v2 cpu.max, or v1 cpu.cfs_quota_us over cpu.cfs_period_us, in its
// own group and the groups above it). The machine's count of cores says
// neither. Internal to the read-ahead search; the text parsing is separate
// from the reading so that it can be tested.
#ifndef VARNOK_SEARCH_USABLE_CORES_H_
#define VARNOK_SEARCH_USABLE_CORES_H_

#ifdef __linux__
#include <sched.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace varnok {

// The whole cores a quota of `quota` microseconds every `period` grants, at
// least one; 0 for no quota (a quota below 0, or no period).
inline size_t CoresOfQuota(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<size_t>(std::max(1LL, quota / period));
}

// The field of `text` that starts at or after `*at` (fields are parted by
// blanks); moves `*at` past it. Empty after the last one.
inline std::string NextField(const std::string& text, size_t* at) {
  const size_t start = text.find_first_not_of(" \t\n", *at);
  if (start == std::string::npos) {
    *at = text.size();
    return "";
  }
  *at = std::min(text.find_first_of(" \t\n", start), text.size());
  return text.substr(start, *at - start);
}

// The whole decimal number `text`, or -1.
inline long long NumberOf(const std::string& text) {
  if (text.empty()) return -1;
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(text.c_str(), &end, 10);
  return *end == 0 && errno == 0 ? number : -1;
}

// The cores a cgroup v2 cpu.max text grants ("max 100000", "150000 100000");
// 0 for no quota.
inline size_t CoresOfCpuMax(const std::string& text) {
  size_t at = 0;
  const std::string quota = NextField(text, &at);
  return CoresOfQuota(NumberOf(quota), NumberOf(NextField(text, &at)));
}

// Calls `visit(line)` for each line of `text` until it answers true;
// whether one did.
template <typename Visit>
bool AnyLine(const std::string& text, Visit visit) {
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    if (visit(text.substr(start, end - start))) return true;
    start = end + 1;
  }
  return false;
}

// A mounted control-group hierarchy: where it is mounted and which group
// its root is.
struct CgroupMount {
  std::string point;
  std::string root;
};

// From /proc/self/mountinfo, the mount of the cgroup v2 hierarchy (`v1`
// false) or of the v1 hierarchy that has the cpu controller; false when
// there is none.
inline bool FindCgroupMount(const std::string& mountinfo, bool v1, CgroupMount* mount) {
  return AnyLine(mountinfo, [&](const std::string& line) {
    // "id parent major:minor root point options [optional fields] - type source super-options"
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) return false;
    size_t at = 0;
    for (int skipped = 0; skipped < 3; ++skipped) NextField(line, &at);  // id, parent, device
    const std::string root = NextField(line, &at), point = NextField(line, &at);
    at = dash + 3;
    const std::string type = NextField(line, &at);
    NextField(line, &at);  // the source
    const std::string options = NextField(line, &at);
    const bool has_cpu = ("," + options + ",").find(",cpu,") != std::string::npos;
    if (point.empty() || !(v1 ? type == "cgroup" && has_cpu : type == "cgroup2")) return false;
    *mount = {point, root};
    return true;
  });
}

// From /proc/self/cgroup, the process's group in the v2 hierarchy (`v1`
// false) or in the v1 hierarchy with the cpu controller; empty when none.
inline std::string GroupOf(const std::string& proc_cgroup, bool v1) {
  std::string group;
  AnyLine(proc_cgroup, [&](const std::string& line) {
    // "hierarchy-id:controllers:path"
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) return false;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool has_cpu = ("," + controllers + ",").find(",cpu,") != std::string::npos;
    if (!(v1 ? has_cpu : controllers.empty())) return false;  // v2 names no controllers
    group = line.substr(second + 1);
    return true;
  });
  return group;
}

// The text of a small file (of /proc or /sys), or empty.
inline std::string ReadSmallFile(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "re")) {
    char block[4096];
    for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) text.append(block, got);
    std::fclose(file);
  }
  return text;
}

// The cores the quotas of the process's group and the groups above it
// grant, the smallest of them; 0 where none is set or none can be read.
inline size_t CoresOfCgroupQuota() {
  const std::string mountinfo = ReadSmallFile("/proc/self/mountinfo");
  const std::string proc_cgroup = ReadSmallFile("/proc/self/cgroup");
  size_t cores = 0;
  for (const bool v1 : {false, true}) {
    CgroupMount mount;
    std::string group = GroupOf(proc_cgroup, v1);
    if (group.empty() || !FindCgroupMount(mountinfo, v1, &mount)) continue;
    // The group is named from the hierarchy's root, the mount may show a
    // group below it (inside a container).
    if (mount.root != "/" && (group == mount.root || group.rfind(mount.root + "/", 0) == 0)) {
      group.erase(0, mount.root.size());
      if (group.empty()) group = "/";
    }
    if (group[0] != '/') continue;
    for (std::string dir = mount.point + (group == "/" ? "" : group);; dir.erase(dir.rfind('/'))) {
      size_t at = 0, at_period = 0;
      const size_t granted =
          v1 ? CoresOfQuota(NumberOf(NextField(ReadSmallFile(dir + "/cpu.cfs_quota_us"), &at)),
                            NumberOf(NextField(ReadSmallFile(dir + "/cpu.cfs_period_us"), &at_period)))
             : CoresOfCpuMax(ReadSmallFile(dir + "/cpu.max"));
      if (granted != 0) cores = cores == 0 ? granted : std::min(cores, granted);
      if (dir.size() <= mount.point.size()) break;  // the hierarchy's root done
    }
  }
  return cores;
}

// The cores the process may keep busy; at least one.
inline size_t UsableCores() {
  size_t cores = std::thread::hardware_concurrency();
#ifdef __linux__
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) cores = CPU_COUNT(&allowed);
  const size_t granted = cores > 1 ? CoresOfCgroupQuota() : 0;  // no quota grants more
  if (granted != 0) cores = std::min(cores, granted);
#endif
  return std::max<size_t>(cores, 1);
}

}  // namespace varnok

#endif  // VARNOK_SEARCH_USABLE_CORES_H_
