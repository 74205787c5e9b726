// The sink that decoded entry content goes to.
#include "packages/file_sink.h"

#include <algorithm>
#include <string_view>

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
  failed_ = !file_.Write(data, size, &cause_);
  return !failed_;
}

bool FileSink::StartsLikeProgram() const {
  return LooksLikeProgram(reinterpret_cast<const uint8_t*>(start_.data()),
                          static_cast<int64_t>(start_.size()));
}

bool LooksLikeProgram(const uint8_t* start, int64_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(start),
                               static_cast<size_t>(std::min<int64_t>(size, kStartLength)));
  return bytes.substr(0, 4) ==
             "\x7f"
             "ELF" ||
         bytes.substr(0, 2) == "#!";
}

}  // namespace updater
