// The sink that decoded entry content goes to.
#include "packages/file_sink.h"

#include <algorithm>

namespace updater {

namespace {

constexpr size_t kStartLength = 4;

}  // namespace

bool FileSink::Write(const uint8_t* data, int64_t size) {
  if (failed_) return false;
  if (start_.size() < kStartLength) {
    size_t take = std::min(kStartLength - start_.size(), static_cast<size_t>(size));
    start_.append(reinterpret_cast<const char*>(data), take);
  }
  failed_ = !file_.Write(data, size);
  return !failed_;
}

bool FileSink::StartsLikeProgram() const {
  return start_.compare(0, 4,
                        "\x7f"
                        "ELF") == 0 ||
         start_.compare(0, 2, "#!") == 0;
}

}  // namespace updater
