// BLAKE2b and Ed25519 from libgcrypt.
#include "protocol/crypto.h"

#include <gcrypt.h>

#include <cstring>

namespace updater {

namespace {

std::string LibraryError(const char* call, gcry_error_t error) {
  return std::string("libgcrypt ") + call + ": " + gcry_strerror(error);
}

// Owns an S-expression.
class Sexp {
 public:
  Sexp() = default;
  ~Sexp() { gcry_sexp_release(sexp_); }
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  gcry_sexp_t* Out() { return &sexp_; }
  gcry_sexp_t get() const { return sexp_; }

 private:
  gcry_sexp_t sexp_ = nullptr;
};

// The data of an Ed25519 operation: the message itself, which libgcrypt
// hashes with SHA-512 as Ed25519 prescribes.
bool BuildMessage(std::string_view message, Sexp* sexp, std::string* error) {
  if (message.size() > kMaxEd25519MessageSize) {
    *error = "a message of " + std::to_string(message.size()) + " bytes is too long for libgcrypt";
    return false;
  }
  gcry_error_t result =
      gcry_sexp_build(sexp->Out(), nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                      static_cast<int>(message.size()), message.data());
  if (result != 0) {
    *error = LibraryError("gcry_sexp_build", result);
    return false;
  }
  return true;
}

// Copies the 32-byte value of token `name` ("r" or "s") of a signature.
bool SignatureHalf(const Sexp& signature, const char* name, uint8_t* half, std::string* error) {
  gcry_sexp_t token = gcry_sexp_find_token(signature.get(), name, 0);
  size_t size = 0;
  const char* data = token ? gcry_sexp_nth_data(token, 1, &size) : nullptr;
  const bool ok = data != nullptr && size == 32;
  if (ok) std::memcpy(half, data, size);
  gcry_sexp_release(token);
  if (!ok) *error = std::string("libgcrypt gave no 32-byte \"") + name + "\" in the signature";
  return ok;
}

// libgcrypt 1.10 aborts the process ("mulm_25519: different sizes") when a
// public key's y coordinate is below 2^192, that is when the top 8 bytes of
// its little-endian encoding (less the sign bit) are zero. No generated key
// is such a point (the chance is 2^-63), so such keys are refused before
// libgcrypt sees them.
bool UsablePublicKey(const uint8_t* key, std::string* error) {
  bool highBytesZero = (key[31] & 0x7f) == 0;
  for (int i = 24; i < 31; ++i) highBytesZero = highBytesZero && key[i] == 0;
  if (highBytesZero) *error = "the public key is no usable Ed25519 point";
  return !highBytesZero;
}

}  // namespace

bool InitCrypto(std::string* error) {
  static const std::string failure = [] {
    // Someone else in the process (a library) may have set it up already.
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return std::string();
    if (!gcry_check_version(GCRYPT_VERSION))
      return std::string("libgcrypt ") + gcry_check_version(nullptr) + " is older than " +
             GCRYPT_VERSION;
    // Locked memory needs privileges the updater does not have, and the
    // secret key of the signing tool lives in ordinary memory anyway.
    gcry_control(GCRYCTL_DISABLE_SECMEM_WARN);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return std::string();
  }();
  if (!failure.empty()) *error = failure;
  return failure.empty();
}

namespace {

// libgcrypt's algorithm of the BLAKE2b with a digest of `digestBytes`.
constexpr int Blake2bAlgorithm(size_t digestBytes) {
  return digestBytes == 64 ? GCRY_MD_BLAKE2B_512 : GCRY_MD_BLAKE2B_256;
}

}  // namespace

template <size_t DigestBytes>
Blake2b<DigestBytes>::Blake2b() {
  if (!InitCrypto(&error_)) return;
  gcry_error_t result = gcry_md_open(&handle_, Blake2bAlgorithm(DigestBytes), 0);
  if (result != 0) {
    handle_ = nullptr;
    error_ = LibraryError("gcry_md_open", result);
  }
}

template <size_t DigestBytes>
Blake2b<DigestBytes>::~Blake2b() {
  gcry_md_close(handle_);
}

template <size_t DigestBytes>
bool Blake2b<DigestBytes>::Ready(std::string* error) const {
  if (handle_ == nullptr) *error = error_;
  return handle_ != nullptr;
}

template <size_t DigestBytes>
void Blake2b<DigestBytes>::Update(const void* data, size_t size) {
  if (handle_ != nullptr) gcry_md_write(handle_, data, size);
}

template <size_t DigestBytes>
typename Blake2b<DigestBytes>::Digest Blake2b<DigestBytes>::Finish() {
  Digest digest{};
  if (handle_ != nullptr) {
    const unsigned char* result = gcry_md_read(handle_, Blake2bAlgorithm(DigestBytes));
    if (result != nullptr) std::memcpy(digest.data(), result, digest.size());
  }
  return digest;
}

// The two digest sizes in use; others would need their algorithm above.
template class Blake2b<32>;
template class Blake2b<64>;

bool Blake2b256(std::string_view data, std::array<uint8_t, 32>* digest, std::string* error) {
  if (!InitCrypto(error)) return false;
  gcry_md_hash_buffer(GCRY_MD_BLAKE2B_256, digest->data(), data.data(), data.size());
  return true;
}

SignatureCheck Ed25519Verify(const Ed25519PublicKey& key, const Ed25519Signature& signature,
                             std::string_view message, std::string* error) {
  if (!InitCrypto(error) || !UsablePublicKey(key.data(), error)) return SignatureCheck::Failed;
  Sexp keySexp, signatureSexp, messageSexp;
  gcry_error_t result =
      gcry_sexp_build(keySexp.Out(), nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(key.size()), key.data());
  if (result == 0)
    result = gcry_sexp_build(signatureSexp.Out(), nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32,
                             signature.data(), 32, signature.data() + 32);
  if (result != 0) {
    *error = LibraryError("gcry_sexp_build", result);
    return SignatureCheck::Failed;
  }
  if (!BuildMessage(message, &messageSexp, error)) return SignatureCheck::Failed;
  result = gcry_pk_verify(signatureSexp.get(), messageSexp.get(), keySexp.get());
  if (result == 0) return SignatureCheck::Good;
  // libgcrypt reports every wrong signature, also one whose R is no curve
  // point, as a bad signature; other errors (a key that is no curve point, a
  // library without Ed25519) say the check itself could not be made.
  if (gcry_err_code(result) == GPG_ERR_BAD_SIGNATURE) return SignatureCheck::Bad;
  *error = LibraryError("gcry_pk_verify", result);
  return SignatureCheck::Failed;
}

bool Ed25519Sign(const Ed25519SecretKey& key, std::string_view message, Ed25519Signature* signature,
                 std::string* error) {
  if (!InitCrypto(error) || !UsablePublicKey(key.data() + 32, error)) return false;
  Sexp keySexp, messageSexp, signatureSexp;
  gcry_error_t result = gcry_sexp_build(
      keySexp.Out(), nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))", 32,
      key.data() + 32, 32, key.data());
  if (result != 0) {
    *error = LibraryError("gcry_sexp_build", result);
    return false;
  }
  if (!BuildMessage(message, &messageSexp, error)) return false;
  result = gcry_pk_sign(signatureSexp.Out(), messageSexp.get(), keySexp.get());
  if (result != 0) {
    *error = LibraryError("gcry_pk_sign", result);
    return false;
  }
  return SignatureHalf(signatureSexp, "r", signature->data(), error) &&
         SignatureHalf(signatureSexp, "s", signature->data() + 32, error);
}

}  // namespace updater
