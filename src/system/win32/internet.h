// The HTTP client on Windows: WinINet, synchronous.
#pragma once

#include "system/internet.h"

namespace updater {

class WinInetInternet : public Internet {
 public:
  std::unique_ptr<HttpSession> Open(const std::string& agent, int32_t accessType,
                                    const std::string& proxyName) override;
};

}  // namespace updater
