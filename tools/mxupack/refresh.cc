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

namespace {

// What re-signing files of a server folder needs: the folder (ending "/"),
// the key publisher.pub records, and the time of the new signatures.
struct Resigning {
  std::string Folder;
  MinisignSecretKey Key;
  MinisignPublicKey PublicKey;
  SigningTime Time{0};
};

// Finishes or undoes a publish that died in `serverFolder`, then loads the
// key and fixes the signing time (the clock's when `timestamp` is 0) with
// its end after `expiresDays` (0: none).
bool StartResigning(const std::string& serverFolder, const std::string& secretKeyPath,
                    int expiresDays, uint64_t timestamp, std::ostream& out, Resigning* resigning,
                    std::string* error) {
  std::error_code code;
  if (!fs::is_directory(fs::u8path(serverFolder), code))
    return Fail(error, "the server folder is not a folder: " + serverFolder);
  resigning->Folder = serverFolder + (serverFolder.back() != '/' ? "/" : "");
  if (!RepairFolder(RealPlatform().Files, resigning->Folder, out, error) ||
      !LoadKey(secretKeyPath, &resigning->Key, error) ||
      !CheckKey(resigning->Folder, resigning->Key, error))
    return false;
  resigning->PublicKey = PublicKeyOf(resigning->Key);
  const uint64_t now = timestamp != 0 ? timestamp : Now();
  resigning->Time = {now, expiresDays > 0 ? now + static_cast<uint64_t>(expiresDays) * 86400 : 0};
  return true;
}

// The new signature of the server file `name`, whose `bytes` carry a good
// signature by the key, for `newBytes` (the same bytes, or changed ones).
// Refused for a file this key did not sign as it is (`scope` says what the
// command signs), and for a signing time before the old one: installations
// that took the old file would refuse the new one. The new signature is
// checked before it is returned.
bool Resign(const Resigning& resigning, const std::string& name, const std::string& bytes,
            const std::string& newBytes, const std::string& scope, std::string* signature,
            std::string* error) {
  const std::string oldSignature = Slurp(fs::u8path(resigning.Folder + name + kSignatureSuffix));
  SignedFileInfo info;
  std::string why;
  if (!VerifySignature(resigning.PublicKey, oldSignature, name, bytes, &info, &why))
    return Fail(error, "the signature of " + name + " does not check (" + why + "): " + scope);
  if (resigning.Time.Timestamp < info.Timestamp)
    return Fail(error, "the clock is before the signing time of " + name + " (" +
                           std::to_string(info.Timestamp) +
                           "): installations that took it would refuse the new signature");
  if (!SignBytes(resigning.Key, newBytes, name, resigning.Time, signature, error)) return false;
  if (!VerifySignature(resigning.PublicKey, *signature, name, newBytes, &info, &why))
    return Fail(error, "the new signature of " + name + " does not check: " + why);
  return true;
}

// Whether the server folder holds `name` as a file.
bool HasFile(const Resigning& resigning, const std::string& name, std::string* error) {
  std::error_code code;
  if (fs::is_regular_file(fs::u8path(resigning.Folder + name), code)) return true;
  return Fail(error, "the server folder has no " + name);
}

}  // namespace

bool ChangeRollout(const RolloutOptions& options, std::ostream& out, std::string* error) {
  Resigning resigning;
  if (!StartResigning(options.ServerFolder, options.SecretKeyPath, options.ExpiresDays,
                      options.Timestamp, out, &resigning, error))
    return false;
  const std::string catalogue = "VersionInfo.txt";
  if (!HasFile(resigning, catalogue, error)) return false;
  const std::string bytes = Slurp(fs::u8path(resigning.Folder + catalogue));
  std::string changed, signature;
  if (!CatalogueWithRollout(bytes, options.Version, options.Halt, &changed, error) ||
      !Resign(resigning, catalogue, bytes, changed,
              "rollout changes only a catalogue this key signed", &signature, error))
    return false;
  // The catalogue, then its signature, as a publish renames them.
  FolderChange change(RealPlatform().Files, resigning.Folder);
  if (!change.AddText(catalogue, changed, error) ||
      !change.AddText(catalogue + kSignatureSuffix, signature, error) || !change.Commit(error))
    return false;
  for (const std::string& name : change.Names())
    out << "wrote " << resigning.Folder << name << "\n";
  return true;
}

bool Refresh(const RefreshOptions& options, std::ostream& out, std::string* error) {
  Resigning resigning;
  if (!StartResigning(options.ServerFolder, options.SecretKeyPath, options.ExpiresDays,
                      options.Timestamp, out, &resigning, error))
    return false;
  FolderChange change(RealPlatform().Files, resigning.Folder);
  for (const std::string name : kServerFiles) {
    if (!HasFile(resigning, name, error)) return false;
    // Read once: the bytes checked are the bytes signed.
    const std::string bytes = Slurp(fs::u8path(resigning.Folder + name));
    std::string signature;
    if (!Resign(resigning, name, bytes, bytes,
                "refresh signs only what this key signed, as it is; publish to sign a changed "
                "file",
                &signature, error) ||
        !change.AddText(name + kSignatureSuffix, signature, error))
      return false;
  }
  if (!change.Commit(error)) return false;
  for (const std::string& name : change.Names())
    out << "wrote " << resigning.Folder << name << "\n";
  return true;
}

}  // namespace updater::mxupack
