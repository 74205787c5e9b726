// Waiting and time on POSIX.
#pragma once

#include "system/clock.h"

namespace updater {

class PosixClock : public Clock {
 public:
  void Sleep(int milliseconds) override;
  uint64_t Milliseconds() override;
  int64_t UnixMilliseconds() override;
};

}  // namespace updater
