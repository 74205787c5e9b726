// The console of the updater and every way the process ends.
#include "run/console_io.h"

#include <cstdlib>
#include <string>

namespace updater {

namespace {

constexpr int kKeyPollMilliseconds = 20;

bool UserMayBeAsked(const RunSettings& settings) { return settings.AskMode == AskModeSetting::Ask; }

[[noreturn]] void ExitWith(RunServices& services, int64_t exitCode) {
  services.Log.Write("End, exit code " + std::to_string(exitCode));
  services.Os.Processes.Exit(static_cast<int>(exitCode));
  std::abort();  // not reached: Exit ends the process
}

}  // namespace

bool OpenUpdaterConsole(const RunSettings& settings, RunServices& services) {
  if (settings.AskMode == AskModeSetting::Silent) return true;
  if (!services.Os.Console.Open()) {
    services.Log.Write("Error: Failed to open console!");
    services.Os.Console.ShowErrorBox(kUpdaterCaption, "Error: Failed to open console!");
    return false;
  }
  PrintLine(services, "");
  PrintLine(services, "VOXA Updater v1.00");
  return true;
}

void PrintLine(RunServices& services, std::string_view text) { services.Output.Line(text); }

ConsoleKey ReadConsoleKey(RunServices& services) { return services.Os.Console.ReadKey(); }

void FatalError(const RunSettings& settings, RunServices& services, std::string_view text,
                int64_t exitCode) {
  services.Log.Write(text);
  if (UserMayBeAsked(settings)) services.Os.Console.ShowErrorBox(kUpdaterCaption, text);
  ExitWith(services, exitCode);
}

void EndProgram(const RunSettings& settings, RunServices& services, int64_t exitCode) {
  PrintLine(services, "");
  PrintLine(services, "Press enter to end program.");
  if (UserMayBeAsked(settings)) {
    while (true) {
      services.Os.Clock.Sleep(kKeyPollMilliseconds);
      ConsoleKey key = ReadConsoleKey(services);
      // A closed input can never deliver Enter; take its end as the answer.
      if (key.InputClosed || key.Text == "\r") break;
    }
  }
  ExitWith(services, exitCode);
}

void ExitProgram(RunServices& services, int64_t exitCode) { ExitWith(services, exitCode); }

}  // namespace updater
