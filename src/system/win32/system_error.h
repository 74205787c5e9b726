// Causes of failed system calls on Windows, as text for the log.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace updater {

// "CreateFileW C:\App\x.mxu: error 5: Access is denied." Call it with the
// GetLastError() value taken right after the failing call. WinINet's own
// error numbers get WinINet's texts.
std::string Win32Cause(std::string_view call, std::string_view subject, unsigned long error);

// The latest cause of a backend service, shared with the objects it hands out
// (open files, requests) so that their failures land in the same place.
using CauseRecord = std::shared_ptr<std::string>;

inline CauseRecord NewCauseRecord() { return std::make_shared<std::string>(); }

}  // namespace updater
