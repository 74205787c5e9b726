// The sink that decoded entry content goes to: a file, written chunk by chunk.
#pragma once

#include <cstdint>
#include <string>

#include "packages/entry_decoder.h"
#include "system/file_system.h"

namespace updater {

// True when content whose first `size` bytes are at `start` starts as an ELF
// image or a "#!" script does.
bool LooksLikeProgram(const uint8_t* start, int64_t size);

class FileSink : public ByteSink {
 public:
  explicit FileSink(File& file) : file_(file) {}

  // Writes the bytes to the file. False once any write has failed; nothing
  // is written after a failure.
  bool Write(const uint8_t* data, int64_t size) override;

  // True when every byte was written.
  bool Finish() const { return !failed_; }
  // Why the failed write failed; empty while none has.
  const std::string& Cause() const { return cause_; }

  // True when the bytes written so far start as an ELF image or a "#!"
  // script does.
  bool StartsLikeProgram() const;

 private:
  File& file_;
  std::string start_;  // the first bytes, for StartsLikeProgram
  bool failed_ = false;
  std::string cause_;
};

}  // namespace updater
