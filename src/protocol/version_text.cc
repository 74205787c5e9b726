// Version numbers as the console shows them.
#include "protocol/version_text.h"

namespace updater {

std::string VersionText(int64_t version) {
  const std::string digits = std::to_string(version);
  if (digits.size() == 1) return "0.0" + digits;
  if (digits.size() == 2) return "0." + digits;
  return digits.substr(0, digits.size() - 2) + "." + digits.substr(digits.size() - 2);
}

}  // namespace updater
