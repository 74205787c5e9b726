// The HTTP client on Windows: WinINet, synchronous.
#include "system/win32/internet.h"

namespace updater {

// TODO(http): the WinINet session.
std::unique_ptr<HttpSession> WinInetInternet::Open(const std::string&, int32_t,
                                                   const std::string&) {
  return nullptr;
}

}  // namespace updater
