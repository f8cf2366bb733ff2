// The run driver: reads the arguments, dissects the option assignment,
// applies it, and shows the usage screen when anything failed.
#ifndef VARNOK_CLI_RUN_H_
#define VARNOK_CLI_RUN_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnok {

/// The run-wide state, alive from the start of the run to its end.
struct RunState {
  std::string ProjectDir;   // from the last -P
  std::string OptionSpec;   // from the last -O; consumed by the dissection
  std::string CurrentArg;   // the argument being read
  std::string ScriptName;
  std::string SectionName;
  std::string KeyName;
  std::string NewValue;
  std::string TypeName;     // from the last -T
  std::string ArgEcho;      // every argument and a blank, blank-holding ones quoted
  std::string ErrorText = "Syntax error";
  uint8_t ErrorFlag = 0;    // 1 once anything failed
};

/// Takes one (normalised) argument: a -P, -O or -T switch stores its value,
/// any argument goes into the echo.
void ReadArgument(RunState* run, std::string_view argument);

/// Marks the run failed when the project directory or the assignment is missing.
void CheckArguments(RunState* run);

/// Splits OptionSpec into script, section, key and value at the first ":",
/// "." and "=", every piece taken whole.
void DissectOption(RunState* run);

/// The ten lines of the usage screen for `run`.
std::vector<std::string> UsageLines(const RunState& run);

/// The whole run for the given arguments; the exit status (0 for a normal
/// end, the usage screen included; 1 after a failure reported on stderr).
int RunProgram(const std::vector<std::string>& arguments, const std::string& module);

}  // namespace varnok

#endif  // VARNOK_CLI_RUN_H_
