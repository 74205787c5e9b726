// Reading the key marks of the updaters a catalogue offers.
#include "mxupack/offered_updater.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "mxupack/scratch_folder.h"
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
  std::string why;
  const bool made = scratch.Create(&why);
  const std::string unpacked = scratch.Path() + kUpdaterProgram;
  const bool found = FindEntry(reader, kUpdaterProgram) != 0;
  const bool extracted = found && made && ExtractEntry(reader, kUpdaterProgram, unpacked);
  ClosePackages(reader);
  if (!found) return Fail(error, "the package " + path + " holds no " + kUpdaterProgram);
  if (!made) return Fail(error, why);
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
