// The HTTP client on Windows: WinINet, synchronous.
#pragma once

#include "system/internet.h"

namespace updater {

class WinInetInternet : public Internet {
 public:
  std::unique_ptr<HttpSession> Open(const HttpSessionOptions& options, std::string* cause) override;
};

}  // namespace updater
