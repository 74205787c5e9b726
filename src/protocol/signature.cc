// Checking and making minisign signatures.
#include "protocol/signature.h"

#include <algorithm>
#include <vector>

#include "protocol/crypto.h"

namespace updater {

namespace {

constexpr int64_t kChunkSize = 1 << 20;
static_assert(kMaxLegacySignedFileSize <= kMaxEd25519MessageSize);
// The comment signature covers the file signature and the trusted comment.
static_assert(64 + kMaxSignatureFileSize <= kMaxEd25519MessageSize);
// minisign's own untrusted comment, so that a signature file made here is
// the one minisign makes for the same key, file name and time.
constexpr std::string_view kUntrustedComment = "signature from minisign secret key";
// A file name long enough to push the signature file past what the parser
// reads is refused when signing.
constexpr size_t kMaxSignedFileNameSize = 4096;

// A signature or hash as the message bytes of an Ed25519 operation.
std::string_view Bytes(const std::array<uint8_t, 64>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// What the comment signature covers: the file signature, then the comment.
std::string GlobalMessage(const Ed25519Signature& signature, std::string_view trustedComment) {
  std::string message(Bytes(signature));
  message += trustedComment;
  return message;
}

// Makes the signature file for a BLAKE2b-512 hash.
bool SignDigest(const MinisignSecretKey& key, const Blake2b512::Digest& digest,
                std::string_view fileName, const SigningTime& time, std::string* signatureText,
                std::string* error) {
  if (fileName.empty() || fileName.size() > kMaxSignedFileNameSize ||
      fileName.find_first_of("\t\r\n") != std::string_view::npos) {
    *error = "the file name is empty, too long, or holds a tab or line end";
    return false;
  }
  MinisignSignature signature;
  signature.UntrustedComment = kUntrustedComment;
  signature.SignedData = SignedData::Blake2bHash;
  signature.KeyId = key.KeyId;
  signature.TrustedComment =
      TrustedCommentText({time.Timestamp, std::string(fileName), true, time.Expires});
  if (!Ed25519Sign(key.SecretKey, Bytes(digest), &signature.Signature, error) ||
      !Ed25519Sign(key.SecretKey, GlobalMessage(signature.Signature, signature.TrustedComment),
                   &signature.GlobalSignature, error))
    return false;
  // libgcrypt takes the public half as given; a key file whose halves do not
  // belong together would give signatures nobody can check.
  const MinisignPublicKey publicKey = PublicKeyOf(key);
  std::string checkError;
  if (Ed25519Verify(publicKey.Key, signature.Signature, Bytes(digest), &checkError) !=
          SignatureCheck::Good ||
      Ed25519Verify(publicKey.Key, signature.GlobalSignature,
                    GlobalMessage(signature.Signature, signature.TrustedComment),
                    &checkError) != SignatureCheck::Good) {
    *error = "the secret key does not match its own public key (a damaged key file)";
    if (!checkError.empty()) *error += ": " + checkError;
    return false;
  }
  *signatureText = SignatureFileText(signature);
  return true;
}

// How reading a whole file in chunks ended.
enum class FileRead { Done, CannotOpen, CannotRead, Refused };

// Hands the file at `path` to `consume` in chunks of kChunkSize, from start
// to end; stops early when `consume` returns false.
template <typename Consume>
FileRead ReadInChunks(FileSystem& files, const std::string& path, Consume consume) {
  // The outcome names what failed; the reasons given for it are fixed texts.
  std::unique_ptr<File> file = files.OpenRead(path, false, nullptr);
  if (!file) return FileRead::CannotOpen;
  std::vector<uint8_t> chunk(kChunkSize);
  while (true) {
    const int64_t count = file->Read(chunk.data(), kChunkSize, nullptr);
    if (count < 0) return FileRead::CannotRead;
    if (count == 0) return FileRead::Done;
    if (!consume(chunk.data(), static_cast<size_t>(count))) return FileRead::Refused;
  }
}

}  // namespace

struct SignatureVerifier::State {
  std::string Failure;  // set once the check has failed
  MinisignPublicKey Key;
  MinisignSignature Signature;
  std::string ExpectedFileName;
  Blake2b512 Hash;        // the BLAKE2b form
  std::string FileBytes;  // the legacy form
};

SignatureVerifier::SignatureVerifier() = default;
SignatureVerifier::~SignatureVerifier() = default;

bool SignatureVerifier::Start(const MinisignPublicKey& key, std::string_view signatureText,
                              std::string_view expectedFileName, std::string* reason) {
  return Start(PublicKeys{key}, signatureText, expectedFileName, reason);
}

bool SignatureVerifier::Start(const PublicKeys& keys, std::string_view signatureText,
                              std::string_view expectedFileName, std::string* reason) {
  state_ = std::make_unique<State>();
  State& state = *state_;
  state.ExpectedFileName = expectedFileName;
  std::string error;
  if (!ParseSignatureFile(signatureText, &state.Signature, &error)) {
    state.Failure = "malformed signature file (" + error + ")";
  } else {
    const auto key = std::find_if(keys.begin(), keys.end(), [&](const MinisignPublicKey& each) {
      return each.KeyId == state.Signature.KeyId;
    });
    if (key == keys.end()) {
      state.Failure = "signed by another key (" + KeyIdText(state.Signature.KeyId) + ")";
    } else {
      state.Key = *key;
      if (!state.Hash.Ready(&error)) state.Failure = "cannot check signatures (" + error + ")";
    }
  }
  if (!state.Failure.empty()) *reason = state.Failure;
  return state.Failure.empty();
}

bool SignatureVerifier::Update(const void* data, size_t size, std::string* reason) {
  if (!state_) {
    *reason = "no signature check was started";
    return false;
  }
  State& state = *state_;
  if (state.Failure.empty()) {
    if (state.Signature.SignedData == SignedData::Blake2bHash) {
      state.Hash.Update(data, size);
    } else if (size > kMaxLegacySignedFileSize - state.FileBytes.size()) {
      state.Failure = "a legacy signature (minisign -l) of a file over " +
                      std::to_string(kMaxLegacySignedFileSize) + " bytes";
      state.FileBytes = std::string();
    } else {
      state.FileBytes.append(static_cast<const char*>(data), size);
    }
  }
  if (!state.Failure.empty()) *reason = state.Failure;
  return state.Failure.empty();
}

bool SignatureVerifier::Finish(SignedFileInfo* info, std::string* reason) {
  if (!state_) {
    *reason = "no signature check was started";
    return false;
  }
  std::unique_ptr<State> state = std::move(state_);
  if (!state->Failure.empty()) {
    *reason = state->Failure;
    return false;
  }
  const MinisignSignature& signature = state->Signature;
  Blake2b512::Digest digest;
  std::string_view message;
  if (signature.SignedData == SignedData::Blake2bHash) {
    digest = state->Hash.Finish();
    message = Bytes(digest);
  } else {
    message = state->FileBytes;
  }
  std::string error;
  SignatureCheck check = Ed25519Verify(state->Key.Key, signature.Signature, message, &error);
  if (check == SignatureCheck::Good) {
    check = Ed25519Verify(state->Key.Key, signature.GlobalSignature,
                          GlobalMessage(signature.Signature, signature.TrustedComment), &error);
    if (check == SignatureCheck::Bad) {
      *reason = "the trusted comment does not match its signature";
      return false;
    }
  } else if (check == SignatureCheck::Bad) {
    *reason = "the signature does not match the file";
    return false;
  }
  if (check == SignatureCheck::Failed) {
    *reason = "cannot check the signature (" + error + ")";
    return false;
  }
  // Only now is the comment known to come from the key's owner.
  TrustedCommentFields fields;
  if (!ParseTrustedComment(signature.TrustedComment, &fields, &error)) {
    *reason = "malformed trusted comment (" + error + ")";
    return false;
  }
  if (fields.FileName != state->ExpectedFileName) {
    *reason = "signed for another file (" + fields.FileName + ")";
    return false;
  }
  info->Timestamp = fields.Timestamp;
  info->FileName = fields.FileName;
  info->TrustedComment = signature.TrustedComment;
  info->Expires = fields.Expires;
  return true;
}

bool VerifySignature(const MinisignPublicKey& key, std::string_view signatureText,
                     std::string_view expectedFileName, std::string_view fileBytes,
                     SignedFileInfo* info, std::string* reason) {
  return VerifySignature(PublicKeys{key}, signatureText, expectedFileName, fileBytes, info, reason);
}

bool VerifySignature(const PublicKeys& keys, std::string_view signatureText,
                     std::string_view expectedFileName, std::string_view fileBytes,
                     SignedFileInfo* info, std::string* reason) {
  SignatureVerifier verifier;
  return verifier.Start(keys, signatureText, expectedFileName, reason) &&
         verifier.Update(fileBytes.data(), fileBytes.size(), reason) &&
         verifier.Finish(info, reason);
}

bool VerifyFileSignature(FileSystem& files, const std::string& path, std::string_view signatureText,
                         const MinisignPublicKey& key, std::string_view expectedFileName,
                         SignedFileInfo* info, std::string* reason) {
  return VerifyFileSignature(files, path, signatureText, PublicKeys{key}, expectedFileName, info,
                             reason);
}

bool VerifyFileSignature(FileSystem& files, const std::string& path, std::string_view signatureText,
                         const PublicKeys& keys, std::string_view expectedFileName,
                         SignedFileInfo* info, std::string* reason) {
  SignatureVerifier verifier;
  if (!verifier.Start(keys, signatureText, expectedFileName, reason)) return false;
  switch (ReadInChunks(files, path, [&](const uint8_t* bytes, size_t size) {
    return verifier.Update(bytes, size, reason);
  })) {
    case FileRead::Done:
      break;
    case FileRead::CannotOpen:
      *reason = "cannot open the file";
      return false;
    case FileRead::CannotRead:
      *reason = "cannot read the file";
      return false;
    case FileRead::Refused:
      return false;
  }
  return verifier.Finish(info, reason);
}

std::string ExpiryRefusal(const SignedFileInfo& info, uint64_t now) {
  if (info.Expires == 0 || now < info.Expires) return std::string();
  return "expired on " + UtcDateText(info.Expires);
}

std::string UtcDateText(uint64_t seconds) {
  // The civil date of a day count (days since 1970-01-01), in eras of 400
  // years of the proleptic Gregorian calendar that start on March 1.
  const uint64_t days = seconds / 86400 + 719468;  // days since 0000-03-01
  const uint64_t era = days / 146097;
  const uint64_t dayOfEra = days - era * 146097;
  const uint64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const uint64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const uint64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  const uint64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  const uint64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  std::string text = std::to_string(year);
  if (text.size() < 4) text.insert(0, 4 - text.size(), '0');
  for (const uint64_t part : {month, day}) text += (part < 10 ? "-0" : "-") + std::to_string(part);
  return text;
}

bool ReadSignatureFile(FileSystem& files, const std::string& path, std::string* text,
                       std::string* reason) {
  // The reasons given are fixed texts, without the file system's cause.
  std::unique_ptr<File> file = files.OpenRead(path, false, nullptr);
  if (!file) {
    *reason = kNoSignatureFile;
    return false;
  }
  // One byte more than allowed tells a longer file apart.
  std::string content(kMaxSignatureFileSize + 1, '\0');
  size_t filled = 0;
  while (filled < content.size()) {
    const int64_t count =
        file->Read(content.data() + filled, static_cast<int64_t>(content.size() - filled), nullptr);
    if (count < 0) {
      *reason = "cannot read the signature file";
      return false;
    }
    if (count == 0) break;
    filled += static_cast<size_t>(count);
  }
  if (filled > kMaxSignatureFileSize) {
    *reason = "malformed signature file (longer than " + std::to_string(kMaxSignatureFileSize) +
              " bytes)";
    return false;
  }
  content.resize(filled);
  *text = std::move(content);
  return true;
}

bool LoadSecretKey(std::string_view text, MinisignSecretKey* key, std::string* error) {
  MinisignSecretKey loaded;
  if (!ParseSecretKeyFile(text, &loaded, error)) return false;
  const bool noChecksum = std::all_of(loaded.Checksum.begin(), loaded.Checksum.end(),
                                      [](uint8_t byte) { return byte == 0; });
  if (!noChecksum) {
    std::string covered("Ed");
    covered.append(reinterpret_cast<const char*>(loaded.KeyId.data()), loaded.KeyId.size());
    covered.append(reinterpret_cast<const char*>(loaded.SecretKey.data()), loaded.SecretKey.size());
    std::array<uint8_t, 32> checksum;
    if (!Blake2b256(covered, &checksum, error)) return false;
    if (checksum != loaded.Checksum) {
      *error = "the secret key's checksum does not match (a damaged key file)";
      return false;
    }
  }
  *key = loaded;
  return true;
}

bool SignBytes(const MinisignSecretKey& key, std::string_view bytes, std::string_view fileName,
               const SigningTime& time, std::string* signatureText, std::string* error) {
  Blake2b512 hash;
  if (!hash.Ready(error)) return false;
  hash.Update(bytes.data(), bytes.size());
  return SignDigest(key, hash.Finish(), fileName, time, signatureText, error);
}

bool SignFile(FileSystem& files, const std::string& path, const MinisignSecretKey& key,
              std::string_view fileName, const SigningTime& time, std::string* signatureText,
              std::string* error) {
  Blake2b512 hash;
  if (!hash.Ready(error)) return false;
  switch (ReadInChunks(files, path, [&](const uint8_t* bytes, size_t size) {
    hash.Update(bytes, size);
    return true;
  })) {
    case FileRead::Done:
    case FileRead::Refused:
      break;
    case FileRead::CannotOpen:
      *error = "cannot open " + path;
      return false;
    case FileRead::CannotRead:
      *error = "cannot read " + path;
      return false;
  }
  return SignDigest(key, hash.Finish(), fileName, time, signatureText, error);
}

}  // namespace updater
