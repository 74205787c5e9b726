// Waiting and time on Windows.
#include "system/win32/clock.h"

#include <windows.h>

namespace updater {

void Win32Clock::Sleep(int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds)); }

uint64_t Win32Clock::Milliseconds() { return GetTickCount64(); }

}  // namespace updater
