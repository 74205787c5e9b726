// The console of the updater and every way the process ends.
#include "run/console_io.h"

#include <cstdlib>
#include <string>

#include "transfer/url_split.h"

namespace updater {

namespace {

constexpr int kKeyPollMilliseconds = 20;

bool UserMayBeAsked(const Program& program) {
  return program.Settings.AskMode == AskModeSetting::Ask;
}

// Writes a line to the console only. Whatever a line quotes (a server URL
// above all), a password in a URL is shown as "***", as in the log.
void ShowLine(Program& program, std::string_view text) {
  if (program.Settings.AskMode == AskModeSetting::Silent) return;
  program.Os.Console.WriteLine(MaskURLPassword(text));
}

}  // namespace

bool OpenUpdaterConsole(Program& program) {
  if (program.Settings.AskMode == AskModeSetting::Silent) return true;
  if (!program.Os.Console.Open()) {
    program.Log.Write("Error: Failed to open console!");
    program.Os.Console.ShowErrorBox(kUpdaterCaption, "Error: Failed to open console!");
    return false;
  }
  PrintLine(program, "");
  PrintLine(program, "VOXA Updater v1.00");
  return true;
}

void PrintLine(Program& program, std::string_view text) {
  // The log keeps every line, also of a -silent run; empty lines only space
  // the console.
  if (!text.empty()) program.Log.Write(text);
  ShowLine(program, text);
}

ConsoleKey ReadConsoleKey(Program& program) { return program.Os.Console.ReadKey(); }

void FatalError(Program& program, std::string_view text) {
  program.Log.Write(text);
  if (UserMayBeAsked(program)) program.Os.Console.ShowErrorBox(kUpdaterCaption, text);
  ExitProgram(program);
}

void EndProgram(Program& program) {
  PrintLine(program, "");
  PrintLine(program, "Press enter to end program.");
  if (UserMayBeAsked(program)) {
    while (true) {
      program.Os.Clock.Sleep(kKeyPollMilliseconds);
      ConsoleKey key = ReadConsoleKey(program);
      // A closed input can never deliver Enter; take its end as the answer.
      if (key.InputClosed || key.Text == "\r") break;
    }
  }
  program.ExitCode = program.CheckResult;
  ExitProgram(program);
}

void ExitProgram(Program& program) {
  program.Log.Write("End, exit code " + std::to_string(program.ExitCode));
  program.Os.Processes.Exit(static_cast<int>(program.ExitCode));
  std::abort();  // not reached: Exit ends the process
}

void ProgramReport::Line(std::string_view text) { PrintLine(program_, text); }

void ProgramReport::Failure(std::string_view line, std::string_view cause) {
  ShowLine(program_, line);
  std::string record(line);
  if (!cause.empty()) {
    record += " (";
    record += cause;
    record += ')';
  }
  program_.Log.Write(record);
}

void ProgramReport::Log(std::string_view text) { program_.Log.Write(text); }

void ProgramReport::Progress(int64_t done, int64_t total) {
  if (program_.Progress) program_.Progress->Update(done, total);
}

void ProgramReport::ProgressDone() {
  if (program_.Progress) program_.Progress->Finish();
}

}  // namespace updater
