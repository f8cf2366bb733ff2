#include "cli/run.h"

#include <new>

#include "cli/console.h"
#include "base/failure.h"
#include "script/set_option.h"
#include "base/text.h"

#ifndef VARNOK_VERSION
#error "VARNOK_VERSION must be defined by the build"
#endif

namespace varnok {

namespace {

// Every piece is taken whole: a cut would store a shortened value, or split
// a multi-byte character, and still report success.
constexpr size_t kWhole = std::string_view::npos;

// The value of a switch: from character 4 after "-X:", else from character 3.
std::string SwitchValue(std::string_view argument) {
  const size_t start = argument.size() > 2 && argument[2] == ':' ? 4 : 3;
  return std::string(Trim(CopyFrom(argument, start, kWhole)));
}

// Splits `rest` at its first `separator`: the text before it goes to `piece`
// (empty when the separator is absent), everything after it stays.
std::string CutAt(std::string* rest, char separator) {
  const size_t found = rest->find(separator);
  const size_t p = found == std::string::npos ? 0 : found + 1;  // 1-based, 0 when absent
  std::string piece = p > 1 ? rest->substr(0, p - 1) : "";
  *rest = std::string(CopyFrom(*rest, p + 1, kWhole));
  return piece;
}

void ShowUsageScreen(const RunState& run) {
  for (const std::string& line : UsageLines(run)) WriteOutputLine(line);
  WaitForEnter();
}

int ReportFailure(const Failure& failure, const std::string& module) {
  WriteErrorText(FailureReport(failure, module, kLineEnd));
  return 1;
}

}  // namespace

void ReadArgument(RunState* run, std::string_view argument) {
  run->CurrentArg = std::string(argument);
  if (!argument.empty() && argument[0] == '-') {
    const std::string letter = UpperAscii(argument.substr(0, 2));
    if (letter == "-P") run->ProjectDir = SwitchValue(argument);
    else if (letter == "-O") run->OptionSpec = SwitchValue(argument);
    else if (letter == "-T") run->TypeName = SwitchValue(argument);
  }
  if (run->CurrentArg.find(' ') != std::string::npos) {
    run->CurrentArg = '"' + run->CurrentArg + '"';
  }
  run->ArgEcho += run->CurrentArg + " ";
}

void CheckArguments(RunState* run) {
  if (run->ProjectDir.empty() || run->OptionSpec.empty()) run->ErrorFlag = 1;
}

void DissectOption(RunState* run) {
  run->ScriptName = CutAt(&run->OptionSpec, ':');
  run->SectionName = CutAt(&run->OptionSpec, '.');
  run->KeyName = CutAt(&run->OptionSpec, '=');
  run->NewValue = run->OptionSpec;
}

std::vector<std::string> UsageLines(const RunState& run) {
  return {
      "varnok Version " VARNOK_VERSION,
      "Copyright (c) 2026 The varnok developers",
      "",
      run.ErrorText,
      "",
      run.ArgEcho,
      "",
      "Syntax: varnok {/|-}O[:]<script>:<section>.<key>=<value> {/|-}P[:]<Project Dir>) "
      "[{/|-}S[:]<typ>]",
      "",
      "Click Execute to finish ...",
  };
}

int RunProgram(const std::vector<std::string>& arguments, const std::string& module) {
  try {
    RunState run;
    for (const std::string& argument : arguments) ReadArgument(&run, argument);
    CheckArguments(&run);
    if (run.ErrorFlag == 0) {
      DissectOption(&run);
      run.ErrorFlag = static_cast<uint8_t>(SetOption(run.ProjectDir, run.ScriptName,
                                                     run.SectionName, run.KeyName, run.NewValue,
                                                     run.TypeName, &run.ErrorText));
    }
    if (run.ErrorFlag != 0) ShowUsageScreen(run);
    return 0;
  } catch (const Failure& failure) {
    return ReportFailure(failure, module);
  } catch (const std::bad_alloc&) {
    return ReportFailure(Failure("EOutOfMemory", "Out of memory", nullptr), module);
  } catch (const std::exception& unexpected) {
    return ReportFailure(Failure("Exception", unexpected.what(), nullptr), module);
  }
}

}  // namespace varnok
