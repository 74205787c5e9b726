// The text formats of minisign.
#include "protocol/minisign_format.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace updater {

namespace {

constexpr std::string_view kUntrustedCommentPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedCommentPrefix = "trusted comment: ";
constexpr std::string_view kTimestampField = "timestamp:";
constexpr std::string_view kFileField = "file:";
constexpr std::string_view kHashedField = "hashed";
// Not minisign's: written after its fields, which minisign and updaters that
// do not know it pass over.
constexpr std::string_view kExpiresField = "expires:";

// Public keys and secret keys start with the signature algorithm "Ed"; the
// key files of other tools (signify, for example) do not.
constexpr std::string_view kKeyAlgorithm = "Ed";
constexpr std::string_view kHashedAlgorithm = "ED";
constexpr std::string_view kLegacyAlgorithm = "Ed";
constexpr std::string_view kChecksumAlgorithm = "B2";
constexpr std::string_view kUnencryptedKeyDerivation("\0\0", 2);
constexpr std::string_view kScryptKeyDerivation = "Sc";

// Sizes of the decoded base64 lines.
constexpr size_t kAlgorithmSize = 2;
constexpr size_t kPublicKeySize = kAlgorithmSize + 8 + 32;
constexpr size_t kSignatureLineSize = kAlgorithmSize + 8 + 64;
// Algorithm, key derivation, checksum algorithm, salt (32), opslimit (8),
// memlimit (8), key id, secret key, checksum.
constexpr size_t kSecretKeySaltOffset = 3 * kAlgorithmSize;
constexpr size_t kSecretKeyIdOffset = kSecretKeySaltOffset + 32 + 8 + 8;
constexpr size_t kSecretKeySize = kSecretKeyIdOffset + 8 + 64 + 32;

// Key files are a comment line and a key line; nothing legitimate is longer.
constexpr size_t kMaxKeyFileSize = 4096;

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Lines ended by LF, each without a CR before its LF. A last line without
// LF counts; trailing empty lines are dropped.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  size_t start = text.find_first_not_of(kSpace);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(kSpace) + 1 - start);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Decodes a base64 line of exactly `size` bytes; `what` names the line in
// the error text.
bool DecodeLine(std::string_view line, size_t size, const char* what, std::string* bytes,
                std::string* error) {
  if (!DecodeBase64(line, bytes)) {
    *error = std::string(what) + " is not valid base64";
    return false;
  }
  if (bytes->size() != size) {
    *error = std::string(what) + " holds " + std::to_string(bytes->size()) + " bytes instead of " +
             std::to_string(size);
    return false;
  }
  return true;
}

// An algorithm name for an error text: the two characters when printable,
// their hex values otherwise.
std::string AlgorithmText(std::string_view algorithm) {
  bool printable =
      std::all_of(algorithm.begin(), algorithm.end(), [](char c) { return c > ' ' && c < 0x7f; });
  if (printable) return "\"" + std::string(algorithm) + "\"";
  std::string text;
  for (char c : algorithm) {
    constexpr char kHex[] = "0123456789abcdef";
    if (!text.empty()) text += ' ';
    text += kHex[static_cast<uint8_t>(c) >> 4];
    text += kHex[static_cast<uint8_t>(c) & 15];
  }
  return text;
}

// The key line of a key file: the text alone, or the second of two lines
// after an untrusted comment.
bool KeyLine(std::string_view text, std::string_view* line, std::string* error) {
  if (text.size() > kMaxKeyFileSize) {
    *error = "the key text is longer than " + std::to_string(kMaxKeyFileSize) + " bytes";
    return false;
  }
  text = Trim(text);
  if (text.empty()) {
    *error = "the key text is empty";
    return false;
  }
  std::vector<std::string_view> lines = SplitLines(text);
  if (lines.size() == 1) {
    *line = Trim(lines[0]);
    return true;
  }
  if (lines.size() != 2 || !StartsWith(lines[0], "untrusted comment:")) {
    *error = "expected the key line alone or a key file of two lines (comment, key)";
    return false;
  }
  *line = Trim(lines[1]);
  return true;
}

// A time of the trusted comment: decimal digits only, within 64 bits. `what`
// names it in the error text.
bool ReadTime(std::string_view digits, const char* what, uint64_t* value, std::string* error) {
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    *error = std::string(what) + " is not a decimal number";
    return false;
  }
  *value = 0;
  for (char digit : digits) {
    const uint64_t next = static_cast<uint64_t>(digit - '0');
    if (*value > (UINT64_MAX - next) / 10) {
      *error = std::string(what) + " is too large";
      return false;
    }
    *value = *value * 10 + next;
  }
  return true;
}

template <size_t N>
void CopyBytes(const std::string& bytes, size_t offset, std::array<uint8_t, N>* target) {
  std::memcpy(target->data(), bytes.data() + offset, N);
}

}  // namespace

