// Causes of failed system calls on POSIX, as text for the log.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace updater {

// "open /x/y: No such file or directory (errno 2)". Call it with the errno
// value taken right after the failing call.
std::string ErrnoCause(std::string_view call, std::string_view subject, int error);

// The latest cause of a backend service, shared with the objects it hands out
// (open files, requests) so that their failures land in the same place.
using CauseRecord = std::shared_ptr<std::string>;

inline CauseRecord NewCauseRecord() { return std::make_shared<std::string>(); }

}  // namespace updater
