// The settings chosen on the command line, fixed once it is read, and the
// option string that hands them on to a new updater process.
#pragma once

#include <string>
#include <string_view>

namespace updater {

enum class AskModeSetting { Ask = 0, DontAsk = 1, Silent = 2 };

struct RunSettings {
  AskModeSetting AskMode = AskModeSetting::Ask;
  bool Force = false;
  bool OnlyApply = false;
  bool OnlyDownload = false;
  bool SelfReplace = false;
  bool SingleServer = false;  // only handed on to the next updater
  bool OnlyCheck = false;
  bool DelayedStart = false;
  bool RunAfterUpdate = false;
  // The update server's base URL given with -server; empty without one. The
  // server a check uses is its session's (CheckSession::Server).
  std::string Server;
};

// Fills the settings from a whole command line (the program's path first).
// Options are matched after lower-casing, unknown parameters are ignored, and
// later options win over earlier ones.
RunSettings ParseCommandLine(std::string_view commandLine);

// The short-option string for a new updater process, without a trailing
// space: the settings, with `server` (the server in use) as "-svr" when it is
// not empty; "-sr" is included only when `withSelfReplace` is set.
std::string BuildRelaunchOptions(const RunSettings& settings, const std::string& server,
                                 bool withSelfReplace);

}  // namespace updater
