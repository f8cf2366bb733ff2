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
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace varnok {

// The whole cores a quota of `quota` microseconds every `period` grants, at
// least one; 0 for no quota (a quota below 0, or no period).
inline size_t CoresOfQuota(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<size_t>(std::max(1LL, quota / period));
}

// The cores a cgroup v2 cpu.max text grants ("max 100000", "150000 100000");
// 0 for no quota.
inline size_t CoresOfCpuMax(const std::string& text) {
  std::istringstream in(text);
  std::string quota;
  long long period = 0;
  if (!(in >> quota >> period) || quota == "max") return 0;
  try {
    return CoresOfQuota(std::stoll(quota), period);
  } catch (const std::exception&) {
    return 0;
  }
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
  std::istringstream lines(mountinfo);
  for (std::string line; std::getline(lines, line);) {
    // "id parent major:minor root point options [optional fields] - type source super-options"
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream head(line.substr(0, dash)), tail(line.substr(dash + 3));
    std::string id, parent, device, root, point, type, source, options;
    if (!(head >> id >> parent >> device >> root >> point) || !(tail >> type >> source >> options)) {
      continue;
    }
    const bool has_cpu = ("," + options + ",").find(",cpu,") != std::string::npos;
    if (v1 ? type == "cgroup" && has_cpu : type == "cgroup2") {
      *mount = {point, root};
      return true;
    }
  }
  return false;
}

// From /proc/self/cgroup, the process's group in the v2 hierarchy (`v1`
// false) or in the v1 hierarchy with the cpu controller; empty when none.
inline std::string GroupOf(const std::string& proc_cgroup, bool v1) {
  std::istringstream lines(proc_cgroup);
  for (std::string line; std::getline(lines, line);) {
    // "hierarchy-id:controllers:path"
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool has_cpu = ("," + controllers + ",").find(",cpu,") != std::string::npos;
    if (v1 ? has_cpu : line.compare(0, first, "0") == 0 && controllers.empty()) {
      return line.substr(second + 1);
    }
  }
  return "";
}

inline std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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
      const size_t granted =
          v1 ? CoresOfQuota(std::atoll(ReadSmallFile(dir + "/cpu.cfs_quota_us").c_str()),
                            std::atoll(ReadSmallFile(dir + "/cpu.cfs_period_us").c_str()))
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
#endif
  const size_t granted = CoresOfCgroupQuota();
  if (granted != 0) cores = std::min(cores, granted);
  return std::max<size_t>(cores, 1);
}

}  // namespace varnok

#endif  // VARNOK_SEARCH_USABLE_CORES_H_
