// mxupack publish: a release tree into an update server folder.
#include "mxupack/publish.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <set>

#include "mxupack/deltas.h"
#include "mxupack/file_tree.h"
#include "mxupack/offered_updater.h"
#include "mxupack/publish_plan.h"
#include "protocol/built_in_keys.h"
#include "protocol/catalogue.h"
#include "protocol/minisign_format.h"
#include "protocol/server_list.h"
#include "protocol/signature.h"
#include "protocol/update_selection.h"
#include "protocol/version_text.h"
#include "system/platform.h"
#include "system/small_files.h"
#include "system/text.h"
#include "system/update_folder.h"

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
constexpr std::string_view kStateOk = "ok";
// The format's limits: offsets are signed 32-bit, the directory's sizes and
// its entry count 16-bit.
constexpr int64_t kLargestPackage = std::numeric_limits<int32_t>::max();
constexpr int64_t kLargestDirectory = 0xffff;
constexpr size_t kMostEntries = 0xffff;
constexpr int64_t kPackageHeader = 21;
// An updater program is read whole to find its key mark; none is this large.
constexpr int64_t kLargestProgram = 512 << 20;

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

// The bytes an entry adds to a package's directory.
int64_t DirectoryRecordSize(const EntryInput& entry) {
  return 1 + static_cast<int64_t>(entry.Name.size()) + 2 + 1 + 1 +
         13 * static_cast<int64_t>(entry.Variants.size());
}

// The entry of `files` (entry name to path) named `name` in any letter
// case, or the end.
std::map<std::string, std::string>::const_iterator FindFile(
    const std::map<std::string, std::string>& files, const std::string& name) {
  return std::find_if(files.begin(), files.end(), [&](const auto& file) {
    return LowerCaseText(file.first) == LowerCaseText(name);
  });
}

bool SameKey(const MinisignPublicKey& a, const MinisignPublicKey& b) {
  return a.KeyId == b.KeyId && a.Key == b.Key;
}

// What the server folder says about its key: the recorded public key, and
// the key ids its signature files name.
struct ServerKey {
  std::optional<MinisignPublicKey> Recorded;
  std::map<MinisignKeyId, std::string> SignedBy;  // key id -> a file it signed
  std::string SignatureFile;                      // one signature file, if any
  bool Signed() const { return Recorded || !SignatureFile.empty(); }
};

bool ReadServerKey(const std::string& folder, ServerKey* key, std::string* error) {
  FileSystem& files = RealPlatform().Files;
  const fs::path recordPath = fs::u8path(folder + kPublisherKeyFile);
  std::error_code code;
  if (fs::exists(recordPath, code)) {
    MinisignPublicKey recorded;
    std::string why;
    if (!ParsePublicKey(Slurp(recordPath), &recorded, &why))
      return Fail(error, "cannot read the server's key " + recordPath.u8string() + ": " + why);
    key->Recorded = recorded;
  }
  std::vector<FolderEntry> entries;
  std::string cause;
  if (!files.ListFolder(folder, std::string("*") + kSignatureSuffix, &entries, &cause))
    return Fail(error, "cannot list " + folder + ": " + cause);
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.Name < b.Name; });
  for (const FolderEntry& entry : entries) {
    if (entry.IsFolder) continue;
    key->SignatureFile = entry.Name;
    std::string text, why;
    MinisignSignature signature;
    if (ReadSignatureFile(files, folder + entry.Name, &text, &why) &&
        ParseSignatureFile(text, &signature, &why))
      key->SignedBy.emplace(signature.KeyId, entry.Name);
  }
  return true;
}

// The key id of the server: the recorded key's, or the one key its
// signatures name. False for signatures of several keys, or of another key
// than the recorded one.
bool ServerKeyId(const ServerKey& key, std::optional<MinisignKeyId>* id, std::string* error) {
  if (key.Recorded) *id = key.Recorded->KeyId;
  for (const auto& [signer, file] : key.SignedBy) {
    if (!*id) *id = signer;
    if (signer != **id)
      return Fail(error, "the server folder is signed by more than one key: " + file + " by " +
                             KeyIdText(signer) + ", the server's key is " + KeyIdText(**id) +
                             "; put the folder right (sign with the server's key) first");
  }
  return true;
}

