// Downloading the selected update packages into the update folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "system/platform.h"
#include "system/report.h"
#include "transfer/http_get.h"

namespace updater {

// One update the user accepted: the name shown in its progress line, the
// package's file name relative to the server's base URL, and its size when
// the catalogue gives it (0: not known).
struct SelectedUpdate {
  std::string Name;
  std::string PackageFile;
  // A known size caps the download: a server that announces or sends more
  // fails it before anything past the size is written.
  int64_t Size = 0;
};

// Removes the package files ("*.mxu") left in `updateFolder`, their
// signatures ("*.mxu.minisig") and what a cut download or a killed writer of
// either leaves ("*.mxu.part", "*.mxu.minisig.part"), except the part that a
// cut download kept with its source (kPartSourceSuffix) for a package in
// `downloading`: that download goes on from it or starts over. Folders and
// other files stay. False, with the cause, when the folder cannot be listed
// or such a file stays: a package left there would be applied with this
// run's.
[[nodiscard]] bool ClearUpdateFolder(FileSystem& files, const std::string& updateFolder,
                                     const std::vector<SelectedUpdate>& downloading,
                                     std::string* cause);

// Called when the package of `update` has arrived whole, from `url`, at
// `path`, before the next download begins. False stops the downloads; the
// hook has reported why.
using PackageArrived = std::function<bool(const SelectedUpdate& update, const std::string& url,
                                          const std::string& path)>;

// Clears the update folder (keeping the parts of `selected` packages that
// earlier runs' cut downloads kept), then downloads the package of every selected
// update, in list order, from `server` (a base URL) into `updateFolder` under
// the package's own name, within the time limits `limits` and by `route`, handing each to
// `arrived` (when set) as soon as it is complete. Stops at the first failure (after reporting its
// error line) or refusal of `arrived` and returns false; true when every package arrived (also when
// none was selected).
bool DownloadUpdates(Platform& os, Report& report, const TimeLimits& limits, const HttpRoute& route,
                     const std::string& server, const std::string& updateFolder,
                     const std::vector<SelectedUpdate>& selected,
                     const PackageArrived& arrived = nullptr);

// DownloadUpdates without its heading line and without clearing the update
// folder: for packages fetched after the first ones, beside them.
bool DownloadPackages(Platform& os, Report& report, const TimeLimits& limits,
                      const HttpRoute& route, const std::string& server,
                      const std::string& updateFolder, const std::vector<SelectedUpdate>& selected,
                      const PackageArrived& arrived = nullptr);

// Sets `request` up to download a package from `url` into the file
// `fileName` within `limits`: 64 KiB reads, the updater's agent, no body in
// memory, its progress to `report`, no other hooks, and a body of at most
// `size` bytes (0: any), which is also the progress total when the server
// announces no length. Other fields keep their values.
void PreparePackageRequest(HTTPGetRequest& request, const std::string& url,
                           const std::string& fileName, const TimeLimits& limits, Report& report,
                           int64_t size = 0);

}  // namespace updater
