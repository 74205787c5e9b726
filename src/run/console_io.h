// The console of the updater and every way the process ends.
#pragma once

#include <cstdint>
#include <string_view>

#include "run/run_services.h"
#include "run/run_settings.h"

namespace updater {

inline constexpr std::string_view kUpdaterCaption = "VOXA Updater";

// Opens the console and prints the header, unless -silent. When no console
// can be opened, shows an error box and returns false: the run cannot go on.
bool OpenUpdaterConsole(const RunSettings& settings, RunServices& services);

// Writes one line to the console, unless -silent, and to the log; both show
// a password in a URL as "***" (see ProgramReport).
void PrintLine(RunServices& services, std::string_view text);

// The first pending key press, without waiting.
ConsoleKey ReadConsoleKey(RunServices& services);

// The three ways the process ends; only the run sequence calls them.
//
// Shows `text` in an error box when the user may be asked, then ends the
// process with `exitCode` (0 unless -exitcodes asked for distinct codes).
[[noreturn]] void FatalError(const RunSettings& settings, RunServices& services,
                             std::string_view text, int64_t exitCode = 0);

// Prints the closing prompt, waits for Enter when the user may be asked, and
// ends the process with `exitCode` (the result of the check, or the code of
// the run's outcome under -exitcodes).
[[noreturn]] void EndProgram(const RunSettings& settings, RunServices& services, int64_t exitCode);

// Ends the process with `exitCode` (0 unless -exitcodes asked for distinct
// codes).
[[noreturn]] void ExitProgram(RunServices& services, int64_t exitCode = 0);

}  // namespace updater
