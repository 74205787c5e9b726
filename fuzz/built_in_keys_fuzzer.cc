// Feeds arbitrary bytes to the search for the built-in keys in a program
// file, as the updater runs it over a downloaded Updater.exe before it hands
// over to it. Whatever it finds must be a well-formed mark: its lines read
// back from the mark the build would write for them, one key per line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/built_in_keys.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  updater::BuiltInKeys keys;
  std::string reason;
  if (!updater::BuiltInKeysOf(bytes, &keys, &reason)) {
    Require(!reason.empty());
    return 0;
  }
  Require(keys.Lines.size() == keys.Keys.size());
  updater::BuiltInKeys again;
  Require(updater::BuiltInKeysOf(updater::KeysMark(keys.Lines), &again, &reason));
  Require(again.Lines == keys.Lines);
  Require(updater::CarriesAnyKeyOf(keys.Keys, keys.Keys));
  return 0;
}
