// mxupack publish: a release tree into an update server folder.
#include "mxupack/publish.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <vector>

#include "mxupack/file_tree.h"
#include "protocol/catalogue.h"
#include "protocol/minisign_format.h"
#include "protocol/signature.h"
#include "protocol/update_selection.h"
#include "protocol/version_text.h"
#include "system/platform.h"
#include "system/text.h"

namespace updater::mxupack {

namespace {

namespace fs = std::filesystem;

constexpr char kMainProgram[] = "VOXA.exe";
constexpr char kUpdaterProgram[] = "Updater.exe";
constexpr char kCatalogueFile[] = "VersionInfo.txt";
constexpr char kStateFile[] = "UpdateInfo.txt";
constexpr char kServerListFile[] = "UpdateServer.lst";
constexpr char kSignatureSuffix[] = ".minisig";
// The state file of a new server folder.
const std::string kStateOk = "ok";
// What a file is written as before it takes its name.
constexpr char kPartSuffix[] = ".~publish";

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SameContent(const fs::path& first, const fs::path& second) {
  std::error_code code;
  if (fs::file_size(first, code) != fs::file_size(second, code) || code) return false;
  std::ifstream a(first, std::ios::binary), b(second, std::ios::binary);
  std::vector<char> bufferA(1 << 16), bufferB(1 << 16);
  while (a && b) {
    a.read(bufferA.data(), static_cast<std::streamsize>(bufferA.size()));
    b.read(bufferB.data(), static_cast<std::streamsize>(bufferB.size()));
    if (a.gcount() != b.gcount() ||
        !std::equal(bufferA.begin(), bufferA.begin() + a.gcount(), bufferB.begin()))
      return false;
  }
  return a.eof() && b.eof();
}

// The version number of a program, as the updater reads it; nothing when it
// has no readable version.
std::optional<int64_t> ProgramVersion(const fs::path& program) {
  VersionResources& versions = RealPlatform().Versions;
  if (!versions.Load()) return std::nullopt;
  std::optional<uint32_t> fileVersionMS = versions.FileVersionMS(program.u8string());
  if (!fileVersionMS) return std::nullopt;
  return VersionNumberFromFileVersion(*fileVersionMS);
}

// The catalogue's lines without their line ends; empty lines dropped.
std::vector<std::string> CatalogueLines(const std::string& catalogue) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < catalogue.size()) {
    size_t end = catalogue.find('\n', start);
    if (end == std::string::npos) end = catalogue.size();
    std::string line = catalogue.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!GetField(line, 1).empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

UpdateEntry EntryOf(const std::string& line) {
  return {GetField(line, 1), GetField(line, 2), ReadVersionField(GetField(line, 3))};
}

// The newest version of the lines `matches` picks, or nothing.
template <typename Matches>
std::optional<int64_t> NewestVersion(const std::string& catalogue, Matches matches) {
  std::optional<int64_t> newest;
  for (const std::string& line : CatalogueLines(catalogue)) {
    UpdateEntry entry = EntryOf(line);
    if (matches(entry) && (!newest || entry.Version > *newest)) newest = entry.Version;
  }
  return newest;
}

// Writes `path` whole: beside its name first, then renamed over it.
class AtomicWriter {
 public:
  explicit AtomicWriter(std::ostream& out) : out_(out) {}

  bool WriteText(const fs::path& path, const std::string& content, std::string* error) {
    fs::path part = path.u8string() + kPartSuffix;
    {
      std::ofstream file(part, std::ios::binary | std::ios::trunc);
      file.write(content.data(), static_cast<std::streamsize>(content.size()));
      file.flush();
      if (!file) {
        std::error_code ignored;
        fs::remove(part, ignored);
        return Fail(error, "cannot write " + part.u8string());
      }
    }
    return Rename(part, path, error);
  }

  // Packs `entries` into `path` through a file beside it.
  bool WritePackageFile(const fs::path& path, const std::vector<EntryInput>& entries,
                        std::string* error) {
    fs::path part = path.u8string() + kPartSuffix;
    if (!WritePackage(part.u8string(), entries, {}, error)) return false;
    return Rename(part, path, error);
  }

 private:
  bool Rename(const fs::path& part, const fs::path& path, std::string* error) {
    std::error_code code;
    fs::rename(part, path, code);
    if (code) {
      fs::remove(part, code);
      return Fail(error, "cannot put " + path.u8string() + " in place: " + code.message());
    }
    out_ << "wrote " << path.u8string() << "\n";
    return true;
  }

  std::ostream& out_;
};

// The entries of a package of `files` (entry name to path).
std::vector<EntryInput> PackageEntries(const std::map<std::string, std::string>& files,
                                       MethodChoice method) {
  std::vector<EntryInput> entries;
  for (const auto& [name, path] : files) entries.push_back({name, 0, method, {{0, path, ""}}});
  return entries;
}

bool IsUpdaterProgram(const std::string& entryName) {
  return LowerCaseText(entryName) == LowerCaseText(kUpdaterProgram);
}

}  // namespace

std::string ReleasePackageName(int64_t version, int64_t sinceVersion) {
  std::string name = "VOXA-" + VersionText(version);
  if (sinceVersion > 0) name += "-since-" + VersionText(sinceVersion);
  return name + ".mxu";
}

std::string CatalogueWithMainLine(const std::string& catalogue, const std::string& package,
                                  int64_t version) {
  const std::string newLine = "VOXA " + package + " " + std::to_string(version);
  std::vector<std::string> lines;
  bool placed = false;
  size_t afterLastMain = 0;
  for (const std::string& line : CatalogueLines(catalogue)) {
    UpdateEntry entry = EntryOf(line);
    if (IsMainProgramEntry(entry) && entry.Version == version) {
      if (!placed) lines.push_back(newLine);
      placed = true;
      afterLastMain = lines.size();
      continue;
    }
    lines.push_back(line);
    if (IsMainProgramEntry(entry)) afterLastMain = lines.size();
  }
  if (!placed) {
    size_t at = afterLastMain > 0 ? afterLastMain : lines.size();
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), newLine);
  }
  return JoinLines(lines);
}

