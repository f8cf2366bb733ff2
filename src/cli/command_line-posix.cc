#include "cli/command_line.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#elif defined(__FreeBSD__) || defined(__DragonFly__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace varnok {

namespace {

std::string LastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

#if defined(__linux__)
// The path /proc/self/exe names. Once the program file has lost its name
// (removed, or replaced by another file) the system appends " (deleted)" to
// it; that is no part of the file's name and goes, unless the path with it
// still names the running program, whose name then ends so itself.
std::string LinuxExecutablePath() {
  char path[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return "";  // none, or cut short
  std::string found(path, static_cast<size_t>(length));
  const std::string deleted = " (deleted)";
  if (found.size() <= deleted.size() ||
      found.compare(found.size() - deleted.size(), deleted.size(), deleted) != 0) {
    return found;
  }
  struct stat named, running;
  if (stat(found.c_str(), &named) == 0 && stat("/proc/self/exe", &running) == 0 &&
      named.st_dev == running.st_dev && named.st_ino == running.st_ino) {
    return found;
  }
  found.resize(found.size() - deleted.size());
  return found;
}
#endif

// The path of the running executable as the system knows it, links
// resolved; empty where the system cannot tell.
std::string ExecutablePath() {
#if defined(__linux__)
  return LinuxExecutablePath();
#elif defined(__APPLE__)
  char path[PATH_MAX + 1] = {};
  uint32_t size = sizeof path;
  char resolved[PATH_MAX];
  if (_NSGetExecutablePath(path, &size) != 0 || realpath(path, resolved) == nullptr) return "";
  return resolved;
#elif defined(__FreeBSD__) || defined(__DragonFly__)
  char path[PATH_MAX + 1] = {};
  int query[] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
  size_t size = sizeof path;
  if (sysctl(query, 4, path, &size, nullptr, 0) != 0) return "";
  return path;
#else
  return "";
#endif
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
    if (arguments.back()[0] == '/') arguments.back()[0] = '-';
  }
  return arguments;
}

std::string ProgramFileName(int argc, char** argv) {
  std::string name = LastComponent(ExecutablePath());
  // Only where the system cannot name the program does the caller's
  // argv[0], which may be any text, stand in.
  if (name.empty() && argc > 0 && argv[0] != nullptr) name = LastComponent(argv[0]);
  return name.empty() ? "varnok" : name;
}

}  // namespace varnok