// The keys a release's updater program carries. False with a message when
// it cannot be read or carries no mark.
bool ReleaseUpdaterKeys(const std::string& path, BuiltInKeys* keys, std::string* error) {
  std::error_code code;
  const uintmax_t size = fs::file_size(fs::u8path(path), code);
  if (code || size > static_cast<uintmax_t>(kLargestProgram))
    return Fail(error, "cannot read the release's " + std::string(kUpdaterProgram) + ": " + path);
  std::string reason;
  if (!BuiltInKeysOf(Slurp(fs::u8path(path)), keys, &reason))
    return Fail(error, "the release's " + std::string(kUpdaterProgram) + " (" + path +
                           ") does not say which key it takes: " + reason);
  return true;
}

std::string KeyIdsText(const std::vector<MinisignPublicKey>& keys) {
  std::string text;
  for (const MinisignPublicKey& key : keys)
    text += (text.empty() ? "" : ", ") + KeyIdText(key.KeyId);
  return text;
}

uint64_t Now() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// One publish: every check first, then the files of one FolderChange.
class Publisher {
 public:
  Publisher(const PublishOptions& options, std::ostream& out)
      : options_(options),
        out_(out),
        files_(RealPlatform().Files),
        folder_(options.ServerFolder +
                (options.ServerFolder.empty() || options.ServerFolder.back() != '/' ? "/" : "")),
        change_(files_, folder_) {}

  bool Run(std::string* error) {
    std::error_code code;
    if (!fs::is_directory(fs::u8path(options_.ServerFolder), code))
      return Fail(error, "the server folder is not a folder: " + options_.ServerFolder);
    if (!RepairFolder(files_, folder_, out_, error)) return false;
    return CheckServerKey(error) && CheckRelease(error) && CheckReleaseUpdater(error) &&
           CheckServerList(error) && DividePackages(error) && Write(error);
  }

 private:
  // The release: its version against the catalogue's, its files.
  bool CheckRelease(std::string* error) {
    TreeOptions tree;
    tree.FollowLinks = options_.FollowLinks;
    tree.Excludes = options_.Excludes;
    size_t excluded = 0;
    if (!ListFiles(options_.ReleaseFolder, tree, &releaseFiles_, error, &excluded)) return false;
    if (excluded > 0) out_ << "left out " << excluded << " file(s) or folder(s) by --exclude\n";
    auto main = FindFile(releaseFiles_, kMainProgram);
    if (main == releaseFiles_.end())
      return Fail(error, "the release folder has no " + std::string(kMainProgram) +
                             " at its top: " + options_.ReleaseFolder);
    std::optional<int64_t> version = ProgramVersion(fs::u8path(main->second));
    if (!version || *version <= 0) return Fail(error, "no readable version in " + main->second);
    version_ = *version;

    const fs::path cataloguePath = fs::u8path(folder_ + kCatalogueFile);
    std::error_code code;
    catalogue_ = fs::exists(cataloguePath, code) ? Slurp(cataloguePath) : std::string();
    std::optional<int64_t> newest = NewestVersion(catalogue_, IsMainProgramEntry);
    if (newest && version_ < *newest)
      return Fail(error, "the release's version " + VersionText(version_) +
                             " is below the catalogue's newest VOXA line (" + VersionText(*newest) +
                             "): installations apply the lines in order and would end at " +
                             VersionText(version_) +
                             "; publish the old content under a new version above " +
                             VersionText(*newest));
    if (newest && version_ == *newest && !options_.Force)
      return Fail(error, "the catalogue has VOXA " + VersionText(version_) +
                             " already; --force replaces its line(s) with this release");

    // The updater travels in a package of its own.
    auto updater = FindFile(releaseFiles_, kUpdaterProgram);
    if (updater != releaseFiles_.end()) {
      updaterPath_ = updater->second;
      releaseFiles_.erase(updater);
    }
    if (!options_.SinceFolder.empty()) {
      const fs::path since = fs::u8path(options_.SinceFolder);
      std::optional<int64_t> previous = ProgramVersion(since / kMainProgram);
      if (!previous)
        return Fail(error, "no readable version in " + (since / kMainProgram).u8string());
      sinceVersion_ = *previous;
      for (auto it = releaseFiles_.begin(); it != releaseFiles_.end();) {
        std::string relative = it->first;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        if (SameContent(fs::u8path(it->second), since / fs::u8path(relative)))
          it = releaseFiles_.erase(it);
        else
          ++it;
      }
      if (releaseFiles_.empty())
        return Fail(error, "nothing changed since " + options_.SinceFolder + " to publish");
    }
    if (updaterPath_) {
      std::optional<int64_t> offered = NewestVersion(catalogue_, IsUpdaterEntry);
      std::optional<int64_t> own = ProgramVersion(fs::u8path(*updaterPath_));
      if (own && *own > offered.value_or(0)) updaterVersion_ = own;
    }
    return true;
  }