std::string CatalogueWithUpdaterLine(const std::string& catalogue, const std::string& package,
                                     int64_t version) {
  const std::string newLine = "updater " + package + " " + std::to_string(version);
  std::vector<std::string> lines;
  bool placed = false;
  for (const std::string& line : CatalogueLines(catalogue)) {
    if (!IsUpdaterEntry(EntryOf(line))) {
      lines.push_back(line);
    } else if (!placed) {
      lines.push_back(newLine);
      placed = true;
    }
  }
  if (!placed) lines.insert(lines.begin(), newLine);
  return JoinLines(lines);
}

bool Publish(const PublishOptions& options, std::ostream& out, std::string* error) {
  // Everything is checked before anything is written.
  const fs::path server = fs::u8path(options.ServerFolder);
  const fs::path release = fs::u8path(options.ReleaseFolder);
  std::error_code code;
  if (!fs::is_directory(server, code))
    return Fail(error, "the server folder is not a folder: " + options.ServerFolder);
  std::optional<int64_t> version = ProgramVersion(release / kMainProgram);
  if (!version || *version <= 0)
    return Fail(error, "no readable version in " + (release / kMainProgram).u8string());

  const fs::path cataloguePath = server / kCatalogueFile;
  const std::string catalogue = fs::exists(cataloguePath) ? Slurp(cataloguePath) : std::string();
  std::optional<int64_t> newest = NewestVersion(catalogue, IsMainProgramEntry);
  if (newest && *version <= *newest && !options.Force)
    return Fail(error, "the release's version " + VersionText(*version) +
                           " is not above the catalogue's newest VOXA line (" +
                           VersionText(*newest) + "); --force publishes it all the same");

  std::map<std::string, std::string> files;
  if (!ListFiles(options.ReleaseFolder, &files, error)) return false;
  // The updater travels in a package of its own.
  std::optional<std::string> updaterPath;
  for (auto it = files.begin(); it != files.end();) {
    if (IsUpdaterProgram(it->first)) {
      updaterPath = it->second;
      it = files.erase(it);
    } else {
      ++it;
    }
  }
  int64_t sinceVersion = 0;
  if (!options.SinceFolder.empty()) {
    const fs::path since = fs::u8path(options.SinceFolder);
    std::optional<int64_t> previous = ProgramVersion(since / kMainProgram);
    if (!previous)
      return Fail(error, "no readable version in " + (since / kMainProgram).u8string());
    sinceVersion = *previous;
    for (auto it = files.begin(); it != files.end();) {
      std::string relative = it->first;
      std::replace(relative.begin(), relative.end(), '\\', '/');
      if (SameContent(fs::u8path(it->second), since / fs::u8path(relative)))
        it = files.erase(it);
      else
        ++it;
    }
    if (files.empty())
      return Fail(error, "nothing changed since " + options.SinceFolder + " to publish");
  }
  if (files.empty()) return Fail(error, "no files to publish in " + options.ReleaseFolder);

  std::optional<int64_t> updaterVersion;
  if (updaterPath) {
    std::optional<int64_t> offered = NewestVersion(catalogue, IsUpdaterEntry);
    std::optional<int64_t> own = ProgramVersion(fs::u8path(*updaterPath));
    if (own && *own > offered.value_or(0)) updaterVersion = own;
  }

  MinisignSecretKey secretKey;
  if (!options.SecretKeyPath.empty()) {
    const fs::path keyPath = fs::u8path(options.SecretKeyPath);
    if (!fs::is_regular_file(keyPath, code))
      return Fail(error, "no secret key at " + options.SecretKeyPath);
    std::string why;
    if (!LoadSecretKey(Slurp(keyPath), &secretKey, &why))
      return Fail(error, "cannot use the secret key " + options.SecretKeyPath + ": " + why);
  }

  // Packages first, the catalogue that names them last: a server being read
  // meanwhile offers the old catalogue or the new one, never a package that
  // is not there yet.
  AtomicWriter writer(out);
  std::vector<fs::path> written;
  const std::string package = ReleasePackageName(*version, sinceVersion);
  if (!writer.WritePackageFile(server / package, PackageEntries(files, options.Method), error))
    return false;
  written.push_back(server / package);
  std::string newCatalogue = CatalogueWithMainLine(catalogue, package, *version);
  if (updaterVersion) {
    const std::string updaterPackage = "Updater-" + VersionText(*updaterVersion) + ".mxu";
    // The updater's own package is applied by the updater being replaced,
    // which may not know the newer methods: it keeps to those all updaters read.
    const PackageCodec* codec = options.Method ? FindCodec(*options.Method) : nullptr;
    const MethodChoice updaterMethod =
        codec && !codec->ReadByEveryUpdater ? kBestMethod : options.Method;
    if (!writer.WritePackageFile(server / updaterPackage,
                                 PackageEntries({{kUpdaterProgram, *updaterPath}}, updaterMethod),
                                 error))
      return false;
    written.push_back(server / updaterPackage);
    newCatalogue = CatalogueWithUpdaterLine(newCatalogue, updaterPackage, *updaterVersion);
  }
  const fs::path statePath = server / kStateFile;
  const bool createState = !fs::exists(statePath);

  if (!options.SecretKeyPath.empty()) {
    const uint64_t timestamp =
        options.Timestamp != 0
            ? options.Timestamp
            : static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
    FileSystem& platformFiles = RealPlatform().Files;
    auto sign = [&](const fs::path& path, const std::string* content) {
      std::string signature;
      const std::string name = path.filename().u8string();
      bool signedIt = content ? SignBytes(secretKey, *content, name, timestamp, &signature, error)
                              : SignFile(platformFiles, path.u8string(), secretKey, name, timestamp,
                                         &signature, error);
      return signedIt && writer.WriteText(path.u8string() + kSignatureSuffix, signature, error);
    };
    for (const fs::path& path : written)
      if (!sign(path, nullptr)) return false;
    // The server files a keyed updater checks are signed too when their
    // signature is missing or not this key's; the server list itself is
    // never changed.
    const MinisignPublicKey publicKey = PublicKeyOf(secretKey);
    for (const char* serverFile : {kStateFile, kServerListFile}) {
      const fs::path path = server / serverFile;
      if (!fs::exists(path)) continue;
      std::string signature = Slurp(path.u8string() + kSignatureSuffix), why;
      SignedFileInfo info;
      if (VerifyFileSignature(platformFiles, path.u8string(), signature, publicKey, serverFile,
                              &info, &why))
        continue;
      if (!sign(path, nullptr)) return false;
    }
    if (createState && !sign(statePath, &kStateOk)) return false;
    if (!sign(cataloguePath, &newCatalogue)) return false;
  }
  if (createState && !writer.WriteText(statePath, kStateOk, error)) return false;
  return writer.WriteText(cataloguePath, newCatalogue, error);
}

}  // namespace updater::mxupack
