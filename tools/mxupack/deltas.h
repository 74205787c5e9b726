// Delta packages of a release: for each of the last releases the server holds
// in full, a package that brings an installation of exactly that version to
// the new one (patches of the files changed, the new files whole, remove
// entries for the files gone), made from the old release as its full
// packages on the server hold it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "packages/package_writer.h"

namespace updater::mxupack {

// The name of the delta package from `fromVersion` to `version`:
// "VOXA-1.10-from-1.05.mxu", or part `part` of `parts`:
// "VOXA-1.10-from-1.05-2.mxu". Full packages never carry "-from-".
std::string DeltaPackageName(int64_t version, int64_t fromVersion, size_t part = 1,
                             size_t parts = 1);

// A release the server holds in full: its version and the paths of its full
// packages, in catalogue order.
struct FullRelease {
  int64_t Version = 0;
  std::vector<std::string> Packages;
};

// The newest `count` versions below `version` that `catalogue` offers in
// full and whose full packages are all in `folder` (ending with "/"), newest
// first. A version's full packages are its main-program lines without a
// from= fact (also a malformed one) whose package is a plain file name;
// packages of the files changed since an earlier release
// ("-since-" in the name, as publish names them) make no full release.
std::vector<FullRelease> FullReleases(const std::string& catalogue, const std::string& folder,
                                      int64_t version, int count);

// The entries of the delta from `oldFiles` to `newFiles` (entry name to
// path; names match without regard to ASCII letter case, as Windows takes
// them), in the order of `newFiles`, then the removals: a file of the same
// content is left out; a changed file is a patch when `patchSize` (the size
// of its patch, -1 when none can be made) is below `packedSize` (its size
// packed with `method`, -1 when not known) and neither file is empty, and
// otherwise written whole with `method`, as a new file is; a file that
// `newFiles` does not have becomes a remove entry.
struct DeltaMeasures {
  std::function<int64_t(const std::string& oldPath, const std::string& newPath)> PatchSize;
  std::function<int64_t(const std::string& name)> PackedSize;
};
std::vector<EntryInput> DeltaEntries(const std::map<std::string, std::string>& oldFiles,
                                     const std::map<std::string, std::string>& newFiles,
                                     MethodChoice method, const DeltaMeasures& measures);

// The size of the patch from the file at `oldPath` to the one at `newPath`,
// made at a fast Zstandard level: about the largest patch the writer makes,
// to choose between a patch and the whole file. -1 when it cannot be
// made.
int64_t QuickPatchSize(const std::string& oldPath, const std::string& newPath);

// The packed size of each entry of the packages at `paths` (all its variants
// together), by entry name. False with a message when one cannot be read.
bool PackedSizes(const std::vector<std::string>& paths, std::map<std::string, int64_t>* sizes,
                 std::string* error);

// Writes the files of a release from its full packages `paths` into `folder`
// (which exists) as an installation applying them holds them: in order, a
// later package's entry replacing an earlier one's. False with a message.
bool UnpackRelease(const std::vector<std::string>& paths, const std::string& folder,
                   std::string* error);

// What publishing the deltas of one release needs.
struct DeltaRequest {
  std::string ServerFolder;  // ending with "/"
  std::string Catalogue;     // the catalogue before this publish
  int64_t Version = 0;       // of the new release
  int Count = 0;             // of older releases to make deltas from
  const std::map<std::string, std::string>* ReleaseFiles = nullptr;  // entry name -> path
  std::vector<std::string> FullPackages;  // paths of the release's full packages as written
  MethodChoice Method;                    // of the files written whole
  PackageOptions Packing;
  int64_t LargestPackage = 0;  // as DivideIntoPackages takes it
  // Told the older release before its delta is made, which takes a while;
  // the packing's progress (Packing.Progress) then counts that delta's
  // bytes. Either may be empty.
  std::function<void(int64_t fromVersion)> Starting;
};

// One delta package written.
struct WrittenDelta {
  std::string Name;
  int64_t From = 0;
};

// Writes the delta packages of the release from each of the request's full
// releases (FullReleases), each to the path `add` gives for its name, in as
// many packages as the format needs (DivideIntoPackages), and lists them in
// `written` in catalogue order: newest `from` first, the parts of one delta
// in their order. A release whose files are those of the new one gets none.
// False with a message.
bool WriteDeltas(const DeltaRequest& request,
                 const std::function<std::string(const std::string& name)>& add,
                 std::vector<WrittenDelta>* written, std::string* error);

// The facts of the package file at `path` as a catalogue line's fields
// (FactFields): its size and BLAKE2b, and `from` for a delta. False with a
// message when it cannot be read.
bool PackageFactFields(const std::string& path, std::optional<int64_t> from, std::string* fields,
                       std::string* error);

}  // namespace updater::mxupack