  // The server's key and the one given: the same, or none for a server that
  // is not signed.
  bool CheckServerKey(std::string* error) {
    ServerKey server;
    std::optional<MinisignKeyId> serverId;
    if (!ReadServerKey(folder_, &server, error) || !ServerKeyId(server, &serverId, error))
      return false;
    recorded_ = server.Recorded.has_value();
    const bool signing = !options_.SecretKeyPath.empty();
    if (server.Signed() && !signing)
      return Fail(error,
                  "the server folder is signed (" +
                      (server.Recorded ? std::string(kPublisherKeyFile) : server.SignatureFile) +
                      (serverId ? ", key " + KeyIdText(*serverId) : std::string()) +
                      "): publish with --sign and the server's secret key; unsigned, "
                      "every installation that checks signatures would refuse it");
    if (signing) {
      const fs::path keyPath = fs::u8path(options_.SecretKeyPath);
      std::error_code code;
      if (!fs::is_regular_file(keyPath, code))
        return Fail(error, "no secret key at " + options_.SecretKeyPath);
      std::string why;
      if (!LoadSecretKey(Slurp(keyPath), &secretKey_, &why))
        return Fail(error, "cannot use the secret key " + options_.SecretKeyPath + ": " + why);
      publicKey_ = PublicKeyOf(secretKey_);
      const bool otherKey =
          serverId && (*serverId != publicKey_.KeyId ||
                       (server.Recorded && !SameKey(*server.Recorded, publicKey_)));
      if (!options_.NewKeyPath.empty()) return CheckNewKey(server, serverId, error);
      if (otherKey)
        return Fail(error, "the server's key is " + KeyIdText(*serverId) + "; this key is " +
                               KeyIdText(publicKey_.KeyId) +
                               ": sign with the server's key, or take the server to this key "
                               "with --new-key (see the README's key rotation)");
    }
    if (!options_.NewKeyPath.empty())
      return Fail(error, "--new-key needs --sign with the new key's secret half");
    if (!signing && options_.ExpiresDays > 0)
      return Fail(error, "--expires needs --sign: the end is part of the signatures");
    return true;
  }

  // A move of the server to the signing key: the key of NewKeyPath, and not
  // the server's own.
  bool CheckNewKey(const ServerKey& server, const std::optional<MinisignKeyId>& serverId,
                   std::string* error) {
    MinisignPublicKey newKey;
    std::string why;
    if (!ParsePublicKey(Slurp(fs::u8path(options_.NewKeyPath)), &newKey, &why))
      return Fail(error, "cannot read the new key " + options_.NewKeyPath + ": " + why);
    if (!SameKey(newKey, publicKey_))
      return Fail(error, "--new-key " + options_.NewKeyPath + " (" + KeyIdText(newKey.KeyId) +
                             ") is not the public half of --sign " + options_.SecretKeyPath + " (" +
                             KeyIdText(publicKey_.KeyId) + ")");
    if (!serverId)
      return Fail(error,
                  "--new-key: the server folder is not signed yet, so there is no key to "
                  "move from; publish with --sign alone");
    if (*serverId == publicKey_.KeyId && (!server.Recorded || SameKey(*server.Recorded, newKey)))
      return Fail(error,
                  "--new-key: " + KeyIdText(publicKey_.KeyId) + " is the server's key already");
    newKey_ = true;
    return true;
  }

