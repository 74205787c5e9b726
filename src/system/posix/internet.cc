// The HTTP client on POSIX, built on libcurl.
#include "system/posix/internet.h"

namespace updater {

// TODO(http): the libcurl session.
std::unique_ptr<HttpSession> CurlInternet::Open(const std::string&, int32_t, const std::string&) {
  return nullptr;
}

}  // namespace updater
