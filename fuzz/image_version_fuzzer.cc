// Feeds arbitrary bytes to the reader of PE version resources and ELF version
// notes. AddressSanitizer catches any read outside the image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "system/posix/image_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so reading past the end is caught.
  std::vector<uint8_t> image(data, data + size);
  updater::ReadImageFileVersionMS(image.data(), image.size());

  // The same through a reader callback, which must only be asked for spans
  // inside the image.
  const updater::ImageReader read = [&](uint64_t offset, size_t count, uint8_t* out) {
    if (offset > image.size() || count > image.size() - offset) __builtin_trap();
    std::memcpy(out, image.data() + offset, count);
    return true;
  };
  updater::ReadImageFileVersionMS(read, image.size());
  return 0;
}
