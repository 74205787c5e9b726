// Waiting and measuring time.
#pragma once

#include <cstdint>

namespace updater {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(int milliseconds) = 0;
  // A monotonic millisecond count; only differences mean anything.
  virtual uint64_t Milliseconds() = 0;
  // The wall-clock time: milliseconds since 1970-01-01 00:00:00 UTC.
  virtual int64_t UnixMilliseconds() = 0;
};

}  // namespace updater
