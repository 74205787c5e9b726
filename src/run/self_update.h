// Self-replacement of the updater through three processes: the running
// updater unpacks the new program to Update\Updater.tmp and starts it with
// -sr (SelfUpdate); that copy puts itself in place of Updater.exe and starts
// it again with the first updater's options (ReplaceUpdater).
#pragma once

#include <string>

#include "protocol/catalogue.h"
#include "protocol/minisign_format.h"
#include "run/check_session.h"
#include "run/run_end.h"
#include "run/run_services.h"
#include "run/run_settings.h"

namespace updater {

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] SelfUpdateOutcome {
  DownloadFailed,  // reported: the package did not arrive whole and signed;
                   // the check goes on with the next server
  StartFailed,     // reported: unpacking or starting the new updater failed;
                   // the check goes on with the next server
  Refused,         // reported; the new program would not take this updater's key
  HandedOver,      // the new updater runs; this process is to end at once
};
// clang-format on

// The line of a new updater refused for lack of this updater's key.
inline constexpr char kRefusedUpdaterLine[] =
    "Error: Refused the new updater: it does not carry this updater's key";

// Downloads the updater package from `url` to Update\Updater.mxu (checked
// against its catalogue line's `facts`: at most size= bytes, and its
// size and digest), unpacks its "Updater.exe" entry to Update\Updater.tmp and
// starts that copy with the relaunch options of `settings` and the session's
// server in use, plus -sr. DownloadFailed or StartFailed, after its error
// line, when a step failed. A keyed updater first checks that the copy carries its key among
// its built-in keys, since an updater without it would take files this
// publisher never signed, or none: Refused, after kRefusedUpdaterLine, with
// the copy deleted.
SelfUpdateOutcome SelfUpdate(const RunSettings& settings, RunServices& services,
                             const CheckSession& session, const std::string& url,
                             const PackageFacts& facts = PackageFacts());

// True when the program file at `path` carries one of `runningKeys` among
// its built-in keys (BuiltInKeysOf over its bytes, CarriesAnyKeyOf); false
// with `*reason` otherwise.
bool CarriesRunningKeys(FileSystem& files, const std::string& path,
                        const std::vector<MinisignPublicKey>& runningKeys, std::string* reason);

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
