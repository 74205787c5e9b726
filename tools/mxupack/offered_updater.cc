// Reading the key marks of the updaters a catalogue offers.
#include "mxupack/offered_updater.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "packages/package_reader.h"
#include "protocol/catalogue.h"
#include "protocol/update_selection.h"
#include "system/platform.h"
#include "system/report.h"
#include "system/update_folder.h"

namespace updater::mxupack {

namespace {

namespace fs = std::filesystem;

constexpr char kUpdaterProgram[] = "Updater.exe";

// A folder of its own below the system's temporary folder, removed with
// what it holds when it goes.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device random;
    std::error_code code;
    path_ = fs::temp_directory_path(code) /
            ("mxupack-" + std::to_string(random()) + std::to_string(random()));
    made_ = !code && fs::create_directory(path_, code) && !code;
  }
  ~ScratchFolder() {
    std::error_code code;
    if (made_) fs::remove_all(path_, code);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  bool Made() const { return made_; }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
  bool made_ = false;
};

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

// The key mark of the updater in the package at `path`.
bool UpdaterKeysIn(const std::string& path, BuiltInKeys* keys, std::string* error) {
  SilentReport report;
  PackageReader reader(RealPlatform().Files, report);
  if (!OpenPackage(reader, path)) return Fail(error, "cannot read the package " + path);
  ScratchFolder scratch;
  const std::string unpacked = (scratch.Path() / kUpdaterProgram).u8string();
  const bool found = FindEntry(reader, kUpdaterProgram) != 0;
  const bool extracted = found && scratch.Made() && ExtractEntry(reader, kUpdaterProgram, unpacked);
  ClosePackages(reader);
  if (!found) return Fail(error, "the package " + path + " holds no " + kUpdaterProgram);
  if (!extracted)
    return Fail(error, "cannot unpack the " + std::string(kUpdaterProgram) + " of " + path);
  std::ifstream in(fs::u8path(unpacked), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string reason;
  if (!BuiltInKeysOf(bytes, keys, &reason))
    return Fail(error, "the " + std::string(kUpdaterProgram) + " of " + path +
                           " does not say which key it takes: " + reason);
  return true;
}

}  // namespace

bool OfferedUpdaters(const std::string& folder, const std::string& catalogue,
                     std::vector<OfferedUpdater>* updaters, std::string* error) {
  Catalogue entries;
  // The publisher's catalogue may end its last line without CR LF.
  ParseCatalogue(catalogue + "\r\n", &entries);
  updaters->clear();
  for (const UpdateEntry& entry : entries) {
    if (!IsUpdaterEntry(entry)) continue;
    if (!IsPlainFileName(entry.PackageFile))
      return Fail(error, "the catalogue's updater package is not a file of the folder: " +
                             entry.PackageFile);
    OfferedUpdater offered;
    offered.PackageFile = entry.PackageFile;
    if (!UpdaterKeysIn(folder + entry.PackageFile, &offered.Keys, error)) return false;
    updaters->push_back(std::move(offered));
  }
  return true;
}

}  // namespace updater::mxupack
