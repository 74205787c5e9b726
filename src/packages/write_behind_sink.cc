// The write-behind sink of entry extraction.
#include "packages/write_behind_sink.h"

#include <algorithm>
#include <system_error>

namespace updater {

namespace {

constexpr size_t kBufferSize = 1 << 20;
// One buffer being filled, one being written, one waiting: enough to keep
// both sides busy while memory stays at a few MiB.
constexpr int kBufferCount = 3;

}  // namespace

WriteBehindSink::WriteBehindSink(File& file) : file_(file) {
  try {
    writer_ = std::thread(&WriteBehindSink::WriterLoop, this);
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // every write then happens on the caller's thread
  }
}

WriteBehindSink::~WriteBehindSink() { Finish(); }

bool WriteBehindSink::Write(const uint8_t* data, int64_t size) {
  for (int64_t i = 0; i < size && start_.size() < 4; ++i)
    start_.push_back(static_cast<char>(data[i]));
  if (!threaded_) {
    if (!failed_ && !file_.Write(data, size)) failed_ = true;
    return !failed_;
  }
  while (size > 0) {
    if (current_.capacity() == 0) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return failed_ || !free_.empty() || buffersOut_ < kBufferCount; });
      if (failed_) return false;
      if (!free_.empty()) {
        current_ = std::move(free_.back());
        free_.pop_back();
      } else {
        current_.reserve(kBufferSize);
      }
      ++buffersOut_;
    }
    size_t take = std::min(static_cast<size_t>(size), kBufferSize - current_.size());
    current_.insert(current_.end(), data, data + take);
    data += take;
    size -= static_cast<int64_t>(take);
    if (current_.size() == kBufferSize) HandOver(std::move(current_));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return !failed_;
}

bool WriteBehindSink::Finish() {
  if (!threaded_) return !failed_;
  if (!finished_) {
    if (!current_.empty()) HandOver(std::move(current_));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finishing_ = true;
    }
    changed_.notify_all();
    writer_.join();
    finished_ = true;
  }
  return !failed_;
}

bool WriteBehindSink::StartsLikeProgram() const {
  return start_.compare(0, 4,
                        "\x7f"
                        "ELF") == 0 ||
         start_.compare(0, 2, "#!") == 0;
}

void WriteBehindSink::HandOver(Buffer buffer) {
  current_ = Buffer();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    full_.push_back(std::move(buffer));
  }
  changed_.notify_all();
}

void WriteBehindSink::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return !full_.empty() || finishing_; });
    if (full_.empty()) return;  // finishing, and everything is written
    Buffer buffer = std::move(full_.front());
    full_.pop_front();
    bool skip = failed_;  // after a failure the rest is dropped
    lock.unlock();
    bool written = skip || file_.Write(buffer.data(), static_cast<int64_t>(buffer.size()));
    lock.lock();
    if (!written) failed_ = true;
    buffer.clear();
    free_.push_back(std::move(buffer));
    --buffersOut_;
    changed_.notify_all();
  }
}

}  // namespace updater
