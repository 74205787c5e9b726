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

// The line of a run that finds another updater working in its installation.
inline constexpr char kAnotherUpdaterLine[] = "Error: Another updater is running in this folder.";
// The lock file in the update folder that one updater at a time holds.
inline constexpr char kLockFileName[] = "Updater.lock";

// Opens the support log in the update folder (when it exists) and writes the
// run's first record: the updater's own version and its command line, with
// any URL password masked.
void StartLog(Program& program);

// How every run in an installation starts, before anything in Update\ is
// read or written: when the update folder exists, takes its lock
// (Update\Updater.lock) for the rest of the process, waiting up to 10 s for
// another updater to end (the hand-over of a self-update starts the next
// process while the one before ends); then starts the log. False, with
// nothing in Update\ touched, when another updater still holds the lock. A
// lock that cannot be taken for another reason is logged, and the run goes
// on without it.
bool StartRun(Program& program);

// The folder of the running executable, with its trailing separator.
std::string GetProgramFolder(Program& program);

// Starts `file` with `parameters` in `workingFolder` without waiting. The
// file is quoted unless it already begins with a quote. True when it started.
bool LaunchProgram(Program& program, const std::string& file, const std::string& parameters,
                   const std::string& workingFolder);

}  // namespace updater
