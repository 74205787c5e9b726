// mxupack refresh: new signatures for the three server files; mxupack
// rollout: a release's rollout halted or resumed in the signed catalogue.
#include "mxupack/refresh.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <vector>

#include "mxupack/publish.h"
#include "mxupack/publish_plan.h"
#include "protocol/catalogue.h"
#include "protocol/minisign_format.h"
#include "protocol/signature.h"
#include "system/platform.h"
#include "system/text.h"

namespace updater::mxupack {

namespace {

namespace fs = std::filesystem;

constexpr char kSignatureSuffix[] = ".minisig";
// The order of the renames: the catalogue's signature last, as in a publish.
constexpr const char* kServerFiles[] = {"UpdateServer.lst", "UpdateInfo.txt", "VersionInfo.txt"};

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t Now() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// The secret key at `path`.
bool LoadKey(const std::string& path, MinisignSecretKey* key, std::string* error) {
  std::error_code code;
  if (!fs::is_regular_file(fs::u8path(path), code)) return Fail(error, "no secret key at " + path);
  std::string why;
  if (!LoadSecretKey(Slurp(fs::u8path(path)), key, &why))
    return Fail(error, "cannot use the secret key " + path + ": " + why);
  return true;
}

// The server's recorded key, which must be the public half of `key`.
bool CheckKey(const std::string& folder, const MinisignSecretKey& key, std::string* error) {
  const fs::path recordPath = fs::u8path(folder + kPublisherKeyFile);
  std::error_code code;
  if (!fs::is_regular_file(recordPath, code))
    return Fail(error, "the server folder has no " + std::string(kPublisherKeyFile) +
                           ": refresh renews the signatures of a folder that a signed publish "
                           "made; publish with --sign first");
  MinisignPublicKey recorded;
  std::string why;
  if (!ParsePublicKey(Slurp(recordPath), &recorded, &why))
    return Fail(error, "cannot read the server's key " + recordPath.u8string() + ": " + why);
  const MinisignPublicKey given = PublicKeyOf(key);
  if (recorded.KeyId != given.KeyId || recorded.Key != given.Key)
    return Fail(error, "the server's key is " + KeyIdText(recorded.KeyId) + "; this key is " +
                           KeyIdText(given.KeyId));
  return true;
}

// Whether `text` is `lowerName` in any ASCII letter case.
bool IsName(const std::string& text, std::string_view lowerName) {
  return LowerCaseText(text) == lowerName;
}

// The key of a fact field ("rollout" of "Rollout=halted"), in lower case;
// empty for a field without "=".
std::string FactKey(const std::string& field) {
  const size_t equals = field.find('=');
  return equals == std::string::npos ? std::string() : LowerCaseText(field.substr(0, equals));
}

// The line with its rollout halted or resumed, or false with a message.
bool LineWithRollout(const std::string& line, bool halt, std::string* changed, std::string* error) {
  std::vector<std::string> fields;
  std::string rollout, resume;
  for (int64_t index = 1;; ++index) {
    const std::string field = GetField(line, index);
    if (field.empty()) break;
    const std::string key = index > 3 ? FactKey(field) : std::string();
    if (key == "rollout" || key == "resume") {
      (key == "rollout" ? rollout : resume) = field.substr(field.find('=') + 1);
      continue;
    }
    fields.push_back(field);
  }
  const bool halted = IsName(rollout, "halted");
  if (halt) {
    if (halted) return Fail(error, "the rollout is halted already: " + line);
    fields.push_back("rollout=halted");
    fields.push_back("resume=" + (rollout.empty() ? std::string("all") : rollout));
  } else {
    if (!halted || resume.empty()) return Fail(error, "no halted rollout to resume: " + line);
    if (!IsName(resume, "all")) fields.push_back("rollout=" + resume);
  }
  changed->clear();
  for (const std::string& field : fields) *changed += (changed->empty() ? "" : " ") + field;
  return true;
}

}  // namespace

bool CatalogueWithRollout(const std::string& catalogue, int64_t version, bool halt,
                          std::string* changed, std::string* error) {
  std::string text;
  bool found = false;
  size_t start = 0;
  while (start < catalogue.size()) {
    size_t end = catalogue.find('\n', start);
    end = end == std::string::npos ? catalogue.size() : end + 1;
    // The line without its end, which stays as it was.
    size_t content = end;
    if (content > start && catalogue[content - 1] == '\n') --content;
    if (content > start && catalogue[content - 1] == '\r') --content;
    const std::string line = catalogue.substr(start, content - start);
    if (IsName(GetField(line, 1), kMainProgramEntryName) &&
        ReadVersionField(GetField(line, 3)) == version) {
      std::string rewritten;
      if (!LineWithRollout(line, halt, &rewritten, error)) return false;
      text += rewritten + catalogue.substr(content, end - content);
      found = true;
    } else {
      text += catalogue.substr(start, end - start);
    }
    start = end;
  }
  if (!found) return Fail(error, "the catalogue has no VOXA line of this version");
  *changed = std::move(text);
  return true;
}

bool ChangeRollout(const RolloutOptions& options, std::ostream& out, std::string* error) {
  std::error_code code;
  if (!fs::is_directory(fs::u8path(options.ServerFolder), code))
    return Fail(error, "the server folder is not a folder: " + options.ServerFolder);
  const std::string folder = options.ServerFolder + (options.ServerFolder.back() != '/' ? "/" : "");
  FileSystem& files = RealPlatform().Files;
  if (!RepairFolder(files, folder, out, error)) return false;
  MinisignSecretKey key;
  if (!LoadKey(options.SecretKeyPath, &key, error) || !CheckKey(folder, key, error)) return false;
  const MinisignPublicKey publicKey = PublicKeyOf(key);

  constexpr char kCatalogue[] = "VersionInfo.txt";
  if (!fs::is_regular_file(fs::u8path(folder + kCatalogue), code))
    return Fail(error, "the server folder has no " + std::string(kCatalogue));
  const std::string bytes = Slurp(fs::u8path(folder + kCatalogue));
  SignedFileInfo info;
  std::string why;
  if (!VerifySignature(publicKey, Slurp(fs::u8path(folder + kCatalogue + kSignatureSuffix)),
                       kCatalogue, bytes, &info, &why))
    return Fail(error, "the signature of " + std::string(kCatalogue) + " does not check (" + why +
                           "): rollout changes only a catalogue this key signed");
  std::string changed;
  if (!CatalogueWithRollout(bytes, options.Version, options.Halt, &changed, error)) return false;
  const uint64_t timestamp = options.Timestamp != 0 ? options.Timestamp : Now();
  if (timestamp < info.Timestamp)
    return Fail(error, "the clock is before the signing time of " + std::string(kCatalogue) + " (" +
                           std::to_string(info.Timestamp) +
                           "): installations that took it would refuse the new one");
  const SigningTime time{
      timestamp,
      options.ExpiresDays > 0 ? timestamp + static_cast<uint64_t>(options.ExpiresDays) * 86400 : 0};
  std::string signature;
  if (!SignBytes(key, changed, kCatalogue, time, &signature, error)) return false;
  if (!VerifySignature(publicKey, signature, kCatalogue, changed, &info, &why))
    return Fail(error,
                "the new signature of " + std::string(kCatalogue) + " does not check: " + why);
  // The catalogue, then its signature, as a publish renames them.
  FolderChange change(files, folder);
  if (!change.AddText(kCatalogue, changed, error) ||
      !change.AddText(std::string(kCatalogue) + kSignatureSuffix, signature, error) ||
      !change.Commit(error))
    return false;
  for (const std::string& name : change.Names()) out << "wrote " << folder << name << "\n";
  return true;
}

bool Refresh(const RefreshOptions& options, std::ostream& out, std::string* error) {
  std::error_code code;
  if (!fs::is_directory(fs::u8path(options.ServerFolder), code))
    return Fail(error, "the server folder is not a folder: " + options.ServerFolder);
  const std::string folder = options.ServerFolder + (options.ServerFolder.back() != '/' ? "/" : "");
  FileSystem& files = RealPlatform().Files;
  if (!RepairFolder(files, folder, out, error)) return false;

  MinisignSecretKey key;
  if (!LoadKey(options.SecretKeyPath, &key, error) || !CheckKey(folder, key, error)) return false;
  std::string why;
  const MinisignPublicKey publicKey = PublicKeyOf(key);

  const uint64_t timestamp = options.Timestamp != 0 ? options.Timestamp : Now();
  const SigningTime time{
      timestamp,
      options.ExpiresDays > 0 ? timestamp + static_cast<uint64_t>(options.ExpiresDays) * 86400 : 0};
  FolderChange change(files, folder);
  for (const char* name : kServerFiles) {
    const fs::path path = fs::u8path(folder + name);
    if (!fs::is_regular_file(path, code))
      return Fail(error, "the server folder has no " + std::string(name));
    // Read once: the bytes checked are the bytes signed.
    const std::string bytes = Slurp(path);
    const std::string oldSignature = Slurp(fs::u8path(folder + name + kSignatureSuffix));
    SignedFileInfo info;
    if (!VerifySignature(publicKey, oldSignature, name, bytes, &info, &why))
      return Fail(error, "the signature of " + std::string(name) + " does not check (" + why +
                             "): refresh signs only what this key signed, as it is; publish to "
                             "sign a changed file");
    if (timestamp < info.Timestamp)
      return Fail(error, "the clock is before the signing time of " + std::string(name) + " (" +
                             std::to_string(info.Timestamp) +
                             "): installations that took it would refuse the new signature");
    std::string signature;
    if (!SignBytes(key, bytes, name, time, &signature, error)) return false;
    if (!VerifySignature(publicKey, signature, name, bytes, &info, &why))
      return Fail(error, "the new signature of " + std::string(name) + " does not check: " + why);
    if (!change.AddText(std::string(name) + kSignatureSuffix, signature, error)) return false;
  }
  if (!change.Commit(error)) return false;
  for (const std::string& name : change.Names()) out << "wrote " << folder << name << "\n";
  return true;
}

}  // namespace updater::mxupack