  // A move to a new key reaches only installations whose updater takes it:
  // the one this release brings, and every one the catalogue offers now,
  // which installations took (or take) while the old key still signed.
  bool CheckNewKeyUpdaters(std::string* error) {
    if (!updaterPath_)
      return Fail(error, "--new-key needs the release's " + std::string(kUpdaterProgram) +
                             ", built with the old and the new key, to check that installations "
                             "take the new key");
    std::vector<OfferedUpdater> offered;
    if (!OfferedUpdaters(folder_, catalogue_, &offered, error)) return false;
    if (offered.empty())
      return Fail(error,
                  "--new-key: the catalogue offers no updater, so no installation has one "
                  "that takes the new key; publish a release whose " +
                      std::string(kUpdaterProgram) +
                      " carries the old and the new key with the old key first");
    for (const OfferedUpdater& updater : offered)
      if (std::none_of(updater.Keys.Keys.begin(), updater.Keys.Keys.end(),
                       [&](const MinisignPublicKey& key) { return SameKey(key, publicKey_); }))
        return Fail(error, "--new-key: the updater the catalogue offers (" + updater.PackageFile +
                               ") takes key " + KeyIdsText(updater.Keys.Keys) + ", not " +
                               KeyIdText(publicKey_.KeyId) +
                               ": installations that took it would refuse the server; first "
                               "publish, with the old key, a release whose " +
                               std::string(kUpdaterProgram) + " carries the old and the new key");
    return true;
  }

  // The keys the release's updater takes: the signing key, or none unsigned.
  bool CheckReleaseUpdater(std::string* error) {
    const bool signing = !options_.SecretKeyPath.empty();
    if (!updaterPath_) return !newKey_ || CheckNewKeyUpdaters(error);
    BuiltInKeys carried;
    if (!ReleaseUpdaterKeys(*updaterPath_, &carried, error)) return false;
    if (!signing && !carried.Keys.empty())
      return Fail(error, "the release's " + std::string(kUpdaterProgram) + " takes only files " +
                             "signed by key " + KeyIdsText(carried.Keys) +
                             ": publish with --sign and that key; unsigned, every installation "
                             "that takes this updater would refuse the server");
    if (signing &&
        std::none_of(carried.Keys.begin(), carried.Keys.end(),
                     [&](const MinisignPublicKey& key) { return SameKey(key, publicKey_); }))
      return Fail(error,
                  "the release's " + std::string(kUpdaterProgram) + " does not carry this key (" +
                      KeyIdText(publicKey_.KeyId) + "): " +
                      (carried.Keys.empty()
                           ? "it was built without -DUPDATER_PUBLIC_KEY, and installations that "
                             "take it would stop checking signatures"
                           : "it takes key " + KeyIdsText(carried.Keys) +
                                 ", and installations that take it would refuse this server") +
                      "; build it with -DUPDATER_PUBLIC_KEY=" + PublicKeyLine(publicKey_));
    return !newKey_ || CheckNewKeyUpdaters(error);
  }

  bool CheckServerList(std::string* error) {
    std::error_code code;
    if (!options_.Servers.empty()) {
      serverList_.emplace();
      return ServerListText(options_.Servers, &*serverList_, error);
    }
    if (!fs::exists(fs::u8path(folder_ + kServerListFile), code))
      return Fail(error, "the server folder has no " + std::string(kServerListFile) +
                             ", which every installation asks for first: give this server's "
                             "URL and its mirrors' with --servers URL...");
    return true;
  }

  bool DividePackages(std::string* error) {
    std::vector<EntryInput> entries;
    std::vector<std::vector<int64_t>> sizes;
    for (const auto& [name, path] : releaseFiles_) {
      std::error_code code;
      const uintmax_t size = fs::file_size(fs::u8path(path), code);
      if (code) return Fail(error, "cannot read " + path + ": " + code.message());
      entries.push_back({name, 0, options_.Method, {{0, path, ""}}});
      sizes.push_back({static_cast<int64_t>(size)});
    }
    packages_ = DivideIntoPackages(entries, sizes, options_.LargestPackage, error);
    return !packages_.empty();
  }

