#include "base/failure.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace varnok {

namespace {

// The raise helpers are never inlined, so their return address is the raise site.
#define VARNOK_RAISE_SITE __builtin_extract_return_addr(__builtin_return_address(0))

uintptr_t LoadAddressOf(const void* site) {
#ifdef _WIN32
  (void)site;
  return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
#else
  Dl_info info;
  if (site == nullptr || dladdr(site, &info) == 0) return 0;
  return reinterpret_cast<uintptr_t>(info.dli_fbase);
#endif
}

}  // namespace

__attribute__((noinline)) void RaiseIniFileError(const std::string& path, const std::string& detail) {
  throw Failure("EIniFileException",
                "Unable to write to " + path + (detail.empty() ? "" : ": " + detail),
                VARNOK_RAISE_SITE);
}

__attribute__((noinline)) void RaiseListIndexError(long index) {
  throw Failure("EStringListError",
                "List index out of bounds (" + std::to_string(index) + ")",
                VARNOK_RAISE_SITE);
}

__attribute__((noinline)) void RaiseInOutError(int code) {
  throw Failure("EInOutError", InOutErrorMessage(code), VARNOK_RAISE_SITE);
}

std::string InOutErrorMessage(int code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    case 100: return "Read beyond end of file";
    case 101: return "Disk full";
    case 106: return "Invalid numeric input";
    default: return "I/O error " + std::to_string(code);
  }
}

uint32_t SiteOffset(const void* site) {
  if (site == nullptr) return 0;
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(site) - LoadAddressOf(site));
}

std::string FailureReport(const Failure& failure, std::string_view module,
                          std::string_view line_end) {
  char offset[9];
  std::snprintf(offset, sizeof offset, "%08X", static_cast<unsigned>(SiteOffset(failure.site())));
  std::string report = "Exception " + failure.kind() + " in module ";
  report.append(module).append(" at ").append(offset).append(".").append(line_end);
  report += failure.message();
  if (!failure.message().empty() && failure.message().back() != '.') report += '.';
  report.append(line_end).append(line_end);
  return report;
}

}  // namespace varnok
