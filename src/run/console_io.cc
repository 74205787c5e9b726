// The console of the updater and every way the process ends.
#include "run/console_io.h"

#include <cstdlib>

namespace updater {

namespace {

constexpr int kKeyPollMilliseconds = 20;

bool UserMayBeAsked(const Program& program) {
  return program.Settings.AskMode == AskModeSetting::Ask;
}

}  // namespace

void OpenUpdaterConsole(Program& program) {
  if (program.Settings.AskMode == AskModeSetting::Silent) return;
  if (!program.os.console.Open()) {
    program.os.console.ShowErrorBox(kUpdaterCaption, "Error: Failed to open console!");
    ExitProgram(program);
  }
  PrintLine(program, "");
  PrintLine(program, "VOXA Updater v1.00");
}

void PrintLine(Program& program, std::string_view text) {
  if (program.Settings.AskMode == AskModeSetting::Silent) return;
  program.os.console.WriteLine(text);
}

ConsoleKey ReadConsoleKey(Program& program) { return program.os.console.ReadKey(); }

void FatalError(Program& program, std::string_view text) {
  if (UserMayBeAsked(program)) program.os.console.ShowErrorBox(kUpdaterCaption, text);
  ExitProgram(program);
}

void EndProgram(Program& program) {
  PrintLine(program, "");
  PrintLine(program, "Press enter to end program.");
  if (UserMayBeAsked(program)) {
    while (true) {
      program.os.clock.Sleep(kKeyPollMilliseconds);
      ConsoleKey key = ReadConsoleKey(program);
      // A closed input can never deliver Enter; take its end as the answer.
      if (key.inputClosed || key.text == "\r") break;
    }
  }
  program.ExitCode = program.CheckResult;
  ExitProgram(program);
}

void ExitProgram(Program& program) {
  program.os.processes.Exit(static_cast<int>(program.ExitCode));
  std::abort();  // not reached: Exit ends the process
}

}  // namespace updater
