// The services of one updater run: the platform, the program folder they act
// on, the support log, the report of the run's lines with the progress view,
// the package reader, the built-in key, the update folder's lock and the
// route of the requests. The stages that print, log or touch files take
// these; what the user chose is in RunSettings, what one check found and
// chose in CheckSession.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "packages/package_reader.h"
#include "protocol/minisign_format.h"
#include "run/program_report.h"
#include "run/progress_view.h"
#include "run/run_log.h"
#include "run/run_settings.h"
#include "system/file_system.h"
#include "system/platform.h"
#include "system/update_folder.h"
#include "transfer/http_get_request.h"

namespace updater {

struct RunServices {
  // `settings` tells the report whether lines show (-silent); it must outlive
  // the services.
  RunServices(Platform& platform, const RunSettings& settings)
      : Os(platform),
        Log(platform.Files, platform.Clock),
        Output(settings, platform.Console, Log, Progress),
        Packages(platform.Files, Output) {}
  RunServices(const RunServices&) = delete;
  RunServices& operator=(const RunServices&) = delete;

  Platform& Os;
  // The folder of the running executable, ending with its separator; set at
  // the start of the run, and the files below it are the services' to touch.
  std::string ProgramFolder;
  // The publisher's minisign public keys built into the program (the base64
  // lines of minisign.pub), and those keys once read; empty when the program
  // requires no signatures. A file signed by any of them is taken.
  std::vector<std::string> PublicKeyLines;
  std::vector<MinisignPublicKey> Keys;
  // The time limits of every request of the run; the entry point may set
  // others before the run begins.
  TimeLimits Limits;
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
  // How every request of the run reaches its server; set from the settings
  // (-proxy, -noproxy) when the command line is read.
  HttpRoute Route;

  std::string UpdateFolder() const { return UpdateFolderPath(ProgramFolder); }
};

}  // namespace updater
