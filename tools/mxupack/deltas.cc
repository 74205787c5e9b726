// Delta packages of a release, made from the older releases' full packages.
#include "mxupack/deltas.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <streambuf>

#include "mxupack/file_tree.h"
#include "mxupack/publish.h"
#include "mxupack/scratch_folder.h"
#include "packages/apply_updates.h"
#include "packages/content_hash.h"
#include "packages/entry_names.h"
#include "packages/package_reader.h"
#include "protocol/catalogue.h"
#include "protocol/update_selection.h"
#include "protocol/version_text.h"
#include "system/platform.h"
#include "system/text.h"
#include "system/update_folder.h"

namespace updater::mxupack {

namespace {

namespace fs = std::filesystem;

// The Zstandard level of the patches that only measure: fast, and with
// long-distance matching it finds what the writer's patch finds.
constexpr int kQuickPatchLevel = 3;

// The Zstandard level of a delta's patches by the bytes they patch in all
// and the size of their quick patches: the optimal parser of the high
// levels makes patches 10-20% smaller than level 11 at a tenth of its speed
// (about 0.7 MB/s at 19, 3 MB/s at 13, 16 MB/s at 11 for a program of
// 100 MB), so it is kept to small deltas, and a delta of a large program is
// made within a minute. Files that hardly changed (quick patches under
// 1/256 of their size, as text files of a point release) gain a few bytes
// from it at most.
int PatchLevel(int64_t patchedBytes, int64_t quickPatchBytes) {
  if (quickPatchBytes * 256 < patchedBytes) return 9;
  if (patchedBytes <= (int64_t{16} << 20)) return 19;
  if (patchedBytes <= (int64_t{64} << 20)) return 13;
  return 11;
}

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

// An output that only counts what is written to it.
class CountingBuffer : public std::streambuf {
 public:
  int64_t Count = 0;

 protected:
  int overflow(int c) override {
    if (c != traits_type::eof()) ++Count;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize count) override {
    Count += count;
    return count;
  }
};

// The reader's failure lines, kept with their causes for the message.
class KeptReport : public Report {
 public:
  void Line(std::string_view) override {}
  void Failure(std::string_view line, std::string_view cause) override {
    Text = std::string(line) + " (" + std::string(cause) + ")";
  }
  void Log(std::string_view text) override { Text = std::string(text); }

