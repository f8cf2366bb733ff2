// The program's arguments as the platform delivers them.
#ifndef VARNOK_CLI_COMMAND_LINE_H_
#define VARNOK_CLI_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace varnok {

/// The arguments after the program's own path, each normalised: a "/" that
/// the platform treats as a switch character becomes "-" (on POSIX only a
/// leading one, since "/" separates directories there).
std::vector<std::string> ProgramArguments(int argc, char** argv);

/// The file name, without its directory, of the program file itself (not
/// whatever name the caller passed as argv[0]).
std::string ProgramFileName(int argc, char** argv);

}  // namespace varnok

#endif  // VARNOK_CLI_COMMAND_LINE_H_
