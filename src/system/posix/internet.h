// The HTTP client on POSIX, built on libcurl.
//
// Certificates are verified against libcurl's default trust store; the
// environment variable CURL_CA_BUNDLE (or else SSL_CERT_FILE) names another
// bundle of trusted certificates, as it does for the curl tool.
#pragma once

#include "system/internet.h"

namespace updater {

class CurlInternet : public Internet {
 public:
  std::unique_ptr<HttpSession> Open(const HttpSessionOptions& options, std::string* cause) override;
};

}  // namespace updater