  std::string Text;
};

// A file's size, or 0 when it has none to tell.
int64_t SizeOf(const std::string& path) {
  std::error_code code;
  const uintmax_t size = fs::file_size(fs::u8path(path), code);
  return code ? 0 : static_cast<int64_t>(size);
}

bool SameContent(const std::string& first, const std::string& second) {
  FileSystem& files = RealPlatform().Files;
  if (SizeOf(first) != SizeOf(second)) return false;
  std::string cause;
  std::unique_ptr<MappedFile> a = files.MapRead(first, &cause), b = files.MapRead(second, &cause);
  return a && b && a->Size() == b->Size() &&
         (a->Size() == 0 || std::equal(a->Data(), a->Data() + a->Size(), b->Data()));
}

}  // namespace

std::string DeltaPackageName(int64_t version, int64_t fromVersion, size_t part, size_t parts) {
  std::string name = "VOXA-" + VersionText(version) + "-from-" + VersionText(fromVersion);
  if (parts > 1) name += "-" + std::to_string(part);
  return name + ".mxu";
}

std::vector<FullRelease> FullReleases(const std::string& catalogue, const std::string& folder,
                                      int64_t version, int count) {
  // Version -> its full packages in catalogue order, and whether all are there.
  std::map<int64_t, std::pair<std::vector<std::string>, bool>> releases;
  size_t start = 0;
  while (start < catalogue.size()) {
    size_t end = catalogue.find('\n', start);
    if (end == std::string::npos) end = catalogue.size();
    std::string line = catalogue.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const UpdateEntry entry{GetField(line, 1), GetField(line, 2),
                            ReadVersionField(GetField(line, 3)), ReadFacts(line)};
    if (!IsMainProgramEntry(entry) || entry.Version >= version || entry.Facts.From ||
        entry.Facts.IsMalformed(Fact::From) ||
        LowerCaseText(entry.PackageFile).find("-since-") != std::string::npos)
      continue;
    auto& release =
        releases.emplace(entry.Version, std::make_pair(std::vector<std::string>{}, true))
            .first->second;
    const std::string path = folder + entry.PackageFile;
    std::error_code code;
    if (!IsPlainFileName(entry.PackageFile) || !fs::is_regular_file(fs::u8path(path), code))
      release.second = false;
    release.first.push_back(path);
  }
  std::vector<FullRelease> chosen;
  for (auto it = releases.rbegin(); it != releases.rend() && count > 0; ++it) {
    if (!it->second.second) continue;
    chosen.push_back({it->first, it->second.first});
    --count;
  }
  return chosen;
}

std::vector<EntryInput> DeltaEntries(const std::map<std::string, std::string>& oldFiles,
                                     const std::map<std::string, std::string>& newFiles,
                                     MethodChoice method, const DeltaMeasures& measures) {
  std::map<std::string, const std::pair<const std::string, std::string>*> oldByName;
  for (const auto& file : oldFiles) oldByName.emplace(LowerCaseText(file.first), &file);
  std::vector<EntryInput> entries;
  for (const auto& [name, path] : newFiles) {
    auto old = oldByName.find(LowerCaseText(name));
    if (old == oldByName.end()) {
      entries.push_back({name, 0, method, {{0, path, ""}}});
      continue;
    }
    const std::string oldPath = old->second->second;
    oldByName.erase(old);
    if (SameContent(oldPath, path)) continue;
    // An empty file, new or old, is written whole: nothing to patch.
    const bool patchable = SizeOf(oldPath) > 0 && SizeOf(path) > 0;
    const int64_t patch = patchable && measures.PatchSize ? measures.PatchSize(oldPath, path) : -1;
    const int64_t packed = measures.PackedSize ? measures.PackedSize(name) : -1;
    if (patch >= 0 && (packed < 0 || patch < packed))
      entries.push_back({name, 0, PackageMethod::Patch, {{0, path, "", oldPath}}});
    else
      entries.push_back({name, 0, method, {{0, path, ""}}});
  }
  std::vector<std::string> gone;
  for (const auto& [lower, file] : oldByName) gone.push_back(file->first);
  std::sort(gone.begin(), gone.end());
  for (const std::string& name : gone)
    entries.push_back({name, 0, PackageMethod::Remove, {VariantInput()}});
  return entries;
}

int64_t QuickPatchSize(const std::string& oldPath, const std::string& newPath) {
  CountingBuffer counter;
  std::ostream out(&counter);
  EncodeSettings settings;
  settings.ZstdLevel = kQuickPatchLevel;
  std::string error;
  return EncodePatchFiles(oldPath, newPath, out, settings, &error) < 0 ? -1 : counter.Count;
}

bool PackedSizes(const std::vector<std::string>& paths, std::map<std::string, int64_t>* sizes,
                 std::string* error) {
  FileSystem& files = RealPlatform().Files;
  for (const std::string& path : paths) {
    std::string why;
    std::unique_ptr<File> file = files.OpenRead(path, false, &why);
    if (!file) return Fail(error, "cannot read " + path + ": " + why);
    PackageHeader header;
    std::vector<DirectoryEntry> entries;
    if (!ReadPackageDirectory(*file, &header, &entries, &why))
      return Fail(error, "cannot read " + path + ": " + why);
    for (const DirectoryEntry& entry : entries) {
      int64_t packed = 0;
      for (const EntryVariant& variant : entry.Variants) packed += variant.PackedSize;
      (*sizes)[entry.Name] = packed;
    }
  }
  return true;
}

bool UnpackRelease(const std::vector<std::string>& paths, const std::string& folder,
                   std::string* error) {
  FileSystem& files = RealPlatform().Files;
  KeptReport report;
  PackageReader reader(files, report);
  InitPackageReader(reader, 0);
  std::string failed;
  if (!OpenPackages(reader, paths, &failed))
    return Fail(error, "cannot read the server's package " + failed);
  bool ok = true;
  for (std::string name = NextEntryName(reader); ok && !name.empty();
       name = NextEntryName(reader)) {
    const size_t position = FindEntry(reader, name);
    if (position > 0 && RemovesTarget(reader.EntryTable[position - 1])) continue;
    if (!IsSafeEntryName(name)) {
      ok = Fail(error, "a package of the server names a file outside its folder: " + name);
    } else if (!CreateFolders(files, report, folder, FolderPart(name)) ||
               !ExtractEntry(reader, name, folder + name)) {
      ok = Fail(error, "cannot unpack " + name + " of the server's packages: " + report.Text);
    }
  }
  ClosePackages(reader);
  return ok;
}

bool WriteDeltas(const DeltaRequest& request,
                 const std::function<std::string(const std::string& name)>& add,
                 std::vector<WrittenDelta>* written, std::string* error) {
  const std::vector<FullRelease> sources =
      FullReleases(request.Catalogue, request.ServerFolder, request.Version, request.Count);
  if (sources.empty()) return true;
  std::map<std::string, int64_t> packed;
  if (!PackedSizes(request.FullPackages, &packed, error)) return false;
  DeltaMeasures measures;
  // The quick patches of the files that become patches, by their new path.
  std::map<std::string, int64_t> quick;
  measures.PatchSize = [&quick](const std::string& oldPath, const std::string& newPath) {
    return quick[newPath] = QuickPatchSize(oldPath, newPath);
  };
  measures.PackedSize = [&packed](const std::string& name) {
    auto found = packed.find(name);
    return found == packed.end() ? int64_t{-1} : found->second;
  };
  for (const FullRelease& source : sources) {
    if (request.Starting) request.Starting(source.Version);
    // One old release on disk at a time: the patches map their references.
    ScratchFolder scratch;
    std::map<std::string, std::string> oldFiles;
    if (!scratch.Create(error) || !UnpackRelease(source.Packages, scratch.Path(), error) ||
        !ListFiles(scratch.Path(), TreeOptions(), &oldFiles, error))
      return false;
    const std::vector<EntryInput> entries =
        DeltaEntries(oldFiles, *request.ReleaseFiles, request.Method, measures);
    if (entries.empty()) continue;
    std::vector<std::vector<int64_t>> sizes;
    int64_t patched = 0, quickPatches = 0;
    for (const EntryInput& entry : entries) {
      sizes.push_back({SizeOf(entry.Variants[0].FilePath)});
      if (entry.DataMethod != PackageMethod::Patch) continue;
      patched += sizes.back()[0];
      quickPatches += quick[entry.Variants[0].FilePath];
    }
    PackageOptions packing = request.Packing;
    packing.Encode.ZstdLevel = PatchLevel(patched, quickPatches);
    const std::vector<std::vector<EntryInput>> parts =
        DivideIntoPackages(entries, sizes, request.LargestPackage, error);
    if (parts.empty()) return false;
    for (size_t part = 0; part < parts.size(); ++part) {
      const std::string name =
          DeltaPackageName(request.Version, source.Version, part + 1, parts.size());
      if (!WritePackage(add(name), parts[part], packing, error)) return false;
      written->push_back({name, source.Version});
    }
  }
  return true;
}

bool PackageFactFields(const std::string& path, std::optional<int64_t> from, std::string* fields,
                       std::string* error) {
  PackageFacts facts;
  ContentHash hash;
  if (!HashFile(RealPlatform().Files, path, &hash, error)) return false;
  facts.Size = SizeOf(path);
  facts.Blake2b = hash;
  facts.From = from;
  *fields = FactFields(facts);
  return true;
}

}  // namespace updater::mxupack
