// Signed updates: fetching and checking the signatures of what the updater
// acts on, and the rule against an older catalogue.
#include "run/signed_files.h"

#include <memory>
#include <vector>

#include "run/console_io.h"
#include "run/run_log.h"
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
  request.Target = HTTPGetTarget::TargetMemory;
  request.Agent = kUpdaterAgent;
  // A signature file is small; a server that sends more is not sending one.
  request.OnProgress = [](HTTPGetRequest&, int32_t received, int32_t, int32_t) {
    return received <= static_cast<int32_t>(kMaxSignatureFileSize) ? 1 : 0;
  };
  HTTPGetResult result = HTTPGetFromWeb(program.os, request, program.Output);
  if (result != HTTPGetResult::HTTPGetOK) {
    *reason =
        result == HTTPGetResult::HTTPGetErrStatus && request.StatusCode == 404
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
                    LogTimeText(static_cast<int64_t>(info.timestamp) * 1000));
}

std::string CatalogueTimePath(const Program& program) {
  return program.UpdateFolder() + kCatalogueTimeFile;
}

// The time kept for the newest accepted catalogue, 0 when none is kept.
uint64_t KeptCatalogueTime(Program& program) {
  std::unique_ptr<File> file = program.os.files.OpenStateFile(CatalogueTimePath(program), false);
  if (!file) return 0;
  char digits[32] = {};
  int64_t count = file->Read(digits, sizeof digits - 1);
  uint64_t value = 0;
  for (int64_t i = 0; i < count && digits[i] >= '0' && digits[i] <= '9'; ++i)
    value = value * 10 + static_cast<uint64_t>(digits[i] - '0');
  return value;
}

std::string SignedTimeText(uint64_t timestamp) {
  std::string text = LogTimeText(static_cast<int64_t>(timestamp) * 1000);
  return text.substr(0, 10) + " " + text.substr(11, 8) + " UTC";
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
  FileSystem& files = program.os.files;
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
  FileSystem& files = program.os.files;
  const std::string folder = program.UpdateFolder();
  std::vector<FolderEntry> packages;
  if (!files.ListFolder(folder, "*.mxu", &packages)) return;
  for (const FolderEntry& package : packages) {
    if (package.isFolder) continue;
    const std::string path = folder + package.name;
    std::string signature, reason;
    SignedFileInfo info;
    if (ReadSignatureFile(files, path + kSignatureSuffix, &signature, &reason) &&
        VerifyFileSignature(files, path, signature, *program.Key, package.name, &info, &reason)) {
      LogGoodSignature(program, package.name, info);
      continue;
    }
    files.Delete(path);
    files.Delete(path + kSignatureSuffix);
    BadSignature(program, package.name, reason);
  }
}

void RemoveSignaturesOfAppliedPackages(Program& program) {
  FileSystem& files = program.os.files;
  const std::string folder = program.UpdateFolder();
  std::vector<FolderEntry> signatures;
  if (!files.ListFolder(folder, std::string("*.mxu") + kSignatureSuffix, &signatures)) return;
  for (const FolderEntry& signature : signatures) {
    const std::string package =
        signature.name.substr(0, signature.name.size() - (sizeof kSignatureSuffix - 1));
    if (!signature.isFolder && !files.Exists(folder + package))
      files.Delete(folder + signature.name);
  }
}

bool AcceptCatalogueTime(Program& program, uint64_t timestamp) {
  const uint64_t kept = KeptCatalogueTime(program);
  if (timestamp < kept) {
    PrintLine(program, "Error: Refused VersionInfo.txt: signed " + SignedTimeText(timestamp) +
                           ", before the catalogue accepted earlier (signed " +
                           SignedTimeText(kept) + ").");
    return false;
  }
  if (timestamp > kept && program.os.files.IsFolder(program.UpdateFolder()) &&
      !WriteFileWhole(program.os.files, CatalogueTimePath(program), std::to_string(timestamp)))
    program.Log.Write("Cannot keep the catalogue's signing time: " + program.os.files.LastError());
  return true;
}

}  // namespace updater