  PackageOptions PackingOptions(int64_t* done, int64_t total) const {
    PackageOptions packing;
    packing.Encode.ZlibLevel = options_.ZlibLevel;
    packing.StoreWhatDoesNotCompress = true;
    const int64_t before = *done;
    const auto& progress = options_.Progress;
    packing.Progress = [done, before, total, &progress](int64_t bytes, int64_t) {
      *done = before + bytes;
      if (progress) progress(*done, total);
    };
    return packing;
  }

  bool Write(std::string* error) {
    const bool signing = !options_.SecretKeyPath.empty();
    timestamp_ = options_.Timestamp != 0 ? options_.Timestamp : Now();
    if (options_.ExpiresDays > 0)
      expires_ = timestamp_ + static_cast<uint64_t>(options_.ExpiresDays) * 86400;
    int64_t total = 0, done = 0;
    for (const auto& package : packages_)
      for (const EntryInput& entry : package) total += FileSize(entry.Variants[0].FilePath);
    if (updaterVersion_) total += FileSize(*updaterPath_);

    // Packages first, then the files that name them, the catalogue last: a
    // server read meanwhile never names a package that is not there.
    std::vector<std::string> names;
    for (size_t part = 0; part < packages_.size(); ++part) {
      const std::string name =
          ReleasePackageName(version_, sinceVersion_, part + 1, packages_.size());
      if (!WritePackage(change_.Add(name), packages_[part], PackingOptions(&done, total), error) ||
          (signing && !Sign(name, error)))
        return false;
      names.push_back(name);
    }
    // The full lines come last among the version's lines: an updater that
    // takes every line of a version as one transaction lets the later
    // package's entry win, so there the full packages replace every patch.
    std::vector<std::string> lines, facts;
    if (!WriteReleaseDeltas(names, &lines, &facts, error)) return false;
    // Packages of the files changed since a release apply over that release.
    const std::optional<int64_t> from =
        sinceVersion_ > 0 ? std::optional<int64_t>(sinceVersion_) : std::nullopt;
    for (const std::string& name : names) {
      lines.push_back(name);
      facts.emplace_back();
      if (!PackageFactFields(folder_ + name + kPendingSuffix, from, &facts.back(), error))
        return false;
    }
    if (options_.RolloutDays > 0) {
      // The rollout comes last among a line's facts, as FactFields orders them.
      PackageFacts staged;
      staged.Rollout = RolloutState::Staged;
      staged.RolloutStart = static_cast<int64_t>(timestamp_);
      staged.RolloutDays = options_.RolloutDays;
      for (std::string& fields : facts) fields += " " + FactFields(staged);
    }
    std::string newCatalogue = CatalogueWithMainLines(catalogue_, lines, version_, facts);
    if (updaterVersion_) {
      const std::string name = "Updater-" + VersionText(*updaterVersion_) + ".mxu";
      // The updater's own package is applied by the updater being replaced,
      // which may not know the newer methods: it keeps to those all updaters read.
      const PackageCodec* codec = options_.Method ? FindCodec(*options_.Method) : nullptr;
      EntryInput updater;
      updater.Name = kUpdaterProgram;
      updater.DataMethod = codec && !codec->ReadByEveryUpdater ? kBestMethod : options_.Method;
      updater.Variants.push_back({0, *updaterPath_, ""});
      std::string updaterFacts;
      if (!WritePackage(change_.Add(name), {updater}, PackingOptions(&done, total), error) ||
          !PackageFactFields(folder_ + name + kPendingSuffix, std::nullopt, &updaterFacts, error) ||
          (signing && !Sign(name, error)))
        return false;
      newCatalogue = CatalogueWithUpdaterLine(newCatalogue, name, *updaterVersion_, updaterFacts);
    }
    const bool deltas = lines.size() > names.size();
    const std::vector<std::string> all = CatalogueLines(newCatalogue);
    if (deltas && std::none_of(all.begin(), all.end(), [](const std::string& line) {
          return IsUpdaterEntry(EntryOf(line));
        }))
      out_ << "warning: the catalogue offers deltas but no updater: an updater that does not "
              "know patch and remove entries stops part-way through a delta; publish an "
              "Updater.exe that reads deltas with the release, so that installations take it "
              "first\n";
    if (signing && !SignNamedPackages(newCatalogue, error)) return false;
    if (newKey_ && !SignAnewWithTheNewKey(error)) return false;
    // The record of the server's key, signed like every file of the folder.
    if (signing && (!recorded_ || newKey_) &&
        !AddFile(kPublisherKeyFile,
                 "untrusted comment: minisign public key " + KeyIdText(publicKey_.KeyId) + "\n" +
                     PublicKeyLine(publicKey_) + "\n",
                 error))
      return false;
    std::error_code code;
    if (serverList_ && !AddFile(kServerListFile, *serverList_, error)) return false;
    if (!serverList_ && signing && !SignWhenNeeded(kServerListFile, error)) return false;
    if (!fs::exists(fs::u8path(folder_ + kStateFile), code)) {
      if (!AddFile(kStateFile, kStateOk, error)) return false;
    } else if (signing && !SignWhenNeeded(kStateFile, error)) {
      return false;
    }
    if (!AddFile(kCatalogueFile, newCatalogue, error) || !change_.Commit(error)) return false;
    for (const std::string& name : change_.Names()) out_ << "wrote " << folder_ << name << "\n";
    return true;
  }

