// mxupack refresh: new signatures for the three server files.
#include "mxupack/refresh.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>

#include "mxupack/publish.h"
#include "mxupack/publish_plan.h"
#include "protocol/minisign_format.h"
#include "protocol/signature.h"
#include "system/platform.h"

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

}  // namespace

bool Refresh(const RefreshOptions& options, std::ostream& out, std::string* error) {
  std::error_code code;
  if (!fs::is_directory(fs::u8path(options.ServerFolder), code))
    return Fail(error, "the server folder is not a folder: " + options.ServerFolder);
  const std::string folder = options.ServerFolder + (options.ServerFolder.back() != '/' ? "/" : "");
  FileSystem& files = RealPlatform().Files;
  if (!RepairFolder(files, folder, out, error)) return false;

  const fs::path keyPath = fs::u8path(options.SecretKeyPath);
  if (!fs::is_regular_file(keyPath, code))
    return Fail(error, "no secret key at " + options.SecretKeyPath);
  MinisignSecretKey key;
  std::string why;
  if (!LoadSecretKey(Slurp(keyPath), &key, &why))
    return Fail(error, "cannot use the secret key " + options.SecretKeyPath + ": " + why);
  if (!CheckKey(folder, key, error)) return false;
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
