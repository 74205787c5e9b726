// Self-replacement of the updater.
#include "run/self_update.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "packages/apply_journal.h"
#include "packages/package_reader.h"
#include "run/console_io.h"
#include "run/run_main.h"
#include "run/signed_files.h"
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
// Left in Update\ by the replacement step once it has put its copy in place,
// for the run it starts; that run consumes it.
constexpr char kReplacedMark[] = "Updater.replaced";
constexpr int64_t kCompareChunk = 1 << 16;

// True when both files can be read and hold the same bytes.
bool SameContent(FileSystem& files, const std::string& first, const std::string& second) {
  std::unique_ptr<File> a = files.OpenRead(first, false);
  std::unique_ptr<File> b = files.OpenRead(second, false);
  if (!a || !b || a->Size() != b->Size() || a->Size() < 0) return false;
  std::vector<char> bufferA(kCompareChunk), bufferB(kCompareChunk);
  for (;;) {
    int64_t countA = a->Read(bufferA.data(), kCompareChunk);
    int64_t countB = b->Read(bufferB.data(), kCompareChunk);
    if (countA < 0 || countA != countB) return false;
    if (countA == 0) return true;
    if (!std::equal(bufferA.begin(), bufferA.begin() + countA, bufferB.begin())) return false;
  }
}

// Removes a folder with everything in it; what cannot be removed stays.
void RemoveFolderTree(FileSystem& files, const std::string& folder) {
  std::vector<FolderEntry> entries;
  if (files.ListFolder(folder, "*", &entries)) {
    for (const FolderEntry& entry : entries) {
      if (entry.IsFolder)
        RemoveFolderTree(files, folder + "\\" + entry.Name);
      else
        files.Delete(folder + "\\" + entry.Name);
    }
  }
  files.RemoveFolder(folder);
}

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
  PreparePackageRequest(request, url, package, program.Output);
  HTTPGetResult result = HTTPGetFromWeb(program.Os, request, program.Output);
  program.Output.ProgressDone();
  if (result != HTTPGetResult::Ok) {
    ReportHTTPGetFailure(program.Output, result, request);
    return SelfUpdateOutcome::Failed;
  }
  if (RequiresSignatures(program) && !CheckSignedDownload(program, url, package, SignedName(url)))
    return SelfUpdateOutcome::Failed;

  PrintLine(program, "Decompressing Updater...");
  if (!OpenPackage(program.Packages, package)) {
    PrintLine(program, "Error: Failed to read update file!");
    return SelfUpdateOutcome::Failed;
  }
  bool extracted = ExtractEntry(program.Packages, "Updater.exe", copy);
  // Closed on failure too: the package's rows must not reach a later apply.
  ClosePackages(program.Packages);
  if (!extracted) return SelfUpdateOutcome::Failed;
  program.Os.Files.Delete(package);
  program.Os.Files.Delete(package + kSignatureSuffix);
  program.Os.Files.MakeExecutable(copy);

  PrintLine(program, "Running new Updater...");
  if (LaunchProgram(program, copy, BuildRelaunchOptions(program.Settings, true),
                    program.ProgramFolder))
    return SelfUpdateOutcome::HandedOver;
  program.Output.Failure("Error: Failed to run new Updater.", program.Os.Processes.LastError());
  return SelfUpdateOutcome::Failed;
}

