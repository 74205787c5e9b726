// Feeds arbitrary bytes to the key parsers and base64: a parsed public key
// writes back to the same line and goes through libgcrypt without harm (an
// Ed25519 check with it must end, not abort, and not pass), a parsed secret
// key keeps its id, and decoded base64 encodes back to the same text. The
// bytes are also a program file searched for the mark of built-in keys: the
// keys found make a mark that gives them again, and a different mark beside
// them is refused.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/built_in_keys.h"
#include "protocol/crypto.h"
#include "protocol/minisign_format.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;

  updater::MinisignPublicKey key;
  if (updater::ParsePublicKey(text, &key, &error)) {
    updater::MinisignPublicKey again;
    Require(updater::ParsePublicKey(updater::PublicKeyLine(key), &again, &error));
    Require(again.KeyId == key.KeyId && again.Key == key.Key);
    Require(updater::KeyIdText(key.KeyId).size() == 16);
    // A signature of zeros and ones belongs to no key.
    updater::Ed25519Signature signature;
    signature.fill(1);
    Require(updater::Ed25519Verify(key.Key, signature, "message", &error) !=
            updater::SignatureCheck::Good);
  } else {
    Require(!error.empty());
  }

  updater::MinisignSecretKey secretKey;
  if (updater::ParseSecretKeyFile(text, &secretKey, &error))
    Require(updater::PublicKeyOf(secretKey).KeyId == secretKey.KeyId);
  else
    Require(!error.empty());

  updater::BuiltInKeys builtIn;
  if (updater::BuiltInKeysOf(text, &builtIn, &error)) {
    Require(builtIn.Keys.size() == builtIn.Lines.size());
    const std::string mark = updater::KeysMark(builtIn.Lines);
    updater::BuiltInKeys again;
    Require(updater::BuiltInKeysOf(mark, &again, &error) && again.Lines == builtIn.Lines);
    std::vector<std::string> other = builtIn.Lines;
    other.push_back(builtIn.Lines.empty() ? updater::PublicKeyLine(key) : builtIn.Lines[0]);
    Require(!updater::BuiltInKeysOf(text + updater::KeysMark(other), &again, &error));
  } else {
    Require(!error.empty());
  }

  std::string bytes;
  if (updater::DecodeBase64(text, &bytes)) {
    Require(bytes.size() == size / 4 * 3 - (size > 0 && text[size - 1] == '=') -
                                (size > 1 && text[size - 2] == '='));
    Require(updater::EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) ==
            text);
  }
  return 0;
}
