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

bool ClearUpdateFolder(FileSystem& files, const std::string& updateFolder, std::string* cause) {
  // Packages, the signatures kept beside them, and the parts of either that a
  // cut download or a killed writer left.
  const std::string patterns[] = {kPackagePattern, kPackageSignaturePattern,
                                  std::string(kPackagePattern) + kPartSuffix,
                                  std::string(kPackageSignaturePattern) + kPartSuffix};
  for (const std::string& pattern : patterns) {
    std::vector<FolderEntry> entries;
    if (!files.ListFolder(updateFolder, pattern, &entries, cause)) return false;
    for (const FolderEntry& entry : entries)
      if (!entry.IsFolder && !files.Delete(updateFolder + entry.Name, cause)) return false;
  }
  return true;
}

bool DownloadUpdates(Platform& os, Report& report, const TimeLimits& limits, const HttpRoute& route,
                     const std::string& server, const std::string& updateFolder,
                     const std::vector<SelectedUpdate>& selected, const PackageArrived& arrived) {
  report.Line("");
  report.Line("Downloading updates...");
  std::string cause;
  if (!ClearUpdateFolder(os.Files, updateFolder, &cause)) {
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
