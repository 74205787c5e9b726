// Waiting and time on Windows.
#pragma once

#include "system/clock.h"

namespace updater {

class Win32Clock : public Clock {
 public:
  void Sleep(int milliseconds) override;
  uint64_t Milliseconds() override;
  int64_t UnixMilliseconds() override;
};

}  // namespace updater
