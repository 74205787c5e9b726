// The check of a downloaded package against its catalogue line's facts.
#include "protocol/package_check.h"

#include <memory>
#include <vector>

#include "protocol/crypto.h"

namespace updater {

namespace {

constexpr int64_t kReadChunk = 1 << 16;

std::string HexText(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

bool PackageMatchesFacts(FileSystem& files, const std::string& path, const PackageFacts& facts,
                         std::string* cause) {
  if (!facts.Size && !facts.Blake2b) return true;
  std::string why;
  std::unique_ptr<File> file = files.OpenRead(path, false, &why);
  if (!file) {
    *cause = "cannot open " + path + ": " + why;
    return false;
  }
  const int64_t size = file->Size(&why);
  if (size < 0) {
    *cause = "cannot read the size of " + path + ": " + why;
    return false;
  }
  if (facts.Size && size != *facts.Size) {
    *cause = path + " holds " + std::to_string(size) + " bytes; the catalogue says " +
             std::to_string(*facts.Size);
    return false;
  }
  if (!facts.Blake2b) return true;
  Blake2b256Stream hash;
  if (!hash.Ready(cause)) return false;
  std::vector<uint8_t> buffer(kReadChunk);
  for (;;) {
    const int64_t count = file->Read(buffer.data(), kReadChunk, &why);
    if (count < 0) {
      *cause = "cannot read " + path + ": " + why;
      return false;
    }
    if (count == 0) break;
    hash.Update(buffer.data(), static_cast<size_t>(count));
  }
  const Blake2b256Stream::Digest digest = hash.Finish();
  if (digest == *facts.Blake2b) return true;
  *cause = "the BLAKE2b-256 of " + path + " is " + HexText(digest.data(), digest.size()) +
           "; the catalogue says " + HexText(facts.Blake2b->data(), facts.Blake2b->size());
  return false;
}

}  // namespace updater
