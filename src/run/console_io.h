// The console of the updater and every way the process ends.
#pragma once

#include <string_view>

#include "run/program.h"

namespace updater {

inline constexpr std::string_view kUpdaterCaption = "VOXA Updater";

// Opens the console and prints the header, unless -silent. When no console
// can be opened, shows an error box and returns false: the run cannot go on.
bool OpenUpdaterConsole(Program& program);

// Writes one line to the console, unless -silent, and to the log; both show
// a password in a URL as "***".
void PrintLine(Program& program, std::string_view text);

// The first pending key press, without waiting.
ConsoleKey ReadConsoleKey(Program& program);

// The three ways the process ends; only the run sequence calls them.
//
// Shows `text` in an error box when the user may be asked, then ends the
// process with exit code 0.
[[noreturn]] void FatalError(Program& program, std::string_view text);

// Prints the closing prompt, waits for Enter when the user may be asked, and
// ends the process with the check result as exit code.
[[noreturn]] void EndProgram(Program& program);

// Ends the process with the exit code set so far.
[[noreturn]] void ExitProgram(Program& program);

}  // namespace updater
