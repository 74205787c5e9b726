// A sink that writes decoded bytes to a file on a second thread, so that
// decoding the next chunk and writing the last one overlap.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "packages/entry_decoder.h"
#include "system/file_system.h"

namespace updater {

class WriteBehindSink : public ByteSink {
 public:
  explicit WriteBehindSink(File& file);
  ~WriteBehindSink() override;
  WriteBehindSink(const WriteBehindSink&) = delete;
  WriteBehindSink& operator=(const WriteBehindSink&) = delete;

  // Copies the bytes into the current buffer; a full buffer goes to the
  // writer. False once any earlier write has failed.
  bool Write(const uint8_t* data, int64_t size) override;

  // Writes what is still buffered and ends the writer. True when every byte
  // was written. Later calls return the same result.
  bool Finish();

  // True when the bytes written so far start as an ELF image or a "#!"
  // script does.
  bool StartsLikeProgram() const;

 private:
  using Buffer = std::vector<uint8_t>;

  void HandOver(Buffer buffer);
  void WriterLoop();

  File& file_;
  std::string start_;  // the first bytes, for StartsLikeProgram
  Buffer current_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Buffer> full_;  // waiting for the writer, oldest first
  std::vector<Buffer> free_;
  int buffersOut_ = 0;  // buffers in use outside `free_`
  bool failed_ = false;
  bool finishing_ = false;
  bool finished_ = false;
  bool threaded_ = false;  // false when no thread could be started
  std::thread writer_;
};

}  // namespace updater
