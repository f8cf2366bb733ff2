#include "cli/command_line.h"

#include <limits.h>
#include <stdlib.h>
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

// The path of the running executable as the system knows it, links
// resolved; empty where the system cannot tell.
std::string ExecutablePath() {
  char path[PATH_MAX + 1] = {};
#if defined(__linux__)
  const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
  if (length <= 0) return "";
  std::string found(path, static_cast<size_t>(length));
  // A program file replaced or removed while it runs is still the program.
  const std::string deleted = " (deleted)";
  const size_t tail = found.size() > deleted.size() ? found.size() - deleted.size() : 0;
  if (tail > 0 && found.compare(tail, deleted.size(), deleted) == 0) found.resize(tail);
  return found;
#elif defined(__APPLE__)
  uint32_t size = sizeof path;
  char resolved[PATH_MAX];
  if (_NSGetExecutablePath(path, &size) != 0 || realpath(path, resolved) == nullptr) return "";
  return resolved;
#elif defined(__FreeBSD__) || defined(__DragonFly__)
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
