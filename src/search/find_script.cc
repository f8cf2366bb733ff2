#include "search/find_script.h"

#include "search/sequential_walk.h"

namespace varnok {

namespace {

#ifdef _WIN32
constexpr const char* kSeparators = "\\/";
#else
constexpr const char* kSeparators = "/";
#endif

}  // namespace

bool IsPlainEntryName(const std::string& Name) {
  return !Name.empty() && Name.find_first_of(kSeparators) == std::string::npos;
}

std::string FindScript(const std::string& Dir, const std::string& Name) {
  return FindScriptWithReadAhead(Dir, Name, ReadAheadOptions());
}

std::string FindScriptSequential(const std::string& Dir, const std::string& Name) {
  if (!IsPlainEntryName(Name)) return "";
  SequentialWalk walk(Name);
  if (!walk.Start(Dir)) return "";
  do {
    if (walk.Found()) return walk.FoundPath();
  } while (walk.Advance());
  return "";
}

}  // namespace varnok
