// Feeds arbitrary bytes to the signature file parser and to the signature
// check behind it, with the key of the seed signatures: a parsed file must
// write back to the same fields, and no changed file may pass the check.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/minisign_format.h"
#include "protocol/signature.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// The seed signatures in corpus/minisign_signature sign kSignedFile as
// "VersionInfo.txt" with this key, in both forms.
constexpr char kPublicKey[] = "RWTkrvhh0pAel0qJzjNi5rSoNqN5UuPOAn3HScV0ZCVOWT47Of2jiqh5";
constexpr char kSignedFile[] = "VOXA\t1.05\r\n";
constexpr char kOtherFile[] = "VOXA\t1.06\r\n";
constexpr char kSignedComments[][64] = {"timestamp:1796633747\tfile:VersionInfo.txt\thashed",
                                        "timestamp:1796633747\tfile:VersionInfo.txt"};

bool SameFields(const updater::MinisignSignature& a, const updater::MinisignSignature& b) {
  return a.UntrustedComment == b.UntrustedComment && a.SignedData == b.SignedData &&
         a.KeyId == b.KeyId && a.Signature == b.Signature && a.TrustedComment == b.TrustedComment &&
         a.GlobalSignature == b.GlobalSignature;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  updater::MinisignSignature signature;
  std::string error;
  if (updater::ParseSignatureFile(text, &signature, &error)) {
    Require(size <= updater::kMaxSignatureFileSize);
    Require(signature.TrustedComment.size() < size && signature.UntrustedComment.size() < size);
    updater::MinisignSignature again;
    const bool reparsed =
        updater::ParseSignatureFile(updater::SignatureFileText(signature), &again, &error);
    // Comments with a CR or LF inside cannot be written back as one line.
    if (signature.UntrustedComment.find_first_of("\r\n") == std::string::npos &&
        signature.TrustedComment.find_first_of("\r\n") == std::string::npos)
      Require(reparsed && SameFields(signature, again));
    updater::TrustedCommentFields fields;
    if (updater::ParseTrustedComment(signature.TrustedComment, &fields, &error)) {
      Require(!fields.FileName.empty() && fields.FileName.size() < size);
      updater::TrustedCommentFields written;
      Require(updater::ParseTrustedComment(updater::TrustedCommentText(fields), &written, &error));
      Require(written.Timestamp == fields.Timestamp && written.FileName == fields.FileName &&
              written.Hashed == fields.Hashed);
    }
  } else {
    Require(!error.empty());
  }

  updater::MinisignPublicKey key;
  Require(updater::ParsePublicKey(kPublicKey, &key, &error));
  updater::SignedFileInfo info;
  std::string reason;
  if (updater::VerifySignature(key, text, "VersionInfo.txt", kSignedFile, &info, &reason)) {
    // Only the untrusted comment and line ends may differ from a seed.
    Require(info.TrustedComment == kSignedComments[0] || info.TrustedComment == kSignedComments[1]);
    Require(info.FileName == "VersionInfo.txt");
  } else {
    Require(!reason.empty());
  }
  Require(!updater::VerifySignature(key, text, "VersionInfo.txt", kOtherFile, &info, &reason));
  return 0;
}
