// The two primitives of minisign signatures, BLAKE2b and Ed25519, from
// libgcrypt. The only code that calls libgcrypt; its error codes become text
// here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/minisign_format.h"

struct gcry_md_handle;

namespace updater {

// Makes libgcrypt ready: version check, no secure memory, initialisation
// finished. Runs once per process (later calls give the first result), from
// any thread. False with the cause when the library cannot be used.
bool InitCrypto(std::string* error);

// BLAKE2b of a stream of bytes with a digest of `DigestBytes` (32 or 64).
template <size_t DigestBytes>
class Blake2b {
  static_assert(DigestBytes == 32 || DigestBytes == 64, "BLAKE2b-256 or BLAKE2b-512");

 public:
  using Digest = std::array<uint8_t, DigestBytes>;

  Blake2b();
  ~Blake2b();
  Blake2b(const Blake2b&) = delete;
  Blake2b& operator=(const Blake2b&) = delete;

  // False with the library's reason when the hash could not be set up;
  // Update and Finish then do nothing.
  bool Ready(std::string* error) const;
  void Update(const void* data, size_t size);
  // The hash of everything given to Update. Once.
  Digest Finish();

 private:
  gcry_md_handle* handle_ = nullptr;
  std::string error_;
};

// The hash of minisign's prehashed signatures.
using Blake2b512 = Blake2b<64>;
// The digest a catalogue line gives of its package (blake2b=).
using Blake2b256Stream = Blake2b<32>;

// BLAKE2b-256 of `data`. False with the library's reason on failure.
bool Blake2b256(std::string_view data, std::array<uint8_t, 32>* digest, std::string* error);

// The longest message Ed25519Verify and Ed25519Sign take. libgcrypt passes
// the message in an S-expression, whose values hold less than 64 KiB (longer
// ones corrupt it and abort the process).
inline constexpr size_t kMaxEd25519MessageSize = 63 * 1024;

enum class SignatureCheck {
  Good,
  Bad,     // the signature does not belong to the message and key
  Failed,  // the check could not run; the error text says why
};

// Checks an Ed25519 signature of `message`. Fails for a message over
// kMaxEd25519MessageSize and for a public key libgcrypt cannot handle.
SignatureCheck Ed25519Verify(const Ed25519PublicKey& key, const Ed25519Signature& signature,
                             std::string_view message, std::string* error);

// Signs `message` with Ed25519. False with the library's reason on failure,
// and as Ed25519Verify for the message and the key's public half.
bool Ed25519Sign(const Ed25519SecretKey& key, std::string_view message, Ed25519Signature* signature,
                 std::string* error);

}  // namespace updater
