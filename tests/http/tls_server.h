// A TLS web server for tests: `openssl s_server -WWW` serving a folder on
// 127.0.0.1, with a fresh self-signed certificate for 127.0.0.1 made by the
// openssl tool. The server takes one connection and ends (and ends after 60
// seconds in any case), so start one per request. In the Windows build it runs
// as a host program started through Wine.
#pragma once

#include <string>

namespace updater::testing {

class TlsTestServer {
 public:
  TlsTestServer() = default;
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  // Makes the certificate in `folder` (a TempFolder path) and serves the
  // folder's files. False when the server did not come up.
  bool Start(const std::string& folder);
  int Port() const { return port_; }
  // "https://127.0.0.1:<port>" followed by `path`.
  std::string URL(const std::string& path) const;
  // The certificate (PEM), as a path of this program's platform.
  std::string CertificateFile() const { return folder_ + "cert.pem"; }

 private:
  std::string folder_;
  int port_ = 0;
  long long process_ = 0;
};

// Makes the HTTP backend trust a certificate for as long as it lives: the
// libcurl backend through CURL_CA_BUNDLE. The WinINet backend cannot be made to
// (see Failure()).
class TrustedCertificate {
 public:
  explicit TrustedCertificate(const std::string& pemFile);
  ~TrustedCertificate();
  TrustedCertificate(const TrustedCertificate&) = delete;
  TrustedCertificate& operator=(const TrustedCertificate&) = delete;
  // Empty when the certificate is trusted; else why not.
  const std::string& Failure() const { return failure_; }

 private:
  std::string failure_;
};

}  // namespace updater::testing