  // Writes and signs the deltas of the release (whose full packages are
  // `names`, pending) from the server's last full releases, and adds their
  // package names and facts to `lines` and `facts`. The updater's own
  // package and a package of the files changed since a release get none.
  bool WriteReleaseDeltas(const std::vector<std::string>& names, std::vector<std::string>* lines,
                          std::vector<std::string>* facts, std::string* error) {
    if (options_.Deltas <= 0 || sinceVersion_ > 0) return true;
    DeltaRequest request;
    request.ServerFolder = folder_;
    request.Catalogue = catalogue_;
    request.Version = version_;
    request.Count = options_.Deltas;
    request.ReleaseFiles = &releaseFiles_;
    for (const std::string& name : names)
      request.FullPackages.push_back(folder_ + name + kPendingSuffix);
    request.Method = options_.Method;
    request.Packing.Encode.ZlibLevel = options_.ZlibLevel;
    request.Packing.StoreWhatDoesNotCompress = true;
    request.LargestPackage = options_.LargestPackage;
    request.Packing.Progress = options_.Progress;
    request.Starting = [this](int64_t from) {
      out_ << "making the delta from " << VersionText(from) << "\n";
    };
    std::vector<WrittenDelta> deltas;
    if (!WriteDeltas(
            request, [this](const std::string& name) { return change_.Add(name); }, &deltas, error))
      return false;
    for (const WrittenDelta& delta : deltas) {
      lines->push_back(delta.Name);
      facts->emplace_back();
      if (!PackageFactFields(folder_ + delta.Name + kPendingSuffix, delta.From, &facts->back(),
                             error) ||
          (!options_.SecretKeyPath.empty() && !Sign(delta.Name, error)))
        return false;
    }
    return true;
  }

  int64_t FileSize(const std::string& path) const {
    std::error_code code;
    const uintmax_t size = fs::file_size(fs::u8path(path), code);
    return code ? 0 : static_cast<int64_t>(size);
  }

  // Adds a server file with `content`, and its signature when signing: the
  // file first, then its signature, back to back. The updater asks for a file
  // before its signature, so a reader sees a file and a signature that do
  // not belong together only when both its requests fall between the two
  // renames.
  bool AddFile(const std::string& name, std::string_view content, std::string* error) {
    return change_.AddText(name, content, error) &&
           (options_.SecretKeyPath.empty() || Sign(name, error));
  }

  // Signs the pending file of `name`, checks the signature with the public
  // key against the file as written, and adds it.
  bool Sign(const std::string& name, std::string* error) {
    return SignAt(folder_ + name + kPendingSuffix, name, error);
  }

  // The three files every run reads expire; packages, named by them, do not.
  SigningTime TimeFor(const std::string& name) const {
    const bool serverFile = name == kCatalogueFile || name == kStateFile || name == kServerListFile;
    return {timestamp_, serverFile ? expires_ : 0};
  }

