// The main run sequence: options, program folder, the stages in their fixed
// order, and starting other programs.
#pragma once

#include <string>

#include "run/program.h"

namespace updater {

// Runs the whole updater and ends the process; never returns.
[[noreturn]] void RunMain(Program& program);

// The folder of the running executable, with its trailing separator.
std::string GetProgramFolder(Program& program);

// Starts `file` with `parameters` in `workingFolder` without waiting. The
// file is quoted unless it already begins with a quote. True when it started.
bool LaunchProgram(Program& program, const std::string& file, const std::string& parameters,
                   const std::string& workingFolder);

}  // namespace updater
