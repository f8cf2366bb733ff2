// Reading the arguments and dissecting the option assignment.
//
// Input: the arguments, one a line. Properties: the echo is every argument,
// quoted when it holds a blank, each followed by a blank; "-P", "-O" and "-T"
// take the trimmed rest of their last argument; the run fails exactly when
// the project directory or the assignment is missing; the dissected pieces
// hold no separator of their own, nothing is cut, and an assignment with all
// three separators is its pieces rejoined.
#include <algorithm>
#include <string>
#include <vector>

#include "cli/run.h"
#include "fuzz_check.h"

namespace {

using varnok::RunState;

bool Trimmable(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && Trimmable(text.front())) text.remove_prefix(1);
  while (!text.empty() && Trimmable(text.back())) text.remove_suffix(1);
  return text;
}

// The value the last "-<letter>" argument gives, or empty when none does.
std::string LastSwitch(const std::vector<std::string_view>& arguments, char letter) {
  std::string value;
  for (std::string_view argument : arguments) {
    if (argument.size() < 2 || argument[0] != '-' || fuzz::Lower(argument[1]) != letter) continue;
    const bool colon = argument.size() > 2 && argument[2] == ':';
    const std::string_view rest = argument.substr(colon ? 3 : 2);
    value = std::string(Trim(rest));
  }
  return value;
}

void CheckDissection(RunState run) {
  const std::string assignment = run.OptionSpec;
  varnok::DissectOption(&run);
  FUZZ_CHECK(run.ScriptName.find(':') == std::string::npos);
  FUZZ_CHECK(run.SectionName.find('.') == std::string::npos);
  FUZZ_CHECK(run.KeyName.find('=') == std::string::npos);
  // Nothing is lost: every piece and separator adds up to the assignment.
  const size_t pieces =
      run.ScriptName.size() + run.SectionName.size() + run.KeyName.size() + run.NewValue.size();
  FUZZ_CHECK(pieces <= assignment.size() && assignment.size() <= pieces + 3);
  FUZZ_CHECK(assignment.compare(assignment.size() - run.NewValue.size(), std::string::npos,
                                run.NewValue) == 0);
  const size_t colon = assignment.find(':');
  if (colon == std::string::npos) return;
  FUZZ_CHECK(run.ScriptName == assignment.substr(0, colon));
  const size_t dot = assignment.find('.', colon + 1);
  const bool all_three =
      dot != std::string::npos && assignment.find('=', dot + 1) != std::string::npos;
  const std::string rejoined =
      run.ScriptName + ":" + run.SectionName + "." + run.KeyName + "=" + run.NewValue;
  if (all_three) FUZZ_CHECK(rejoined == assignment);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> arguments;
  RunState run;
  std::string echo;
  for (size_t start = 0; start <= input.size();) {
    const size_t end = std::min(input.find('\n', start), input.size());
    arguments.push_back(input.substr(start, end - start));
    varnok::ReadArgument(&run, arguments.back());
    const std::string argument(arguments.back());
    echo += (argument.find(' ') != std::string::npos ? '"' + argument + '"' : argument) + " ";
    start = end + 1;
  }
  FUZZ_CHECK(run.ArgEcho == echo);
  FUZZ_CHECK(run.ProjectDir == LastSwitch(arguments, 'p'));
  FUZZ_CHECK(run.OptionSpec == LastSwitch(arguments, 'o'));
  FUZZ_CHECK(run.TypeName == LastSwitch(arguments, 't'));
  varnok::CheckArguments(&run);
  FUZZ_CHECK(run.ErrorFlag == (run.ProjectDir.empty() || run.OptionSpec.empty() ? 1 : 0));
  FUZZ_CHECK(run.ErrorText == "Syntax error");
  CheckDissection(run);
  return 0;
}
