// The main run sequence: options, program folder, the stages in their fixed
// order, and starting other programs.
#pragma once

#include <string>

#include "run/program.h"
#include "run/run_end.h"

namespace updater {

// Runs the whole updater and ends the process; never returns.
[[noreturn]] void RunMain(Program& program);

// The run up to its end: every stage in order. Ends nothing itself; the
// result says how the process is to end.
RunEnd RunUpdater(Program& program);

// Ends the process as `end` says: the closing prompt, a plain exit, or a
// fatal error.
[[noreturn]] void EndRun(Program& program, const RunEnd& end);

// Opens the support log in the update folder (when it exists) and writes the
// run's first record: the updater's own version and its command line, with
// any URL password masked.
void StartLog(Program& program);

// The folder of the running executable, with its trailing separator.
std::string GetProgramFolder(Program& program);

// Starts `file` with `parameters` in `workingFolder` without waiting. The
// file is quoted unless it already begins with a quote. True when it started.
bool LaunchProgram(Program& program, const std::string& file, const std::string& parameters,
                   const std::string& workingFolder);

}  // namespace updater
