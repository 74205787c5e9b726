// Signed updates: fetching and checking the signatures of what the updater
// acts on, and the rule against an older catalogue.
#include "run/signed_files.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "run/console_io.h"
#include "run/run_log.h"
#include "system/small_files.h"
#include "system/update_folder.h"
#include "transfer/http_error_text.h"
#include "transfer/http_get.h"

namespace updater {

namespace {

// Deletes a file that failed its signature check, when it is there; a
// failure is logged with its cause.
// Deletes a refused file when it is there; false, after logging the cause,
// when it stays.
bool DeleteRefused(RunServices& services, const std::string& path) {
  std::string cause;
  if (!services.Os.Files.Exists(path) || services.Os.Files.Delete(path, &cause)) return true;
  services.Log.Write("Cannot delete " + path + ": " + cause);
  return false;
}

bool BadSignature(RunServices& services, std::string_view name, std::string_view reason) {
  PrintLine(services, "Error: Bad signature of " + std::string(name) + ": " + std::string(reason));
  return false;
}

// Fetches the signature file of `url` into `text`. False with a reason when
// there is none or it cannot be fetched.
bool FetchSignature(RunServices& services, const std::string& url, std::string* text,
                    std::string* reason) {
  HTTPGetRequest request;
  request.URL = url + kSignatureSuffix;
  request.Target = HTTPGetTarget::Memory;
  request.Agent = kUpdaterAgent;
  request.Limits = services.Limits;
  request.TakeRoute(services.Route);
  request.TotalTimeLimitMilliseconds = services.Limits.ServerFileMilliseconds;
  // A signature file is small; a server that sends more is not sending one.
  request.OnProgress = [](HTTPGetRequest&, int64_t received, int64_t, int32_t) {
    return received <= static_cast<int64_t>(kMaxSignatureFileSize) ? 1 : 0;
  };
  HTTPGetResult result = HTTPGetFromWeb(services.Os, request, services.Output);
  if (result != HTTPGetResult::Ok) {
    *reason =
        result == HTTPGetResult::ErrStatus && request.StatusCode == 404
            ? std::string(kNoSignatureFile)
            : "the signature file cannot be fetched (" + HTTPGetErrorText(result, request) + ")";
    if (!request.FailureCause.empty()) services.Log.Write(request.FailureCause);
    return false;
  }
  if (request.Memory)
    text->assign(reinterpret_cast<const char*>(request.Memory->data()),
                 static_cast<size_t>(request.ReceivedBytes));
  return true;
}

void LogGoodSignature(RunServices& services, std::string_view name, const SignedFileInfo& info) {
  services.Log.Write("Good signature of " + std::string(name) + ", signed " +
                     LogTimeText(static_cast<int64_t>(info.Timestamp) * 1000) +
                     (info.Expires != 0
                          ? ", expires " + LogTimeText(static_cast<int64_t>(info.Expires) * 1000)
                          : std::string()));
}

// A kept signing time is a decimal number of at most 20 digits; a file
// larger than this holds no such time.
constexpr int64_t kLargestTimeFile = 32;

// One signed file whose signing time may not go back, and where its newest
// accepted time is kept.
struct KeptTime {
  const char* File;      // the file's name, as the lines give it
  const char* TimeFile;  // in the update folder
  const char* Earlier;   // what was accepted earlier, for the refusal line
};
constexpr KeptTime kCatalogueTime{"VersionInfo.txt", kCatalogueTimeFile, "the catalogue"};
constexpr KeptTime kServerListTime{"UpdateServer.lst", kServerListTimeFile, "the list"};

// The time kept in `path` into `*time`, 0 when no file is there. False with
// the reason in `*cause` when something is there that holds no time.
bool ReadKeptTime(FileSystem& files, const std::string& path, uint64_t* time, std::string* cause) {
  *time = 0;
  if (files.IsFolder(path)) {
    *cause = path + " is a folder";
    return false;
  }
  std::unique_ptr<File> file = files.OpenStateFile(path, false, cause);
  if (!file) return !files.Exists(path);
  // Read with a bound of its own, whatever size the file claims.
  char text[kLargestTimeFile + 1];
  int64_t count = 0;
  for (int64_t got = 1; got > 0 && count <= kLargestTimeFile; count += got) {
    got = file->Read(text + count, kLargestTimeFile + 1 - count, cause);
    if (got < 0) return false;
  }
  if (count > kLargestTimeFile) {
    *cause = path + " holds more than " + std::to_string(kLargestTimeFile) + " bytes";
    return false;
  }
  std::string_view digits(text, static_cast<size_t>(count));
  while (!digits.empty() && (digits.back() == '\n' || digits.back() == '\r'))
    digits.remove_suffix(1);
  uint64_t value = 0;
  bool number = !digits.empty() && digits.size() <= 20;
  for (char c : digits) {
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (c < '0' || c > '9' || value > (UINT64_MAX - digit) / 10) number = false;
    if (!number) break;
    value = value * 10 + digit;
  }
  if (!number) {
    std::string shown(text, static_cast<size_t>(count));
    for (char& c : shown)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    *cause = path + " holds no signing time: \"" + shown + "\"";
    return false;
  }
  *time = value;
  return true;
}

std::string SignedTimeText(uint64_t timestamp) {
  std::string text = LogTimeText(static_cast<int64_t>(timestamp) * 1000);
  return text.substr(0, 10) + " " + text.substr(11, 8) + " UTC";
}

// The rule against rollback for `rule`'s file signed at `timestamp`: false
// after its line when it is older than the time kept or that time cannot be
// read. `*kept` gets the time kept.
bool CheckSignedTime(RunServices& services, const KeptTime& rule, uint64_t timestamp,
                     uint64_t* kept) {
  std::string cause;
  if (!ReadKeptTime(services.Os.Files, services.UpdateFolder() + rule.TimeFile, kept, &cause)) {
    services.Output.Failure("Error: Cannot read " + InUpdateFolder(rule.TimeFile), cause);
    return false;
  }
  if (timestamp < *kept) {
    PrintLine(services, "Error: Refused " + std::string(rule.File) + ": signed " +
                            SignedTimeText(timestamp) + ", before " + rule.Earlier +
                            " accepted earlier (signed " + SignedTimeText(*kept) + ").");
    return false;
  }
  return true;
}

// Keeps `timestamp` for `rule`'s file when it is newer than `kept`.
void KeepSignedTime(RunServices& services, const KeptTime& rule, uint64_t timestamp,
                    uint64_t kept) {
  std::string cause;
  if (timestamp > kept && services.Os.Files.IsFolder(services.UpdateFolder()) &&
      !WriteFileWhole(services.Os.Files, services.UpdateFolder() + rule.TimeFile,
                      std::to_string(timestamp), &cause))
    services.Log.Write("Cannot keep the signing time of " + std::string(rule.File) + ": " + cause);
}

}  // namespace

bool RequiresSignatures(const RunServices& services) { return !services.Keys.empty(); }

bool LoadPublicKey(RunServices& services) {
  services.Keys.clear();
  std::vector<MinisignPublicKey> keys;
  for (const std::string& line : services.PublicKeyLines) {
    MinisignPublicKey key;
    std::string error;
    if (!ParsePublicKey(line, &key, &error)) {
      services.Log.Write("The built-in public key cannot be read: " + error);
      return false;
    }
    keys.push_back(key);
  }
  services.Keys = std::move(keys);
  return true;
}

std::string SignedName(std::string_view requested) {
  size_t slash = requested.find_last_of('/');
  return std::string(slash == std::string_view::npos ? requested : requested.substr(slash + 1));
}

bool CheckSignedBytes(RunServices& services, const std::string& url, const std::string& name,
                      std::string_view bytes, SignedFileInfo* info) {
  std::string signature, reason;
  if (!FetchSignature(services, url, &signature, &reason))
    return BadSignature(services, name, reason);
  if (!VerifySignature(services.Keys, signature, name, bytes, info, &reason))
    return BadSignature(services, name, reason);
  LogGoodSignature(services, name, *info);
  const int64_t now = services.Os.Clock.UnixMilliseconds() / 1000;
  const std::string stale = ExpiryRefusal(*info, now > 0 ? static_cast<uint64_t>(now) : 0);
  if (!stale.empty()) {
    PrintLine(services, "Error: Refused " + name + ": " + stale);
    return false;
  }
  return true;
}

bool CheckSignedDownload(RunServices& services, const std::string& url, const std::string& path,
                         const std::string& name) {
  FileSystem& files = services.Os.Files;
  const std::string signaturePath = path + kSignatureSuffix;
  std::string signature, reason;
  SignedFileInfo info;
  bool good = FetchSignature(services, url, &signature, &reason) &&
              VerifyFileSignature(files, path, signature, services.Keys, name, &info, &reason);
  std::string cause;
  if (good && !WriteFileWhole(files, signaturePath, signature, &cause)) {
    reason = "the signature file cannot be kept: " + cause;
    good = false;
  }
  if (!good) {
    // Never opened: a package that fails its check goes at once.
    DeleteRefused(services, path);
    DeleteRefused(services, signaturePath);
    return BadSignature(services, name, reason);
  }
  LogGoodSignature(services, name, info);
  return true;
}

bool CheckWaitingPackages(RunServices& services) {
  FileSystem& files = services.Os.Files;
  const std::string folder = services.UpdateFolder();
  if (!files.IsFolder(folder)) return true;  // nothing waits
  std::vector<FolderEntry> packages;
  std::string cause;
  if (!files.ListFolder(folder, kPackagePattern, &packages, &cause)) {
    services.Log.Write("Cannot list the update folder: " + cause);
    return false;
  }
  bool onlyGoodStay = true;
  for (const FolderEntry& package : packages) {
    if (package.IsFolder) continue;
    const std::string path = folder + package.Name;
    if (!files.Exists(path + kSignatureSuffix)) {
      // The signature is fetched right after its package: a package alone
      // is a download that a killed or cut run did not finish, not a forgery.
      if (!files.Delete(path, &cause)) {
        services.Log.Write("Cannot remove " + package.Name +
                           ", a download that did not finish: " + cause);
        onlyGoodStay = false;
        continue;
      }
      services.Log.Write("Removed " + package.Name +
                         ": no signature beside it, a download that did not finish");
      PrintLine(services, "Removed unfinished download: " + package.Name);
      continue;
    }
    std::string signature, reason;
    SignedFileInfo info;
    if (ReadSignatureFile(files, path + kSignatureSuffix, &signature, &reason) &&
        VerifyFileSignature(files, path, signature, services.Keys, package.Name, &info, &reason)) {
      LogGoodSignature(services, package.Name, info);
      continue;
    }
    if (!DeleteRefused(services, path)) onlyGoodStay = false;
    DeleteRefused(services, path + kSignatureSuffix);  // a signature alone is harmless
    BadSignature(services, package.Name, reason);
  }
  return onlyGoodStay;
}

void RemoveSignaturesOfAppliedPackages(RunServices& services) {
  FileSystem& files = services.Os.Files;
  const std::string folder = services.UpdateFolder();
  std::vector<FolderEntry> signatures;
  std::string cause;
  if (!files.ListFolder(folder, kPackageSignaturePattern, &signatures, &cause)) {
    services.Log.Write("Cannot list the update folder: " + cause);
    return;
  }
  for (const FolderEntry& signature : signatures) {
    const std::string package =
        signature.Name.substr(0, signature.Name.size() - (sizeof kSignatureSuffix - 1));
    // A signature without its package is only a stray file; the next run
    // tries again.
    if (!signature.IsFolder && !files.Exists(folder + package) &&
        !files.Delete(folder + signature.Name, &cause))
      services.Log.Write("Cannot delete " + folder + signature.Name + ": " + cause);
  }
}

bool AcceptCatalogueTime(RunServices& services, uint64_t timestamp) {
  uint64_t kept = 0;
  if (!CheckSignedTime(services, kCatalogueTime, timestamp, &kept)) return false;
  KeepSignedTime(services, kCatalogueTime, timestamp, kept);
  return true;
}

bool CheckServerListTime(RunServices& services, uint64_t timestamp) {
  uint64_t kept = 0;
  return CheckSignedTime(services, kServerListTime, timestamp, &kept);
}

void KeepServerListTime(RunServices& services, uint64_t timestamp) {
  uint64_t kept = 0;
  std::string cause;
  // The time was read just before; one that cannot be read now is replaced.
  ReadKeptTime(services.Os.Files, services.UpdateFolder() + kServerListTimeFile, &kept, &cause);
  KeepSignedTime(services, kServerListTime, timestamp, kept);
}

}  // namespace updater
