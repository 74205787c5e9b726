// Starting: where the running program is, how a run starts in its
// installation (the update folder's lock, the support log, what killed
// writers left), and starting other programs.
#pragma once

#include <string>

#include "run/run_services.h"
#include "system/processes.h"

namespace updater {

// The line of a run that finds another updater working in its installation.
inline constexpr char kAnotherUpdaterLine[] = "Error: Another updater is running in this folder.";

// The folder of the running executable, with its trailing separator.
std::string GetProgramFolder(Processes& processes);

// Opens the support log in the update folder (when it exists) and writes the
// run's first record: the updater's own version and its command line, with
// any URL password masked.
void StartLog(RunServices& services);

// How every run in an installation starts, before anything in Update\ is
// read or written: when the update folder exists, takes its lock
// (Update\Updater.lock) for the rest of the process, waiting up to 10 s for
// another updater to end (the hand-over of a self-update starts the next
// process while the one before ends); then starts the log. False, with
// nothing in Update\ touched, when another updater still holds the lock. A
// lock that cannot be taken for another reason is logged, and the run goes
// on without it.
bool StartRun(RunServices& services);

// Removes what a writer killed before its file was whole leaves: the ".part"
// files in the update folder (and the ".~part" files of older updaters), and
// UpdateServer.lst.part beside the program. Each removal is logged; a file
// that cannot be removed stays. For a run that holds the lock (StartRun).
void RemoveUnfinishedWrites(RunServices& services);

// Starts `file` with `parameters` in `workingFolder` without waiting. The
// file is quoted unless it already begins with a quote. True when it
// started; otherwise the cause is in `*cause`.
[[nodiscard]] bool LaunchProgram(Processes& processes, const std::string& file,
                                 const std::string& parameters, const std::string& workingFolder,
                                 std::string* cause);

}  // namespace updater
