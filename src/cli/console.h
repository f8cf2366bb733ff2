// The console: the usage screen's output, the closing wait, the failure report.
#ifndef VARNOK_CLI_CONSOLE_H_
#define VARNOK_CLI_CONSOLE_H_

#include <string_view>

namespace varnok {

/// The line end of the usage screen and the failure report.
#ifdef _WIN32
constexpr std::string_view kLineEnd = "\r\n";
#else
constexpr std::string_view kLineEnd = "\n";
#endif

/// Readies the standard streams before anything else runs: a closed one is
/// noted and opened on the null device, so no file the program opens takes
/// its number; a closed pipe becomes a reported failure, not a signal.
void PrepareConsole();

/// Writes `line` and a line end to standard output at once. Raises
/// EInOutError on failure (code 105 when standard output was closed).
void WriteOutputLine(std::string_view line);

/// Reads and discards standard input up to and including the first line
/// feed; end of input and Ctrl+Z end the wait too. Raises EInOutError on a
/// failed read (code 104 when standard input was closed).
void WaitForEnter();

/// Writes `text` to standard error, as far as it goes; never fails.
void WriteErrorText(std::string_view text);

}  // namespace varnok

#endif  // VARNOK_CLI_CONSOLE_H_
