// Self-replacement of the updater through three processes: the running
// updater unpacks the new program to Update\Updater.tmp and starts it with
// -sr (SelfUpdate); that copy puts itself in place of Updater.exe and starts
// it again with the first updater's options (ReplaceUpdater).
#pragma once

#include <string>

#include "run/program.h"

namespace updater {

// Downloads the updater package from `url` to Update\Updater.mxu, unpacks its
// "Updater.exe" entry to Update\Updater.tmp and starts that copy with the
// relaunch options plus -sr, then ends the process. Returns false, after its
// error line, when any step failed.
bool SelfUpdate(Program& program, const std::string& url);

// The -selfreplace step, run by the copy in the update folder: replaces
// Updater.exe in the program folder with this program and starts it with the
// relaunch options. Never returns; failures end through FatalError.
[[noreturn]] void ReplaceUpdater(Program& program);

}  // namespace updater
