// The main run sequence.
#include "run/run_main.h"

#include "packages/apply_updates.h"
#include "packages/package_reader.h"
#include "protocol/server_list.h"
#include "protocol/update_check.h"
#include "run/console_io.h"
#include "run/installed_versions.h"
#include "run/self_update.h"

namespace updater {

namespace {

constexpr int kDelayMilliseconds = 1000;

std::string TrimSpaces(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// Removes a leftover next-updater copy from an earlier self-replacement.
void RemoveLeftoverUpdaterCopy(Program& program) {
  const std::string copy = program.ProgramFolder + "Update\\Updater.tmp";
  if (!program.os.files.Exists(copy)) return;
  program.StartedAfterReplacement = true;
  // The copy that started this run may still be ending.
  program.os.clock.Sleep(kDelayMilliseconds);
  program.os.files.Delete(copy);  // a failure leaves it for the next run
}

}  // namespace

std::string GetProgramFolder(Program& program) {
  // (The Windows backend reads the path into 1024 UTF-16 units, as the
  // module path always was; a longer one arrives cut.)
  std::string path = TrimSpaces(program.os.processes.ExecutablePath());
  size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

bool LaunchProgram(Program& program, const std::string& file, const std::string& parameters,
                   const std::string& workingFolder) {
  std::string commandLine = !file.empty() && file[0] == '"' ? file : '"' + file + '"';
  if (!parameters.empty()) commandLine += ' ' + parameters;
  return program.os.processes.Start(commandLine, file, parameters, workingFolder);
}

void RunMain(Program& program) {
  program.Settings = ParseCommandLine(program.os.processes.CommandLine());
  program.ProgramFolder = GetProgramFolder(program);
  if (program.Settings.DelayedStart) program.os.clock.Sleep(kDelayMilliseconds);
  if (program.Settings.SelfReplace) ReplaceUpdater(program);

  RemoveLeftoverUpdaterCopy(program);
  OpenUpdaterConsole(program);
  InitPackageReader(program, 0);
  LoadServerList(program);
  QueryInstalledVersions(program);

  if (program.Settings.OnlyApply) {
    ApplyUpdates(program);
  } else {
    if (!program.os.processes.StartNetwork()) {
      PrintLine(program, "Error: Failed to initialize network!");
      EndProgram(program);
    }
    if (program.Settings.OnlyCheck)
      program.CheckResult = RunCheckOnly(program);
    else
      RunUpdateCheck(program);
  }

  PrintLine(program, "");
  PrintLine(program, "Update finished.");
  if (program.Settings.RunAfterUpdate)
    LaunchProgram(program, program.ProgramFolder + "VOXA.exe", "-au", program.ProgramFolder);
  EndProgram(program);
}

}  // namespace updater
