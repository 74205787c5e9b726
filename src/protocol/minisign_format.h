// The text formats of minisign: public keys, signature files (FILE.minisig)
// with the fields of their trusted comments, and unencrypted secret key
// files. Parsing and writing only; the cryptography is in signature.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace updater {

using MinisignKeyId = std::array<uint8_t, 8>;
using Ed25519PublicKey = std::array<uint8_t, 32>;
using Ed25519Signature = std::array<uint8_t, 64>;
// The Ed25519 seed (32 bytes) followed by the public key (32 bytes).
using Ed25519SecretKey = std::array<uint8_t, 64>;

// The largest signature file the parser reads. minisign's own comments are
// far shorter (1 KiB untrusted, 8 KiB trusted).
inline constexpr size_t kMaxSignatureFileSize = 16384;

struct MinisignPublicKey {
  MinisignKeyId KeyId{};
  Ed25519PublicKey Key{};
};

// What the first signature of a signature file covers.
enum class SignedData {
  Blake2bHash,  // "ED": the BLAKE2b-512 hash of the file
  WholeFile,    // "Ed": the file's bytes themselves (minisign -l, legacy)
};

// The four lines of a signature file.
struct MinisignSignature {
  std::string UntrustedComment;  // line 1 after "untrusted comment: "
  updater::SignedData SignedData = updater::SignedData::Blake2bHash;
  MinisignKeyId KeyId{};
  Ed25519Signature Signature{};
  std::string TrustedComment;  // line 3 after "trusted comment: "
  // Ed25519 over `signature` followed by the bytes of `trustedComment`.
  Ed25519Signature GlobalSignature{};
};

// The fields minisign writes into a trusted comment, separated by tabs:
// "timestamp:N", "file:NAME" and, for the BLAKE2b form, the word "hashed";
// and the publisher's own "expires:N", after them.
struct TrustedCommentFields {
  uint64_t Timestamp = 0;  // seconds since 1970-01-01 UTC
  std::string FileName;
  bool Hashed = false;
  // From this time on (seconds since 1970-01-01 UTC) the file is stale;
  // 0 when the comment gives no end.
  uint64_t Expires = 0;
};

// An unencrypted secret key file (minisign -G -W).
struct MinisignSecretKey {
  MinisignKeyId KeyId{};
  Ed25519SecretKey SecretKey{};
  // BLAKE2b-256 of "Ed", the key id and the secret key; all zero in the keys
  // minisign 0.11 writes with -W, which compute none.
  std::array<uint8_t, 32> Checksum{};
};

// Standard base64 with padding, as minisign writes it. The decoder accepts
// only the canonical text: length a multiple of 4, padding where needed,
// unused bits zero. False when `text` is not such a text.
std::string EncodeBase64(const uint8_t* data, size_t size);
bool DecodeBase64(std::string_view text, std::string* bytes);

// Reads a public key: the base64 line alone (as `minisign -G` prints it) or
// a whole minisign.pub file (an "untrusted comment:" line, then that line).
// Spaces and line ends around the text are ignored. False with a short
// reason in `error` for anything else.
bool ParsePublicKey(std::string_view text, MinisignPublicKey* key, std::string* error);
// The base64 line of a public key.
std::string PublicKeyLine(const MinisignPublicKey& key);
// A key id as minisign shows it: 16 upper-case hex digits of the id read as
// a little-endian number.
std::string KeyIdText(const MinisignKeyId& keyId);

// Reads a signature file: four lines ended by LF or CR LF (the last line end
// may be missing, empty lines may follow). At most kMaxSignatureFileSize
// bytes. False with a short reason in `error` when the text has another
// shape, a line is not canonical base64 of the right length, or the
// algorithm is neither "ED" nor "Ed".
bool ParseSignatureFile(std::string_view text, MinisignSignature* signature, std::string* error);
// The text of a signature file, each line ended by LF. Comments must hold no
// line ends.
std::string SignatureFileText(const MinisignSignature& signature);

// Reads the fields of a trusted comment, in any order, ignoring fields it
// does not know. False with a reason when "timestamp:" or "file:" is missing
// or given twice, the timestamp is not a decimal number that fits 64 bits,
// the file name is empty, or an "expires:" field is given twice or is not
// such a number above 0 (a signer's end that cannot be read is no end).
bool ParseTrustedComment(std::string_view comment, TrustedCommentFields* fields,
                         std::string* error);
// The trusted comment minisign writes: "timestamp:N<TAB>file:NAME", followed
// by "<TAB>hashed" when `hashed` is set, and by "<TAB>expires:N" when
// `expires` is not 0.
std::string TrustedCommentText(const TrustedCommentFields& fields);

// Reads a secret key file. False with a reason when it is not a minisign
// Ed25519 key, and for a key encrypted with a password (the reason tells
// how to make or convert an unencrypted one). Does not check the checksum:
// LoadSecretKey in signature.h does.
bool ParseSecretKeyFile(std::string_view text, MinisignSecretKey* key, std::string* error);
// The public key belonging to a secret key.
MinisignPublicKey PublicKeyOf(const MinisignSecretKey& key);

}  // namespace updater
