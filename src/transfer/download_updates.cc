// Downloading the selected update packages into the update folder.
#include "transfer/download_updates.h"

#include <vector>

#include "run/console_io.h"

namespace updater {

namespace {

constexpr int32_t kPackageBufferSize = 65536;

}  // namespace

void PreparePackageRequest(HTTPGetRequest& request, const std::string& url,
                           const std::string& fileName) {
  request.URL = url;
  request.Target = TargetFile;
  request.BufferSize = kPackageBufferSize;
  request.Agent = kUpdaterAgent;
  request.FileName = fileName;
  request.Memory.reset();
  request.OnProgress = nullptr;
  request.OnConnected = nullptr;
  request.OnFinished = nullptr;
}

bool IsPlainPackageFileName(std::string_view name) {
  return !name.empty() && name.find_first_of("\\/:") == std::string_view::npos &&
         name.find("..") == std::string_view::npos;
}

void ClearUpdateFolder(Program& program) {
  const std::string folder = program.UpdateFolder();
  std::vector<FolderEntry> entries;
  if (!program.os.files.ListFolder(folder, "*.mxu", &entries)) return;
  for (const FolderEntry& entry : entries)
    if (!entry.isFolder) program.os.files.Delete(folder + entry.name);
}

bool DownloadUpdates(Program& program) {
  PrintLine(program, "");
  PrintLine(program, "Downloading updates...");
  ClearUpdateFolder(program);

  // One record for all packages: the defaults the client writes back into it
  // for the first download stay for the following ones.
  HTTPGetRequest request;
  for (const SelectedUpdate& update : program.SelectedUpdates) {
    PrintLine(program, "Downloading... : " + update.Name);
    // The name comes from the server and becomes a local file name: it must
    // not lead out of the update folder.
    if (!IsPlainPackageFileName(update.PackageFile)) {
      PrintLine(program, "Error: Invalid package file name: " + update.PackageFile);
      return false;
    }
    PreparePackageRequest(request, program.Settings.Server + update.PackageFile,
                          program.UpdateFolder() + update.PackageFile);
    int32_t result = HTTPGetFromWeb(program.os, request);
    if (result != HTTPGetOK) {
      PrintLine(program, "Error: " + HTTPGetErrorText(result, request));
      return false;
    }
  }
  return true;
}

}  // namespace updater
