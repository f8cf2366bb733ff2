#include "cli/command_line.h"

namespace varnok {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
    if (arguments.back()[0] == '/') arguments.back()[0] = '-';
  }
  return arguments;
}

std::string ProgramFileName(int argc, char** argv) {
  std::string path = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  std::string name = path.substr(path.rfind('/') + 1);
  return name.empty() ? "varnok" : name;
}

}  // namespace varnok
