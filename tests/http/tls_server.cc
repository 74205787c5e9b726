// A TLS web server for tests, run by the openssl tool through /bin/sh.
#include "http/tls_server.h"

#ifdef _WIN32
#include <winsock2.h>
// After winsock2.h, which must come first.
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/temp_folder.h"

namespace updater::testing {

namespace {

// A port that was free a moment ago on 127.0.0.1.
int FreePort() {
#ifdef _WIN32
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
  auto s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
#ifdef _WIN32
  int length = sizeof address;
#else
  socklen_t length = sizeof address;
#endif
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
#ifdef _WIN32
  closesocket(s);
#else
  close(s);
#endif
  return port;
}

// The host's path of a folder of this program's platform.
std::string HostPath(const std::string& path) {
#ifdef _WIN32
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return {};
  std::wstring wide(path.begin(), path.end());
  char* name = unixName(wide.c_str());
  if (name == nullptr) return {};
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
#else
  return path;
#endif
}

}  // namespace

bool TlsTestServer::Start(const std::string& folder) {
  folder_ = folder;
  port_ = FreePort();
  std::string host = HostPath(folder);
  if (port_ == 0 || host.empty()) return false;
  if (host.back() != '/') host += '/';
  std::string script =
      "cd '" + host +
      "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 "
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:127.0.0.1 >req.log 2>&1 && "
      "exec timeout 60 openssl s_server -accept 127.0.0.1:" +
      std::to_string(port_) + " -cert cert.pem -key key.pem -WWW -naccept 1 >server.log 2>&1";
#ifdef _WIN32
  std::wstring command = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"/bin/sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
#else
  const char* arguments[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(arguments), environ) != 0)
    return false;
  process_ = pid;
#endif
  // The server announces itself with ACCEPT once it listens.
  for (int wait = 0; wait < 300; ++wait) {
    if (ReadWholeFile(folder + "server.log").find("ACCEPT") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TlsTestServer::~TlsTestServer() {
#ifndef _WIN32
  if (process_ != 0) {
    kill(static_cast<pid_t>(process_), SIGTERM);
    waitpid(static_cast<pid_t>(process_), nullptr, 0);
  }
#endif
}

std::string TlsTestServer::URL(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

TrustedCertificate::TrustedCertificate(const std::string& pemFile) {
#ifdef _WIN32
  // WinINet trusts what the system's Root store holds. Adding to it from a test
  // asks the user on Windows, and Wine's WinINet still refused a certificate
  // added at run time (the handshake completes, the verification fails), so
  // this case is only run against libcurl.
  (void)pemFile;
  failure_ = "WinINet cannot be made to trust a test certificate without changing the system";
#else
  setenv("CURL_CA_BUNDLE", pemFile.c_str(), 1);
#endif
}

TrustedCertificate::~TrustedCertificate() {
#ifndef _WIN32
  unsetenv("CURL_CA_BUNDLE");
#endif
}

}  // namespace updater::testing
