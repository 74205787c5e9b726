// Signed files: checks a file against its minisign signature and a public
// key, and signs files with a secret key (the publisher's side). A good
// signature names the file it was made for in its signed trusted comment, so
// a correctly signed file cannot stand in for another one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/minisign_format.h"
#include "system/file_system.h"

namespace updater {

// The reason for a file without a signature file: ReadSignatureFile gives
// it, and a caller that could not fetch the signature file uses it too.
inline constexpr std::string_view kNoSignatureFile = "no signature file";

// A legacy signature ("Ed", minisign -l) covers the file's bytes, which are
// held in memory until the check and handed to libgcrypt in one piece;
// libgcrypt takes at most this many, so legacy signatures of larger files
// are refused. The BLAKE2b form (minisign's default) has no limit.
inline constexpr uint64_t kMaxLegacySignedFileSize = 63 * 1024;

// What a good signature vouches for.
struct SignedFileInfo {
  uint64_t Timestamp = 0;  // when it was signed, seconds since 1970-01-01 UTC
  std::string FileName;    // the name it was signed for
  std::string TrustedComment;
  // From when on the signer calls the file stale (seconds since 1970-01-01
  // UTC); 0 when the signature gives no end.
  uint64_t Expires = 0;
};

// The keys a check takes; a signature names the one it was made with by its
// key id.
using PublicKeys = std::vector<MinisignPublicKey>;

// When a signature is made, and the end it gives the file (0: none). A time
// alone converts, for a signature without end.
struct SigningTime {
  SigningTime(uint64_t timestamp, uint64_t expires = 0) : Timestamp(timestamp), Expires(expires) {}
  uint64_t Timestamp;
  uint64_t Expires;
};

// Checks one file against its signature while the file's bytes go by, so
// that a download can be checked as it arrives. The BLAKE2b form needs no
// more memory than a hash state; the legacy form buffers the file (at most
// kMaxLegacySignedFileSize bytes).
//
// Every failure gives a short reason, for a line such as
// "Error: Bad signature of VersionInfo.txt: " + reason.
class SignatureVerifier {
 public:
  SignatureVerifier();
  ~SignatureVerifier();
  SignatureVerifier(const SignatureVerifier&) = delete;
  SignatureVerifier& operator=(const SignatureVerifier&) = delete;

  // Starts a check of the signature file text `signatureText` for the file
  // the caller knows as `expectedFileName`, against the one of `keys` whose
  // key id the signature names. False with a reason when the signature file
  // is malformed, was made with a key not among `keys`, or libgcrypt cannot
  // be set up; Update and Finish then fail with the same reason.
  bool Start(const PublicKeys& keys, std::string_view signatureText,
             std::string_view expectedFileName, std::string* reason);
  // The same against one key.
  bool Start(const MinisignPublicKey& key, std::string_view signatureText,
             std::string_view expectedFileName, std::string* reason);
  // Feeds the next bytes of the file. False with a reason once the check has
  // failed (a legacy signature of a file over kMaxLegacySignedFileSize).
  bool Update(const void* data, size_t size, std::string* reason);
  // After the file's last bytes: true when the signature covers exactly
  // these bytes, the trusted comment's signature is good and the comment
  // names `expectedFileName` (compared byte for byte). `info` then holds the
  // comment's fields. Ends the check; Start begins another.
  bool Finish(SignedFileInfo* info, std::string* reason);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Checks the bytes of a file held in memory. As SignatureVerifier.
bool VerifySignature(const PublicKeys& keys, std::string_view signatureText,
                     std::string_view expectedFileName, std::string_view fileBytes,
                     SignedFileInfo* info, std::string* reason);
bool VerifySignature(const MinisignPublicKey& key, std::string_view signatureText,
                     std::string_view expectedFileName, std::string_view fileBytes,
                     SignedFileInfo* info, std::string* reason);

// Checks the file at `path`, read through `files` in 1 MiB chunks. As
// SignatureVerifier; a file that cannot be opened or read fails with a
// reason saying so.
bool VerifyFileSignature(FileSystem& files, const std::string& path, std::string_view signatureText,
                         const PublicKeys& keys, std::string_view expectedFileName,
                         SignedFileInfo* info, std::string* reason);
bool VerifyFileSignature(FileSystem& files, const std::string& path, std::string_view signatureText,
                         const MinisignPublicKey& key, std::string_view expectedFileName,
                         SignedFileInfo* info, std::string* reason);

// The refusal of a file whose good signature `info` gives an end that has
// come at `now` (seconds since 1970-01-01 UTC): "expired on YYYY-MM-DD", the
// UTC day of the end. Empty while the end is still to come, and for a
// signature without end. A file is stale from the second its end names on.
std::string ExpiryRefusal(const SignedFileInfo& info, uint64_t now);

// The UTC day of `seconds` since 1970-01-01, as "YYYY-MM-DD".
std::string UtcDateText(uint64_t seconds);

// Reads a signature file of at most kMaxSignatureFileSize bytes. False with
// kNoSignatureFile when it cannot be opened, and with another reason when it
// cannot be read or is longer.
bool ReadSignatureFile(FileSystem& files, const std::string& path, std::string* text,
                       std::string* reason);

// Reads an unencrypted secret key file (minisign -G -W) and checks its
// checksum; an all-zero checksum, as minisign 0.11 writes for such keys,
// is not checked. False with a reason otherwise; an encrypted key's reason
// tells how to get an unencrypted one.
bool LoadSecretKey(std::string_view text, MinisignSecretKey* key, std::string* error);

// Signs file content for the file name `fileName` at `time` (seconds since
// 1970-01-01 UTC) and gives the text of its signature file: the BLAKE2b form
// with the trusted comment "timestamp:N<TAB>file:NAME<TAB>hashed", as
// `minisign -S` writes it and `minisign -V` accepts it, and
// "<TAB>expires:N" after it when the time gives an end. Each signature is
// checked against the key's public half before it is given out. False with a
// reason when the name is empty, longer than 4096 bytes or holds a tab or
// line end, the key's halves do not belong together, or the library fails.
bool SignBytes(const MinisignSecretKey& key, std::string_view bytes, std::string_view fileName,
               const SigningTime& time, std::string* signatureText, std::string* error);
// The same for the file at `path`, read through `files` in 1 MiB chunks.
bool SignFile(FileSystem& files, const std::string& path, const MinisignSecretKey& key,
              std::string_view fileName, const SigningTime& time, std::string* signatureText,
              std::string* error);

}  // namespace updater
