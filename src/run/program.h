// The program state block: every program-wide value of one updater run.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packages/package_reader.h"
#include "protocol/minisign_format.h"
#include "protocol/server_list.h"
#include "run/progress_view.h"
#include "run/run_log.h"
#include "run/run_settings.h"
#include "system/platform.h"
#include "system/report.h"
#include "transfer/download_updates.h"

namespace updater {

struct Program;

// The program's lines as the lower layers report them: the console (unless
// -silent) and the support log.
class ProgramReport : public Report {
 public:
  explicit ProgramReport(Program& program) : program_(program) {}
  void Line(std::string_view text) override;
  void Failure(std::string_view line, std::string_view cause) override;
  void Log(std::string_view text) override;
  void Progress(int64_t done, int64_t total) override;
  void ProgressDone() override;

 private:
  Program& program_;
};

struct Program {
  explicit Program(Platform& platform)
      : Os(platform),
        Log(platform.Files, platform.Clock),
        Output(*this),
        Packages(platform.Files, Output) {}
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  Platform& Os;
  RunSettings Settings;
  // The folder of the running executable, ending with its separator.
  std::string ProgramFolder;
  int64_t CheckResult = 0;  // 1 after a -onlycheck run that found updates
  int64_t ExitCode = 0;     // written only by EndProgram
  int64_t InstalledUpdaterVersion = 0;
  int64_t InstalledMainVersion = 0;
  // This run is the updater that a completed self-replacement just put in
  // place: the copy left in the update folder is this very program.
  bool StartedAfterReplacement = false;
  // Base URLs of the update servers not yet tried, each ending with "/".
  std::vector<std::string> ServerList;
  std::vector<SelectedUpdate> SelectedUpdates;
  // The publisher's minisign public key built into the program (the base64
  // line of minisign.pub), and that key once read; empty and nothing when
  // the program requires no signatures.
  std::string PublicKey;
  std::optional<MinisignPublicKey> Key;
  // The lock of the update folder, held for the whole run (StartRun).
  std::unique_ptr<File> FolderLock;
  // The support log in the update folder.
  RunLog Log;
  // The status line of long work; made once the console is open, since only
  // then is it known whether the console can show one.
  std::optional<ProgressView> Progress;
  // Where the stages report: console lines, log records and progress.
  ProgramReport Output;
  // The package reader's table and open package files.
  PackageReader Packages;

  std::string UpdateFolder() const { return ProgramFolder + "Update\\"; }
};

}  // namespace updater