std::string EncodeBase64(const uint8_t* data, size_t size) {
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < size) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < size) group |= data[i + 2];
    text += kBase64Alphabet[(group >> 18) & 63];
    text += kBase64Alphabet[(group >> 12) & 63];
    text += i + 1 < size ? kBase64Alphabet[(group >> 6) & 63] : '=';
    text += i + 2 < size ? kBase64Alphabet[group & 63] : '=';
  }
  return text;
}

bool DecodeBase64(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  bytes->reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    // Padding only in the last group: "xx==" or "xxx=".
    const size_t padding =
        last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
    uint32_t group = 0;
    for (size_t j = 0; j < 4 - padding; ++j) {
      int value = Base64Value(text[i + j]);
      if (value < 0) return false;
      group |= static_cast<uint32_t>(value) << (18 - 6 * j);
    }
    // Unused bits of a padded group must be zero, so that every byte
    // sequence has exactly one text.
    if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0))
      return false;
    bytes->push_back(static_cast<char>(group >> 16));
    if (padding < 2) bytes->push_back(static_cast<char>(group >> 8));
    if (padding < 1) bytes->push_back(static_cast<char>(group));
  }
  return true;
}

bool ParsePublicKey(std::string_view text, MinisignPublicKey* key, std::string* error) {
  std::string_view line;
  if (!KeyLine(text, &line, error)) return false;
  std::string bytes;
  if (!DecodeLine(line, kPublicKeySize, "the public key", &bytes, error)) return false;
  if (std::string_view(bytes).substr(0, kAlgorithmSize) != kKeyAlgorithm) {
    *error = "the public key's algorithm " + AlgorithmText(bytes.substr(0, kAlgorithmSize)) +
             " is not minisign's Ed25519";
    return false;
  }
  CopyBytes(bytes, kAlgorithmSize, &key->KeyId);
  CopyBytes(bytes, kAlgorithmSize + key->KeyId.size(), &key->Key);
  return true;
}

std::string PublicKeyLine(const MinisignPublicKey& key) {
  std::string bytes(kKeyAlgorithm);
  bytes.append(reinterpret_cast<const char*>(key.KeyId.data()), key.KeyId.size());
  bytes.append(reinterpret_cast<const char*>(key.Key.data()), key.Key.size());
  return EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string KeyIdText(const MinisignKeyId& keyId) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = keyId.size(); i-- > 0;) {
    text += kHex[keyId[i] >> 4];
    text += kHex[keyId[i] & 15];
  }
  return text;
}

bool ParseSignatureFile(std::string_view text, MinisignSignature* signature, std::string* error) {
  if (text.size() > kMaxSignatureFileSize) {
    *error = "longer than " + std::to_string(kMaxSignatureFileSize) + " bytes";
    return false;
  }
  std::vector<std::string_view> lines = SplitLines(text);
  if (lines.empty()) {
    *error = "empty";
    return false;
  }
  if (lines.size() < 4) {
    *error = "line " + std::to_string(lines.size() + 1) + " is missing";
    return false;
  }
  if (lines.size() > 4) {
    *error = "text after line 4";
    return false;
  }
  if (!StartsWith(lines[0], kUntrustedCommentPrefix)) {
    *error = "line 1 is not an untrusted comment";
    return false;
  }
  std::string bytes;
  if (!DecodeLine(lines[1], kSignatureLineSize, "the signature line", &bytes, error)) return false;
  std::string_view algorithm = std::string_view(bytes).substr(0, kAlgorithmSize);
  if (algorithm == kHashedAlgorithm) {
    signature->SignedData = SignedData::Blake2bHash;
  } else if (algorithm == kLegacyAlgorithm) {
    signature->SignedData = SignedData::WholeFile;
  } else {
    *error = "unknown signature algorithm " + AlgorithmText(algorithm);
    return false;
  }
  if (!StartsWith(lines[2], kTrustedCommentPrefix)) {
    *error = "line 3 is not a trusted comment";
    return false;
  }
  std::string globalBytes;
  if (!DecodeLine(lines[3], signature->GlobalSignature.size(), "the comment signature line",
                  &globalBytes, error))
    return false;

  signature->UntrustedComment = lines[0].substr(kUntrustedCommentPrefix.size());
  CopyBytes(bytes, kAlgorithmSize, &signature->KeyId);
  CopyBytes(bytes, kAlgorithmSize + signature->KeyId.size(), &signature->Signature);
  signature->TrustedComment = lines[2].substr(kTrustedCommentPrefix.size());
  CopyBytes(globalBytes, 0, &signature->GlobalSignature);
  return true;
}

