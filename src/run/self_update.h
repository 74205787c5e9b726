// Self-replacement of the updater through three processes: the running
// updater unpacks the new program to Update\Updater.tmp and starts it with
// -sr (SelfUpdate); that copy puts itself in place of Updater.exe and starts
// it again with the first updater's options (ReplaceUpdater).
#pragma once

#include <string>

#include "run/check_session.h"
#include "run/run_end.h"
#include "run/run_services.h"
#include "run/run_settings.h"

namespace updater {

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] SelfUpdateOutcome {
  Failed,      // reported; the check goes on with the next server
  HandedOver,  // the new updater runs; this process is to end at once
};
// clang-format on

// Downloads the updater package from `url` to Update\Updater.mxu, unpacks its
// "Updater.exe" entry to Update\Updater.tmp and starts that copy with the
// relaunch options of `settings` and the session's server in use, plus -sr.
// Failed, after its error line, when any step failed.
SelfUpdateOutcome SelfUpdate(const RunSettings& settings, RunServices& services,
                             const CheckSession& session, const std::string& url);

// At the start of a normal run: removes what a hand-over leaves behind
// (Update\Updater.tmp, also a folder of that name; Updater.new; a partly
// unpacked copy of Updater.tmp) and tells whether this run follows a completed
// replacement, that is, whether the running Updater.exe is the very program
// the copy in Update\ put in place (the same content). Waits one second
// before it deletes the copy, which may still be ending.
bool ClearHandOverLeftovers(RunServices& services);

// The -selfreplace step, run by the copy in the update folder: moves the
// services' program folder up from Update\ to the installation, replaces
// Updater.exe there with this program and starts it with the relaunch
// options (the server handed on is the -server value this copy was given).
// Ends the run either way: a plain exit after the start, or a fatal error
// with its text.
RunEnd ReplaceUpdater(const RunSettings& settings, RunServices& services);

}  // namespace updater