bool ClearHandOverLeftovers(Program& program) {
  FileSystem& files = program.Os.Files;
  const std::string copy = program.UpdateFolder() + "Updater.tmp";
  // A replacement cut short leaves its staged program beside Updater.exe, and
  // an unpacking cut short its partial copy beside Updater.tmp.
  const std::string staged = program.ProgramFolder + "Updater.new";
  if (files.Exists(staged) && files.Delete(staged))
    program.Log.Write("Removed an unfinished replacement: " + staged);
  RemoveStagedCopies(files, program.UpdateFolder());

  // Only the run that the replacement step just started follows a
  // replacement: it finds the step's mark, consumed here so that no later
  // run sees it (a mark that cannot be removed arms nothing).
  const std::string mark = program.UpdateFolder() + kReplacedMark;
  const bool marked = files.Exists(mark) && files.Delete(mark);
  if (!files.Exists(copy)) return false;
  // And only when the copy is this very program; a copy whose removal failed
  // once, even one with this program's content, says nothing about this run.
  const bool followsReplacement = marked && !files.IsFolder(copy) &&
                                  SameContent(files, copy, program.ProgramFolder + "Updater.exe");
  // The copy that started this run may still be ending.
  program.Os.Clock.Sleep(kHandOverDelayMilliseconds);
  if (files.IsFolder(copy))
    RemoveFolderTree(files, copy);
  else
    files.Delete(copy);  // a failure leaves it for the next run
  return followsReplacement;
}

RunEnd ReplaceUpdater(Program& program) {
  program.Os.Clock.Sleep(kHandOverDelayMilliseconds);
  // This copy runs from Update\; anywhere else there is nothing it may replace.
  if (!RunsFromUpdateFolder(program.ProgramFolder))
    return RunEnd::Fatal("Error: Updater.tmp is not in the Update folder.");
  program.ProgramFolder.resize(program.ProgramFolder.size() - (sizeof kUpdateFolderName - 1));
  // The updater that started this copy may still hold the lock while it ends.
  if (!StartRun(program)) return RunEnd::Fatal(kAnotherUpdaterLine);
  // As every run does first: an unfinished package apply is completed or
  // undone before the program folder is touched.
  RecoverUnfinishedApply(program.Os.Files, program.Output, program.ProgramFolder);

  const std::string updater = program.ProgramFolder + "Updater.exe";
  const std::string staged = program.ProgramFolder + "Updater.new";
  // The new program is copied beside the old one first and then moved over
  // it in one step, so the folder never lacks an Updater.exe.
  if (!program.Os.Files.Copy(program.UpdateFolder() + "Updater.tmp", staged)) {
    program.Log.Write("Cannot copy Updater.tmp: " + program.Os.Files.LastError());
    return RunEnd::Fatal("Error: Failed to copy Updater.tmp.");
  }
  program.Os.Files.MakeExecutable(staged);
  // On the disk, with its name, before it takes Updater.exe's place: after a
  // power loss the folder must hold a whole program, old or new.
  if (!program.Os.Files.SyncFiles({staged})) {
    program.Log.Write("Cannot write Updater.new to the disk: " + program.Os.Files.LastError());
    program.Os.Files.Delete(staged);
    return RunEnd::Fatal("Error: Failed to copy Updater.tmp.");
  }
  bool replaced = program.Os.Files.Replace(staged, updater);
  for (int waited = 0; !replaced && waited < kReplaceRetryMilliseconds;
       waited += kReplaceRetryStepMilliseconds) {
    program.Os.Clock.Sleep(kReplaceRetryStepMilliseconds);
    replaced = program.Os.Files.Replace(staged, updater);
  }
  if (!replaced) {
    program.Log.Write("Cannot replace Updater.exe: " + program.Os.Files.LastError());
    program.Os.Files.Delete(staged);
    return RunEnd::Fatal("Error: Failed to delete Updater.exe.");
  }

  // The mark tells the started updater that it is the program just put in
  // place; without it the guard against a hand-over loop stays unarmed.
  if (!WriteFileWhole(program.Os.Files, program.UpdateFolder() + kReplacedMark, ""))
    program.Log.Write("Cannot mark the replacement: " + program.Os.Files.LastError());
  if (!LaunchProgram(program, updater, BuildRelaunchOptions(program.Settings, false),
                     program.ProgramFolder)) {
    program.Log.Write("Cannot start Updater.exe: " + program.Os.Processes.LastError());
    return RunEnd::Fatal("Error: Failed to run Updater.exe.");
  }
  return RunEnd::Exit();
}

}  // namespace updater