std::string SignatureFileText(const MinisignSignature& signature) {
  std::string bytes(signature.SignedData == SignedData::Blake2bHash ? kHashedAlgorithm
                                                                    : kLegacyAlgorithm);
  bytes.append(reinterpret_cast<const char*>(signature.KeyId.data()), signature.KeyId.size());
  bytes.append(reinterpret_cast<const char*>(signature.Signature.data()),
               signature.Signature.size());
  std::string text(kUntrustedCommentPrefix);
  text += signature.UntrustedComment;
  text += '\n';
  text += EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  text += '\n';
  text += kTrustedCommentPrefix;
  text += signature.TrustedComment;
  text += '\n';
  text += EncodeBase64(signature.GlobalSignature.data(), signature.GlobalSignature.size());
  text += '\n';
  return text;
}

bool ParseTrustedComment(std::string_view comment, TrustedCommentFields* fields,
                         std::string* error) {
  bool haveTimestamp = false;
  bool haveFile = false;
  bool haveExpiry = false;
  TrustedCommentFields result;
  while (true) {
    const size_t end = comment.find('\t');
    const std::string_view field = comment.substr(0, end);
    if (StartsWith(field, kTimestampField)) {
      if (haveTimestamp) {
        *error = "two timestamps";
        return false;
      }
      haveTimestamp = true;
      if (!ReadTime(field.substr(kTimestampField.size()), "the timestamp", &result.Timestamp,
                    error))
        return false;
    } else if (StartsWith(field, kFileField)) {
      if (haveFile) {
        *error = "two file names";
        return false;
      }
      haveFile = true;
      result.FileName = field.substr(kFileField.size());
    } else if (field == kHashedField) {
      result.Hashed = true;
    } else if (StartsWith(field, kExpiresField)) {
      // The signer asked for an end: one that cannot be read must not count
      // as none.
      if (haveExpiry) {
        *error = "two expiry times";
        return false;
      }
      haveExpiry = true;
      if (!ReadTime(field.substr(kExpiresField.size()), "the expiry", &result.Expires, error))
        return false;
      if (result.Expires == 0) {
        *error = "the expiry is zero";
        return false;
      }
    }
    if (end == std::string_view::npos) break;
    comment.remove_prefix(end + 1);
  }
  if (!haveTimestamp) {
    *error = "no timestamp";
    return false;
  }
  if (!haveFile || result.FileName.empty()) {
    *error = "no file name";
    return false;
  }
  *fields = std::move(result);
  return true;
}

std::string TrustedCommentText(const TrustedCommentFields& fields) {
  std::string text(kTimestampField);
  text += std::to_string(fields.Timestamp);
  text += '\t';
  text += kFileField;
  text += fields.FileName;
  if (fields.Hashed) {
    text += '\t';
    text += kHashedField;
  }
  if (fields.Expires != 0) {
    text += '\t';
    text += kExpiresField;
    text += std::to_string(fields.Expires);
  }
  return text;
}

bool ParseSecretKeyFile(std::string_view text, MinisignSecretKey* key, std::string* error) {
  std::string_view line;
  if (!KeyLine(text, &line, error)) return false;
  std::string bytes;
  if (!DecodeLine(line, kSecretKeySize, "the secret key", &bytes, error)) return false;
  const std::string_view view(bytes);
  if (view.substr(0, kAlgorithmSize) != kKeyAlgorithm) {
    *error = "the secret key's algorithm " + AlgorithmText(view.substr(0, kAlgorithmSize)) +
             " is not minisign's Ed25519";
    return false;
  }
  const std::string_view derivation = view.substr(kAlgorithmSize, kAlgorithmSize);
  if (derivation == kScryptKeyDerivation) {
    *error =
        "the secret key is protected by a password; make a key without one with "
        "\"minisign -G -W\", or remove the password with \"minisign -C -W\"";
    return false;
  }
  if (derivation != kUnencryptedKeyDerivation) {
    *error = "unknown key derivation " + AlgorithmText(derivation) + " in the secret key";
    return false;
  }
  if (view.substr(2 * kAlgorithmSize, kAlgorithmSize) != kChecksumAlgorithm) {
    *error = "unknown checksum algorithm " +
             AlgorithmText(view.substr(2 * kAlgorithmSize, kAlgorithmSize)) + " in the secret key";
    return false;
  }
  CopyBytes(bytes, kSecretKeyIdOffset, &key->KeyId);
  CopyBytes(bytes, kSecretKeyIdOffset + key->KeyId.size(), &key->SecretKey);
  CopyBytes(bytes, kSecretKeyIdOffset + key->KeyId.size() + key->SecretKey.size(), &key->Checksum);
  return true;
}

MinisignPublicKey PublicKeyOf(const MinisignSecretKey& key) {
  MinisignPublicKey publicKey;
  publicKey.KeyId = key.KeyId;
  std::memcpy(publicKey.Key.data(), key.SecretKey.data() + 32, publicKey.Key.size());
  return publicKey;
}

}  // namespace updater
