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

// BLAKE2b-512 of a stream of bytes.
class Blake2b512 {
 public:
  using Digest = std::array<uint8_t, 64>;

  Blake2b512();
  ~Blake2b512();
  Blake2b512(const Blake2b512&) = delete;
  Blake2b512& operator=(const Blake2b512&) = delete;

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

// BLAKE2b-256 of `data`. False with the library's reason on failure.
bool Blake2b256(std::string_view data, std::array<uint8_t, 32>* digest, std::string* error);

// BLAKE2b-256 of a stream of bytes: the digest a catalogue line gives of its
// package (blake2b=).
class Blake2b256Stream {
 public:
  using Digest = std::array<uint8_t, 32>;

  Blake2b256Stream();
  ~Blake2b256Stream();
  Blake2b256Stream(const Blake2b256Stream&) = delete;
  Blake2b256Stream& operator=(const Blake2b256Stream&) = delete;

  // As Blake2b512's.
  bool Ready(std::string* error) const;
  void Update(const void* data, size_t size);
  Digest Finish();

 private:
  gcry_md_handle* handle_ = nullptr;
  std::string error_;
};

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