  bool SignAt(const std::string& path, const std::string& name, std::string* error) {
    std::string signature, why;
    SignedFileInfo info;
    if (!SignFile(files_, path, secretKey_, name, TimeFor(name), &signature, error)) return false;
    if (!VerifyFileSignature(files_, path, signature, publicKey_, name, &info, &why))
      return Fail(error, "the signature of " + name + " does not check: " + why);
    return change_.AddText(name + kSignatureSuffix, signature, error);
  }

  // Signs a file that stays as it is when its signature is missing, does not
  // match it (changed by hand since) or is not by the signing key, or gives
  // another end than this publish's.
  bool SignWhenNeeded(const std::string& name, std::string* error) {
    const std::string path = folder_ + name;
    std::error_code code;
    if (!fs::exists(fs::u8path(path), code)) return true;
    std::string signature = Slurp(fs::u8path(path + kSignatureSuffix)), why;
    SignedFileInfo info;
    if (VerifyFileSignature(files_, path, signature, publicKey_, name, &info, &why) &&
        info.Expires == TimeFor(name).Expires)
      return true;
    return SignAt(path, name, error);
  }

  // On a move to a new key: every other file of the folder with a signature
  // gets one by the new key, so that the folder is of one key again and an
  // updater that carries only the new key takes every package.
  bool SignAnewWithTheNewKey(std::string* error) {
    std::vector<FolderEntry> entries;
    std::string cause;
    if (!files_.ListFolder(folder_, std::string("*") + kSignatureSuffix, &entries, &cause))
      return Fail(error, "cannot list " + folder_ + ": " + cause);
    std::set<std::string> handled(change_.Names().begin(), change_.Names().end());
    for (const char* own : {kPublisherKeyFile, kServerListFile, kStateFile, kCatalogueFile})
      handled.insert(own);
    for (const FolderEntry& entry : entries) {
      const std::string name =
          entry.Name.substr(0, entry.Name.size() - (sizeof kSignatureSuffix - 1));
      if (entry.IsFolder || handled.count(name + kSignatureSuffix) || handled.count(name)) continue;
      if (!SignWhenNeeded(name, error)) return false;
    }
    return true;
  }

  // Signs the packages that the catalogue names and this publish does not
  // write, when they have no signature (a server signed for the first time).
  // A signature there is by the server's key, which CheckServerKey saw to.
  bool SignNamedPackages(const std::string& catalogue, std::string* error) {
    std::set<std::string> written(change_.Names().begin(), change_.Names().end());
    for (const std::string& line : CatalogueLines(catalogue)) {
      const UpdateEntry entry = EntryOf(line);
      if (!IsMainProgramEntry(entry) && !IsUpdaterEntry(entry)) continue;
      if (written.count(entry.PackageFile) || !IsPlainFileName(entry.PackageFile)) continue;
      written.insert(entry.PackageFile);
      const std::string path = folder_ + entry.PackageFile;
      std::error_code code;
      if (!fs::exists(fs::u8path(path), code)) {
        out_ << "warning: the catalogue names " << entry.PackageFile
             << ", which the server folder does not have\n";
        continue;
      }
      if (fs::exists(fs::u8path(path + kSignatureSuffix), code)) continue;
      if (!SignAt(path, entry.PackageFile, error)) return false;
    }
    return true;
  }

  const PublishOptions& options_;
  std::ostream& out_;
  FileSystem& files_;
  const std::string folder_;  // the server folder, ending with "/"
  FolderChange change_;

  std::map<std::string, std::string> releaseFiles_;  // entry name -> path, to pack
  int64_t version_ = 0;
  int64_t sinceVersion_ = 0;
  std::string catalogue_;
  std::optional<std::string> updaterPath_;
  std::optional<int64_t> updaterVersion_;
  bool recorded_ = false;
  MinisignSecretKey secretKey_;
  MinisignPublicKey publicKey_;
  std::optional<std::string> serverList_;
  std::vector<std::vector<EntryInput>> packages_;
  uint64_t timestamp_ = 0;
  uint64_t expires_ = 0;  // of the server files' signatures; 0: none
  bool newKey_ = false;   // the signing key takes the server over
};

}  // namespace

