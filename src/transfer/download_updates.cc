// Downloading the selected update packages into the update folder.
#include "transfer/download_updates.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "system/update_folder.h"
#include "transfer/http_error_text.h"

namespace updater {

namespace {

constexpr int64_t kPackageBufferSize = 65536;

}  // namespace

void PreparePackageRequest(HTTPGetRequest& request, const std::string& url,
                           const std::string& fileName, const TimeLimits& limits, Report& report,
                           int64_t size) {
  request.URL = url;
  request.Limits = limits;
  request.Target = HTTPGetTarget::File;
  request.BufferSize = kPackageBufferSize;
  request.Agent = kUpdaterAgent;
  request.FileName = fileName;
  request.Memory.reset();
  request.BodyLimit = size;
  request.OnProgress = [&report, size](HTTPGetRequest&, int64_t received, int64_t contentLength,
                                       int32_t) {
    report.Progress(received, contentLength > 0 ? contentLength : size);
    return 1;
  };
  request.OnConnected = nullptr;
  request.OnFinished = nullptr;
}

namespace {

// Removes the package parts that cut downloads kept (with their sources)
// whose package is not in `keep`, and the sources without their part.
void RemoveKeptParts(FileSystem& files, const std::string& updateFolder,
                     const std::vector<SelectedUpdate>& keep) {
  const std::string partPattern = std::string(kPackagePattern) + kPartSuffix;
  std::vector<FolderEntry> entries;
  // A part or source that stays is no package: the next clear tries again.
  if (files.ListFolder(updateFolder, partPattern + kPartSourceSuffix, &entries, nullptr)) {
    for (const FolderEntry& entry : entries) {
      const std::string part =
          entry.Name.substr(0, entry.Name.size() - (sizeof kPartSourceSuffix - 1));
      const std::string package = part.substr(0, part.size() - (sizeof kPartSuffix - 1));
      const bool kept = std::any_of(keep.begin(), keep.end(), [&](const SelectedUpdate& update) {
        return update.PackageFile == package;
      });
      if (kept && files.Exists(updateFolder + part)) continue;
      static_cast<void>(files.Delete(updateFolder + entry.Name, nullptr));
      static_cast<void>(files.Delete(updateFolder + part, nullptr));
    }
  }
}

}  // namespace

bool ClearUpdateFolder(FileSystem& files, const std::string& updateFolder,
                       const std::vector<SelectedUpdate>& downloading, std::string* cause) {
  RemoveKeptParts(files, updateFolder, downloading);
  // Packages, the signatures kept beside them, and the parts of either that a
  // cut download or a killed writer left, but for the parts kept above.
  const std::string patterns[] = {kPackagePattern, kPackageSignaturePattern,
                                  std::string(kPackagePattern) + kPartSuffix,
                                  std::string(kPackageSignaturePattern) + kPartSuffix};
  for (const std::string& pattern : patterns) {
    std::vector<FolderEntry> entries;
    if (!files.ListFolder(updateFolder, pattern, &entries, cause)) return false;
    for (const FolderEntry& entry : entries)
      if (!entry.IsFolder && !files.Exists(updateFolder + entry.Name + kPartSourceSuffix) &&
          !files.Delete(updateFolder + entry.Name, cause))
        return false;
  }
  return true;
}

bool DownloadUpdates(Platform& os, Report& report, const TimeLimits& limits, const HttpRoute& route,
                     const std::string& server, const std::string& updateFolder,
                     const std::vector<SelectedUpdate>& selected, const PackageArrived& arrived) {
  report.Line("");
  report.Line("Downloading updates...");
  std::string cause;
  if (!ClearUpdateFolder(os.Files, updateFolder, selected, &cause)) {
    report.Failure("Error: Cannot clear the update folder.", cause);
    return false;
  }
  return DownloadPackages(os, report, limits, route, server, updateFolder, selected, arrived);
}

bool DownloadPackages(Platform& os, Report& report, const TimeLimits& limits,
                      const HttpRoute& route, const std::string& server,
                      const std::string& updateFolder, const std::vector<SelectedUpdate>& selected,
                      const PackageArrived& arrived) {
  HTTPGetRequest request;
  request.TakeRoute(route);
  for (const SelectedUpdate& update : selected) {
    report.Line("Downloading... : " + update.Name);
    // The name comes from the server and becomes a local file name: it must
    // not lead out of the update folder.
    if (!IsPlainFileName(update.PackageFile)) {
      report.Line("Error: Invalid package file name: " + update.PackageFile);
      return false;
    }
    const std::string url = server + update.PackageFile, path = updateFolder + update.PackageFile;
    PreparePackageRequest(request, url, path, limits, report, update.Size);
    // A cut package is kept for the next run, which asks only for its rest.
    request.KeepCutFile = true;
    HTTPGetResult result = HTTPGetFromWeb(os, request, report);
    report.ProgressDone();
    if (result != HTTPGetResult::Ok) {
      ReportHTTPGetFailure(report, result, request);
      return false;
    }
    if (arrived && !arrived(update, url, path)) return false;
  }
  return true;
}

}  // namespace updater
