// Causes of failed system calls on POSIX.
#include "system/posix/system_error.h"

#include <cstring>

namespace updater {

std::string ErrnoCause(std::string_view call, std::string_view subject, int error) {
  std::string text(call);
  if (!subject.empty()) {
    text += ' ';
    text += subject;
  }
  text += ": ";
  text += std::strerror(error);
  text += " (errno " + std::to_string(error) + ")";
  return text;
}

}  // namespace updater