std::string ReleasePackageName(int64_t version, int64_t sinceVersion, size_t part, size_t parts) {
  std::string name = "VOXA-" + VersionText(version);
  if (sinceVersion > 0) name += "-since-" + VersionText(sinceVersion);
  if (parts > 1) name += "-" + std::to_string(part);
  return name + ".mxu";
}

std::string CatalogueWithMainLines(const std::string& catalogue,
                                   const std::vector<std::string>& packages, int64_t version,
                                   const std::vector<std::string>& facts) {
  std::vector<std::string> newLines;
  for (size_t i = 0; i < packages.size(); ++i)
    newLines.push_back("VOXA " + packages[i] + " " + std::to_string(version) +
                       (i < facts.size() && !facts[i].empty() ? " " + facts[i] : ""));
  std::vector<std::string> lines;
  bool placed = false;
  size_t afterLastMain = 0;
  for (const std::string& line : CatalogueLines(catalogue)) {
    UpdateEntry entry = EntryOf(line);
    if (IsMainProgramEntry(entry) && entry.Version == version) {
      if (!placed) lines.insert(lines.end(), newLines.begin(), newLines.end());
      placed = true;
      afterLastMain = lines.size();
      continue;
    }
    lines.push_back(line);
    if (IsMainProgramEntry(entry)) afterLastMain = lines.size();
  }
  if (!placed) {
    size_t at = afterLastMain > 0 ? afterLastMain : lines.size();
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), newLines.begin(), newLines.end());
  }
  return JoinLines(lines);
}

std::string CatalogueWithMainLine(const std::string& catalogue, const std::string& package,
                                  int64_t version) {
  return CatalogueWithMainLines(catalogue, {package}, version);
}

std::string CatalogueWithUpdaterLine(const std::string& catalogue, const std::string& package,
                                     int64_t version, const std::string& facts) {
  const std::string newLine =
      "updater " + package + " " + std::to_string(version) + (facts.empty() ? "" : " " + facts);
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

std::vector<std::vector<EntryInput>> DivideIntoPackages(
    const std::vector<EntryInput>& entries, const std::vector<std::vector<int64_t>>& sizes,
    int64_t largestPackage, std::string* error) {
  const int64_t limit =
      largestPackage > 0 ? std::min(largestPackage, kLargestPackage) : kLargestPackage;
  std::vector<std::vector<EntryInput>> packages(1);
  int64_t directory = 2, data = 0;  // the directory starts with its entry count
  for (size_t i = 0; i < entries.size(); ++i) {
    const int64_t record = DirectoryRecordSize(entries[i]);
    int64_t packed = 0;
    for (int64_t size : sizes[i]) packed += LargestPackedSize(entries[i].DataMethod, size);
    // The directory is stored at most at its own size, the best of its forms.
    auto fits = [&](int64_t directoryBytes, int64_t dataBytes) {
      return directoryBytes <= kLargestDirectory &&
             kPackageHeader + dataBytes + directoryBytes <= limit;
    };
    if (!fits(2 + record, packed)) {
      *error = "too large for a package (the format holds less than 2 GiB): " + entries[i].Name;
      return {};
    }
    if (packages.back().size() == kMostEntries || !fits(directory + record, data + packed)) {
      packages.emplace_back();
      directory = 2;
      data = 0;
    }
    packages.back().push_back(entries[i]);
    directory += record;
    data += packed;
  }
  if (packages.back().empty()) {
    *error = "no files to publish";
    return {};
  }
  return packages;
}

bool ServerListText(const std::vector<std::string>& servers, std::string* text,
                    std::string* error) {
  text->clear();
  for (const std::string& server : servers) {
    if (!IsServerURL(server))
      return Fail(error,
                  "not a server URL the updater takes (http:// or https://, a host, no "
                  "spaces or control characters): " +
                      server);
    *text += server + (server.back() == '/' ? "" : "/") + "\r\n";
  }
  const std::string refusal = ServerListRefusal(*text);
  if (!refusal.empty()) return Fail(error, "the updater would refuse the server list: " + refusal);
  return true;
}

bool Publish(const PublishOptions& options, std::ostream& out, std::string* error) {
  Publisher publisher(options, out);
  return publisher.Run(error);
}

}  // namespace updater::mxupack
