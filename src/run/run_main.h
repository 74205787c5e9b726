// The main run sequence: options, program folder, the stages in their fixed
// order, and the end of the process.
#pragma once

#include "run/program.h"
#include "run/run_end.h"

namespace updater {

// Runs the whole updater and ends the process; never returns.
[[noreturn]] void RunMain(Program& program);

// The run up to its end: every stage in order, with the session of its one
// check. Ends nothing itself; the result says how the process is to end.
RunEnd RunUpdater(Program& program);

// Ends the process as `end` says: the closing prompt (with the check result
// as exit code), a plain exit, or a fatal error.
[[noreturn]] void EndRun(Program& program, const RunEnd& end);

}  // namespace updater
