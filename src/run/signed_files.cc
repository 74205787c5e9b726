// Signed updates: fetching and checking the signatures of what the updater
// acts on, and the rule against an older catalogue.
#include "run/signed_files.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "run/console_io.h"
#include "run/run_log.h"
#include "run/server_requests.h"
#include "transfer/http_error_text.h"
#include "transfer/http_get.h"

namespace updater {

namespace {

bool BadSignature(Program& program, std::string_view name, std::string_view reason) {
  PrintLine(program, "Error: Bad signature of " + std::string(name) + ": " + std::string(reason));
  return false;
}

// Fetches the signature file of `url` into `text`. False with a reason when
// there is none or it cannot be fetched.
bool FetchSignature(Program& program, const std::string& url, std::string* text,
                    std::string* reason) {
  HTTPGetRequest request;
  request.URL = url + kSignatureSuffix;
  request.Target = HTTPGetTarget::Memory;
  request.Agent = kUpdaterAgent;
  request.TotalTimeLimitMilliseconds = kServerFileTimeLimitMilliseconds;
  // A signature file is small; a server that sends more is not sending one.
  request.OnProgress = [](HTTPGetRequest&, int32_t received, int32_t, int32_t) {
    return received <= static_cast<int32_t>(kMaxSignatureFileSize) ? 1 : 0;
  };
  HTTPGetResult result = HTTPGetFromWeb(program.Os, request, program.Output);
  if (result != HTTPGetResult::Ok) {
    *reason =
        result == HTTPGetResult::ErrStatus && request.StatusCode == 404
            ? std::string(kNoSignatureFile)
            : "the signature file cannot be fetched (" + HTTPGetErrorText(result, request) + ")";
    if (!request.FailureCause.empty()) program.Log.Write(request.FailureCause);
    return false;
  }
  if (request.Memory)
    text->assign(reinterpret_cast<const char*>(request.Memory->data()),
                 static_cast<size_t>(request.ReceivedBytes));
  return true;
}

void LogGoodSignature(Program& program, std::string_view name, const SignedFileInfo& info) {
  program.Log.Write("Good signature of " + std::string(name) + ", signed " +
                    LogTimeText(static_cast<int64_t>(info.Timestamp) * 1000));
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
  std::unique_ptr<File> file = files.OpenStateFile(path, false);
  if (!file) {
    *cause = files.LastError();
    return !files.Exists(path);
  }
  // Read with a bound of its own, whatever size the file claims.
  char text[kLargestTimeFile + 1];
  int64_t count = 0;
  for (int64_t got = 1; got > 0 && count <= kLargestTimeFile; count += got) {
    got = file->Read(text + count, kLargestTimeFile + 1 - count);
    if (got < 0) {
      *cause = files.LastError();
      return false;
    }
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
bool CheckSignedTime(Program& program, const KeptTime& rule, uint64_t timestamp, uint64_t* kept) {
  std::string cause;
  if (!ReadKeptTime(program.Os.Files, program.UpdateFolder() + rule.TimeFile, kept, &cause)) {
    program.Output.Failure("Error: Cannot read Update\\" + std::string(rule.TimeFile), cause);
    return false;
  }
  if (timestamp < *kept) {
    PrintLine(program, "Error: Refused " + std::string(rule.File) + ": signed " +
                           SignedTimeText(timestamp) + ", before " + rule.Earlier +
                           " accepted earlier (signed " + SignedTimeText(*kept) + ").");
    return false;
  }
  return true;
}

// Keeps `timestamp` for `rule`'s file when it is newer than `kept`.
void KeepSignedTime(Program& program, const KeptTime& rule, uint64_t timestamp, uint64_t kept) {
  if (timestamp > kept && program.Os.Files.IsFolder(program.UpdateFolder()) &&
      !WriteFileWhole(program.Os.Files, program.UpdateFolder() + rule.TimeFile,
                      std::to_string(timestamp)))
    program.Log.Write("Cannot keep the signing time of " + std::string(rule.File) + ": " +
                      program.Os.Files.LastError());
}

}  // namespace

bool RequiresSignatures(const Program& program) { return program.Key.has_value(); }

bool WriteFileWhole(FileSystem& files, const std::string& path, std::string_view bytes) {
  const std::string part = path + ".~part";
  std::unique_ptr<File> file = files.Create(part);
  bool written = file && file->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  written = file && file->Close() && written;
  if (written && files.Replace(part, path)) return true;
  files.Delete(part);
  return false;
}

bool LoadPublicKey(Program& program) {
  program.Key.reset();
  if (program.PublicKey.empty()) return true;
  MinisignPublicKey key;
  std::string error;
  if (!ParsePublicKey(program.PublicKey, &key, &error)) {
    program.Log.Write("The built-in public key cannot be read: " + error);
    return false;
  }
  program.Key = key;
  return true;
}

std::string SignedName(std::string_view requested) {
  size_t slash = requested.find_last_of('/');
  return std::string(slash == std::string_view::npos ? requested : requested.substr(slash + 1));
}

bool CheckSignedBytes(Program& program, const std::string& url, const std::string& name,
                      std::string_view bytes, SignedFileInfo* info) {
  std::string signature, reason;
  if (!FetchSignature(program, url, &signature, &reason))
    return BadSignature(program, name, reason);
  if (!VerifySignature(*program.Key, signature, name, bytes, info, &reason))
    return BadSignature(program, name, reason);
  LogGoodSignature(program, name, *info);
  return true;
}

bool CheckSignedDownload(Program& program, const std::string& url, const std::string& path,
                         const std::string& name) {
  FileSystem& files = program.Os.Files;
  const std::string signaturePath = path + kSignatureSuffix;
  std::string signature, reason;
  SignedFileInfo info;
  bool good = FetchSignature(program, url, &signature, &reason) &&
              VerifyFileSignature(files, path, signature, *program.Key, name, &info, &reason);
  if (good && !WriteFileWhole(files, signaturePath, signature)) {
    reason = "the signature file cannot be kept: " + files.LastError();
    good = false;
  }
  if (!good) {
    // Never opened: a package that fails its check goes at once.
    files.Delete(path);
    files.Delete(signaturePath);
    return BadSignature(program, name, reason);
  }
  LogGoodSignature(program, name, info);
  return true;
}

void CheckWaitingPackages(Program& program) {
  FileSystem& files = program.Os.Files;
  const std::string folder = program.UpdateFolder();
  std::vector<FolderEntry> packages;
  if (!files.ListFolder(folder, "*.mxu", &packages)) return;
  for (const FolderEntry& package : packages) {
    if (package.IsFolder) continue;
    const std::string path = folder + package.Name;
    std::string signature, reason;
    SignedFileInfo info;
    if (ReadSignatureFile(files, path + kSignatureSuffix, &signature, &reason) &&
        VerifyFileSignature(files, path, signature, *program.Key, package.Name, &info, &reason)) {
      LogGoodSignature(program, package.Name, info);
      continue;
    }
    files.Delete(path);
    files.Delete(path + kSignatureSuffix);
    BadSignature(program, package.Name, reason);
  }
}

void RemoveSignaturesOfAppliedPackages(Program& program) {
  FileSystem& files = program.Os.Files;
  const std::string folder = program.UpdateFolder();
  std::vector<FolderEntry> signatures;
  if (!files.ListFolder(folder, std::string("*.mxu") + kSignatureSuffix, &signatures)) return;
  for (const FolderEntry& signature : signatures) {
    const std::string package =
        signature.Name.substr(0, signature.Name.size() - (sizeof kSignatureSuffix - 1));
    if (!signature.IsFolder && !files.Exists(folder + package))
      files.Delete(folder + signature.Name);
  }
}

bool AcceptCatalogueTime(Program& program, uint64_t timestamp) {
  uint64_t kept = 0;
  if (!CheckSignedTime(program, kCatalogueTime, timestamp, &kept)) return false;
  KeepSignedTime(program, kCatalogueTime, timestamp, kept);
  return true;
}

bool CheckServerListTime(Program& program, uint64_t timestamp) {
  uint64_t kept = 0;
  return CheckSignedTime(program, kServerListTime, timestamp, &kept);
}

void KeepServerListTime(Program& program, uint64_t timestamp) {
  uint64_t kept = 0;
  std::string cause;
  // The time was read just before; one that cannot be read now is replaced.
  ReadKeptTime(program.Os.Files, program.UpdateFolder() + kServerListTimeFile, &kept, &cause);
  KeepSignedTime(program, kServerListTime, timestamp, kept);
}

}  // namespace updater
