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
};

}  // namespace updater
