// Self-replacement of the updater.
#include "run/self_update.h"

#include "packages/apply_journal.h"
#include "packages/package_reader.h"
#include "run/console_io.h"
#include "run/run_main.h"
#include "system/text.h"
#include "transfer/download_updates.h"
#include "transfer/http_error_text.h"
#include "transfer/http_get.h"

namespace updater {

namespace {

constexpr int kHandOverDelayMilliseconds = 1000;
// The first updater may still be ending when its copy wants to replace it;
// the replacement is retried this long before it gives up.
constexpr int kReplaceRetryMilliseconds = 20000;
constexpr int kReplaceRetryStepMilliseconds = 250;
constexpr char kUpdateFolderName[] = "update\\";

bool RunsFromUpdateFolder(const std::string& folder) {
  const size_t length = sizeof kUpdateFolderName - 1;
  if (folder.size() <= length) return false;
  std::string tail = LowerCaseText(folder.substr(folder.size() - length));
  if (tail.back() == '/') tail.back() = '\\';
  return tail == kUpdateFolderName;
}

}  // namespace

SelfUpdateOutcome SelfUpdate(Program& program, const std::string& url) {
  const std::string package = program.UpdateFolder() + "Updater.mxu";
  const std::string copy = program.UpdateFolder() + "Updater.tmp";
  PrintLine(program, "");
  PrintLine(program, "Downloading Updater...");
  HTTPGetRequest request;
  PreparePackageRequest(request, url, package);
  HTTPGetResult result = HTTPGetFromWeb(program.os, request, program.Output);
  if (result != HTTPGetResult::HTTPGetOK) {
    ReportHTTPGetFailure(program.Output, result, request);
    return SelfUpdateOutcome::Failed;
  }

  PrintLine(program, "Decompressing Updater...");
  if (!OpenPackage(program.Packages, package)) {
    PrintLine(program, "Error: Failed to read update file!");
    return SelfUpdateOutcome::Failed;
  }
  bool extracted = ExtractEntry(program.Packages, "Updater.exe", copy);
  // Closed on failure too: the package's rows must not reach a later apply.
  ClosePackages(program.Packages);
  if (!extracted) return SelfUpdateOutcome::Failed;
  program.os.files.Delete(package);
  program.os.files.MakeExecutable(copy);

  PrintLine(program, "Running new Updater...");
  if (LaunchProgram(program, copy, BuildRelaunchOptions(program.Settings, true),
                    program.ProgramFolder))
    return SelfUpdateOutcome::HandedOver;
  program.Output.Failure("Error: Failed to run new Updater.", program.os.processes.LastError());
  return SelfUpdateOutcome::Failed;
}

RunEnd ReplaceUpdater(Program& program) {
  program.os.clock.Sleep(kHandOverDelayMilliseconds);
  // This copy runs from Update\; anywhere else there is nothing it may replace.
  if (!RunsFromUpdateFolder(program.ProgramFolder))
    return RunEnd::Fatal("Error: Updater.tmp is not in the Update folder.");
  program.ProgramFolder.resize(program.ProgramFolder.size() - (sizeof kUpdateFolderName - 1));
  StartLog(program);
  // As every run does first: an unfinished package apply is completed or
  // undone before the program folder is touched.
  RecoverUnfinishedApply(program.os.files, program.Output, program.ProgramFolder);

  const std::string updater = program.ProgramFolder + "Updater.exe";
  const std::string staged = program.ProgramFolder + "Updater.new";
  // The new program is copied beside the old one first and then moved over
  // it in one step, so the folder never lacks an Updater.exe.
  if (!program.os.files.Copy(program.UpdateFolder() + "Updater.tmp", staged)) {
    program.Log.Write("Cannot copy Updater.tmp: " + program.os.files.LastError());
    return RunEnd::Fatal("Error: Failed to copy Updater.tmp.");
  }
  program.os.files.MakeExecutable(staged);
  bool replaced = program.os.files.Replace(staged, updater);
  for (int waited = 0; !replaced && waited < kReplaceRetryMilliseconds;
       waited += kReplaceRetryStepMilliseconds) {
    program.os.clock.Sleep(kReplaceRetryStepMilliseconds);
    replaced = program.os.files.Replace(staged, updater);
  }
  if (!replaced) {
    program.Log.Write("Cannot replace Updater.exe: " + program.os.files.LastError());
    program.os.files.Delete(staged);
    return RunEnd::Fatal("Error: Failed to delete Updater.exe.");
  }

  if (!LaunchProgram(program, updater, BuildRelaunchOptions(program.Settings, false),
                     program.ProgramFolder)) {
    program.Log.Write("Cannot start Updater.exe: " + program.os.processes.LastError());
    return RunEnd::Fatal("Error: Failed to run Updater.exe.");
  }
  return RunEnd::Exit();
}

}  // namespace updater
