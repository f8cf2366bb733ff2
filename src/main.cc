// varnok: changes one setting in a script file found below a project directory.
#include "cli/command_line.h"
#include "cli/console.h"
#include "cli/run.h"

int main(int argc, char** argv) {
  varnok::PrepareConsole();
  return varnok::RunProgram(varnok::ProgramArguments(argc, argv),
                            varnok::ProgramFileName(argc, argv));
}
