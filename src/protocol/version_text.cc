// Version numbers: from a program's file version, and as the console shows them.
#include "protocol/version_text.h"

namespace updater {

int64_t VersionNumberFromFileVersion(uint32_t fileVersionMS) {
  const uint32_t major = fileVersionMS >> 16;
  const uint32_t minor = fileVersionMS & 0xFFFF;
  // Appending the minor digits shifts the major part by their count, with at
  // least two digits: 1.5 -> 1|05, 1.123 -> 1|123.
  int64_t shift = 100;
  while (shift <= minor) shift *= 10;
  return static_cast<int64_t>(major) * shift + minor;
}

std::string VersionText(int64_t version) {
  const std::string digits = std::to_string(version);
  if (digits.size() == 1) return "0.0" + digits;
  if (digits.size() == 2) return "0." + digits;
  return digits.substr(0, digits.size() - 2) + "." + digits.substr(digits.size() - 2);
}

}  // namespace updater
