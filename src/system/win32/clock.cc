// Waiting and time on Windows.
#include "system/win32/clock.h"

#include <windows.h>

namespace updater {

void Win32Clock::Sleep(int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds)); }

uint64_t Win32Clock::Milliseconds() { return GetTickCount64(); }

int64_t Win32Clock::UnixMilliseconds() {
  // FILETIME counts 100-nanosecond steps since 1601-01-01 UTC.
  constexpr int64_t kStepsFrom1601To1970 = 116444736000000000LL;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  int64_t steps = static_cast<int64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  return (steps - kStepsFrom1601To1970) / 10000;
}

}  // namespace updater
